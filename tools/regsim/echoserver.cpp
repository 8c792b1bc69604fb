// An OFD stand-in on the loopback address that sends every byte back to whoever sent it.
#include "echoserver.h"

#include <QTcpSocket>

EchoServer::EchoServer(QObject *parent)
    : QTcpServer(parent)
{
    connect(this, &QTcpServer::newConnection, this, &EchoServer::onNewConnection);
}

bool EchoServer::start(quint16 port)
{
    return listen(QHostAddress::LocalHost, port);
}

void EchoServer::onNewConnection()
{
    while (QTcpSocket *socket = nextPendingConnection()) {
        connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->write(socket->readAll()); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}
