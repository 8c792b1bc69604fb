// One TCP connection to the OFD server, opened on a register's behalf on a connection thread of its own.
#include "tcpworker.h"

#include "utils.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpSocket>
#include <QThread>

#ifdef Q_OS_LINUX
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

QString stateToString(QAbstractSocket::SocketState state)
{
    switch (state) {
    case QAbstractSocket::UnconnectedState: return QStringLiteral("UnconnectedState");
    case QAbstractSocket::HostLookupState: return QStringLiteral("HostLookupState");
    case QAbstractSocket::ConnectingState: return QStringLiteral("ConnectingState");
    case QAbstractSocket::ConnectedState: return QStringLiteral("ConnectedState");
    case QAbstractSocket::BoundState: return QStringLiteral("BoundState");
    case QAbstractSocket::ListeningState: return QStringLiteral("ListeningState");
    case QAbstractSocket::ClosingState: return QStringLiteral("ClosingState");
    }
    return QStringLiteral("???");
}

TcpWorker::TcpWorker(const QString &name, QObject *parent, const Timing &timing)
    : QObject(parent)
    , m_timing(timing)
    , m_log(name)
{
    setObjectName(name);
    qRegisterMetaType<TcpWorker::ConnectionState>("TcpWorker::ConnectionState");
}

TcpWorker::~TcpWorker()
{
    close();
    delete m_socket;
}

QString TcpWorker::address() const
{
    QMutexLocker locker(&m_targetLock);
    return m_address;
}

void TcpWorker::setAddress(const QString &address)
{
    QMutexLocker locker(&m_targetLock);
    m_address = address;
}

unsigned short TcpWorker::port() const
{
    QMutexLocker locker(&m_targetLock);
    return m_port;
}

void TcpWorker::setPort(unsigned short port)
{
    QMutexLocker locker(&m_targetLock);
    m_port = port;
}

void TcpWorker::cancel()
{
    m_cancelled = true;
}

void TcpWorker::addWritedSize(int size)
{
    const int queued = m_writedSize += size;
    m_log.info(QStringLiteral("New queue size = %1").arg(queued));
}

int TcpWorker::writedSize() const
{
    return m_writedSize;
}

QByteArray TcpWorker::read(int n)
{
    QMutexLocker locker(&m_lock);
    if (n < 1 || m_buffer.isEmpty())
        return QByteArray();
    const QByteArray bytes = m_buffer.left(n);
    m_buffer.remove(0, bytes.size());
    return bytes;
}

bool TcpWorker::hasData()
{
    QMutexLocker locker(&m_lock);
    return !m_buffer.isEmpty();
}

void TcpWorker::open()
{
    QMutexLocker locker(&m_lock);
    m_cancelled = false;

    if (m_socket)
        m_socket->disconnect();
    QTcpSocket *old = m_socket;
    m_socket = new QTcpSocket();
    delete old;

    const QString host = address();
    const unsigned short targetPort = port();
    const QHostInfo info = m_timing.lookup ? m_timing.lookup(host) : QHostInfo::fromName(host);
    if (info.error() != QHostInfo::NoError) {
        m_log.error(QStringLiteral("Lookup failed: %1").arg(info.errorString()));
        emit connectionStateChanged(Disconnected);
        return;
    }

    for (const QHostAddress &candidate : info.addresses()) {
        QCoreApplication::processEvents();
        if (m_cancelled) {
            m_log.info(QStringLiteral("Connection canceled"));
            emit connectionStateChanged(Disconnected);
            return;
        }
        const QString text = candidate.toString();
        m_log.info(QStringLiteral("Found address: %1").arg(text));
        m_socket->connectToHost(text, targetPort, QIODevice::ReadWrite);
        if (m_socket->waitForConnected(m_timing.connectTimeoutMs)) {
            m_log.info(QStringLiteral("Connect to %1 established").arg(text));
            break;
        }
        m_log.error(QStringLiteral("Connect to %1 failed").arg(text));
        // A timed-out attempt may still be pending; the next address needs a clean socket.
        m_socket->abort();
    }

    m_buffer.clear();
    if (m_socket->state() != QAbstractSocket::UnconnectedState) {
        m_writedSize = 0;
        enableKeepAlive();
        emit connectionStateChanged(Connected);
        connect(m_socket, &QTcpSocket::readyRead, this, &TcpWorker::onReadyRead);
        connect(m_socket, &QTcpSocket::stateChanged, this, &TcpWorker::onStateChanged);
    } else {
        emit connectionStateChanged(Disconnected);
    }
}

void TcpWorker::close()
{
    m_cancelled = true;
    QMutexLocker locker(&m_lock);

    // The writes still on their way are queued calls to this object; they can
    // only be carried out by its own thread's event processing. Elsewhere
    // (the destructor after that thread has ended) waiting would be in vain.
    if (QThread::currentThread() == thread()) {
        QElapsedTimer clock;
        clock.start();
        while (m_writedSize > 0 && clock.elapsed() < m_timing.queueWaitMs) {
            m_log.info(QStringLiteral("Wait for queue empty (%1)").arg(m_writedSize.load()));
            msleep(m_timing.queueWaitStepMs);
        }
    }

    if (m_socket && m_socket->state() != QAbstractSocket::UnconnectedState) {
        m_log.info(QStringLiteral("socket close"));
        m_socket->disconnectFromHost();
        if (m_socket->state() != QAbstractSocket::UnconnectedState)
            m_socket->waitForDisconnected(m_timing.disconnectWaitMs);
        // Disconnected must not be reported for a socket that is still up.
        if (m_socket->state() != QAbstractSocket::UnconnectedState)
            m_socket->abort();
        emit connectionStateChanged(Disconnected);
    }
}

void TcpWorker::write(QByteArray data)
{
    if (!m_socket) {
        m_log.error(QStringLiteral("Socket is NULL"));
        return;
    }
    m_socket->write(data);
    m_socket->flush();
    m_log.info(QStringLiteral("tcp write: ") + baToString(data));
    const int queued = m_writedSize -= int(data.size());
    m_log.info(QStringLiteral("New queue size = %1").arg(queued));
}

void TcpWorker::onReadyRead()
{
    addData(m_socket->readAll());
}

void TcpWorker::addData(const QByteArray &data)
{
    QMutexLocker locker(&m_lock);
    m_log.info(QStringLiteral("tcp read: ") + baToString(data));
    if (m_buffer.size() + data.size() > m_timing.readBufferLimit) {
        // What is buffered still reaches the register; the channel is then
        // reported lost, and the register decides whether to connect again.
        m_log.error(QStringLiteral("Read buffer limit of %1 bytes exceeded, connection dropped").arg(m_timing.readBufferLimit));
        m_buffer.append(data.left(m_timing.readBufferLimit - m_buffer.size()));
        m_socket->abort();
        return;
    }
    m_buffer.append(data);
}

void TcpWorker::enableKeepAlive()
{
    m_socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
#ifdef Q_OS_LINUX
    const int fd = int(m_socket->socketDescriptor());
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &m_timing.keepAliveIdleS, sizeof(int));
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &m_timing.keepAliveIntervalS, sizeof(int));
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &m_timing.keepAliveProbes, sizeof(int));
#endif
}

void TcpWorker::onStateChanged(QAbstractSocket::SocketState state)
{
    m_log.info(QStringLiteral("Change connection state to %1").arg(stateToString(state)));
    if (state == QAbstractSocket::UnconnectedState) {
        m_log.info(QStringLiteral("connection lost"));
        emit connectionStateChanged(Disconnected);
    } else if (state == QAbstractSocket::ConnectedState) {
        emit connectionStateChanged(Connected);
    }
}
