// A TCP server on 127.0.0.1 standing in for the OFD server: it records what each client sends and answers on demand.
#include "loopbackserver.h"

#include <QTcpSocket>
#include <QTest>

LoopbackServer::LoopbackServer(QObject *parent)
    : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &LoopbackServer::onNewConnection);
    m_server.listen(QHostAddress::LocalHost, 0);
}

LoopbackServer::~LoopbackServer()
{
    for (Connection *connection : m_connections) {
        if (connection->socket)
            connection->socket->abort();
        delete connection->socket;
        delete connection;
    }
}

void LoopbackServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        auto *connection = new Connection;
        connection->socket = socket;
        m_connections.append(connection);
        connect(socket, &QTcpSocket::readyRead, this, [connection] {
            connection->received += connection->socket->readAll();
        });
        connect(socket, &QTcpSocket::disconnected, this, [connection] { connection->closed = true; });
    }
}

bool LoopbackServer::waitForConnections(int count, int timeoutMs)
{
    return QTest::qWaitFor([&] { return connectionCount() >= count; }, timeoutMs);
}

QByteArray LoopbackServer::received(int i) const
{
    return i < m_connections.size() ? m_connections.at(i)->received : QByteArray();
}

bool LoopbackServer::waitForReceived(int bytes, int i, int timeoutMs)
{
    return QTest::qWaitFor([&] { return received(i).size() >= bytes; }, timeoutMs);
}

bool LoopbackServer::send(const QByteArray &bytes, int i)
{
    if (i >= m_connections.size() || !m_connections.at(i)->socket)
        return false;
    QTcpSocket *socket = m_connections.at(i)->socket;
    const bool written = socket->write(bytes) == bytes.size();
    socket->flush();
    return written;
}

void LoopbackServer::closeConnection(int i)
{
    if (i >= m_connections.size() || !m_connections.at(i)->socket)
        return;
    m_connections.at(i)->socket->disconnectFromHost();
    m_connections.at(i)->closed = true;
}

bool LoopbackServer::isClosed(int i) const
{
    return i < m_connections.size() && m_connections.at(i)->closed;
}

bool LoopbackServer::waitForClosed(int i, int timeoutMs)
{
    return QTest::qWaitFor([&] { return isClosed(i); }, timeoutMs);
}
