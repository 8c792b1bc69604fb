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

int serialErrorNumber(QSerialPort::SerialPortError error)
{
    switch (error) {
    case QSerialPort::NoError: return 0;
    case QSerialPort::DeviceNotFoundError: return 1;
    case QSerialPort::PermissionError: return 2;
    case QSerialPort::OpenError: return 3;
    case QSerialPort::WriteError: return 7;
    case QSerialPort::ReadError: return 8;
    case QSerialPort::ResourceError: return 9;
    case QSerialPort::UnsupportedOperationError: return 10;
    case QSerialPort::UnknownError: return 11;
    case QSerialPort::TimeoutError: return 12;
    case QSerialPort::NotOpenError: return 13;
    }
    return 11;
}
