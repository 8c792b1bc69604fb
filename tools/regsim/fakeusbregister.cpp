// A register on the simulated USB bus of the libusb test double, driven through its control socket.
#include "fakeusbregister.h"

#include <QDeadlineTimer>
#include <QThread>

FakeUsbRegister::FakeUsbRegister(const QString &socketPath, int deviceId, bool interface2, QObject *parent)
    : QObject(parent)
    , m_socketPath(socketPath)
    , m_deviceId(deviceId)
    , m_inEndpoint(interface2 ? 0x83 : 0x8B)
    , m_outEndpoint(interface2 ? 0x02 : 0x0A)
{
    m_poll.setInterval(10);
    connect(&m_poll, &QTimer::timeout, this, &FakeUsbRegister::poll);
}

bool FakeUsbRegister::connectToBus(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (true) {
        m_socket.connectToServer(m_socketPath);
        if (m_socket.waitForConnected(1000)) {
            m_poll.start();
            return true;
        }
        if (deadline.hasExpired())
            return false;
        QThread::msleep(50);
    }
}

QString FakeUsbRegister::command(const QString &line, bool *ok)
{
    if (ok)
        *ok = false;
    if (m_socket.state() != QLocalSocket::ConnectedState)
        return QString();
    m_socket.write(line.toUtf8() + '\n');
    m_socket.flush();
    QDeadlineTimer deadline(5000);
    while (!m_socket.canReadLine()) {
        if (deadline.hasExpired() || !m_socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime()))))
            return QString();
    }
    const QString reply = QString::fromUtf8(m_socket.readLine()).trimmed();
    if (!reply.startsWith(QLatin1String("ok")))
        return QString();
    if (ok)
        *ok = true;
    return reply.mid(3);
}

void FakeUsbRegister::sendLink(const QByteArray &bytes)
{
    command(QStringLiteral("feed %1 %2 %3").arg(m_deviceId).arg(m_inEndpoint, 0, 16).arg(QString::fromLatin1(bytes.toHex())));
}

void FakeUsbRegister::poll()
{
    const QByteArray bytes = QByteArray::fromHex(command(QStringLiteral("take %1 %2").arg(m_deviceId).arg(m_outEndpoint, 0, 16)).toLatin1());
    if (!bytes.isEmpty())
        emit linkBytes(bytes);
}
