// The event-keeping sleep and the hex dump of traffic lines.
#include "utils.h"

#include <QCoreApplication>
#include <QThread>

void msleep(long ms)
{
    while (ms > 0) {
        QThread::msleep(MSLEEP_SLICE_MS);
        ms -= MSLEEP_SLICE_MS;
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
}

QString baToString(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper())
           + QStringLiteral(" (%1 bytes)").arg(bytes.size());
}
