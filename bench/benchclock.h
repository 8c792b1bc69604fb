// Monotonic time stamps and waits that keep the bench's own event loop running.
#pragma once

#include <QtGlobal>
#include <functional>

namespace BenchClock {
// Nanoseconds on the monotonic clock.
qint64 nowNs();
double msSince(qint64 startNs);
// Processes events until condition() holds or timeoutMs has passed; true when it held.
// The condition is checked after every event, so the moment it turns true is seen
// within the handling of the event that made it true.
bool waitUntil(const std::function<bool()> &condition, int timeoutMs);
// Processes events for ms milliseconds.
void pause(int ms);
}
