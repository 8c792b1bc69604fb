// Monotonic time stamps and waits that keep the bench's own event loop running.
#include "benchclock.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <chrono>

namespace BenchClock {

qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double msSince(qint64 startNs)
{
    return double(nowNs() - startNs) / 1e6;
}

bool waitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    // A precise 1 ms tick bounds how long one blocking wait for events may last,
    // so the deadline is seen even when nothing else happens.
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.start(1);
    const qint64 deadline = nowNs() + qint64(timeoutMs) * 1000000;
    while (!condition()) {
        if (nowNs() >= deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void pause(int ms)
{
    waitUntil([] { return false; }, ms);
}

}
