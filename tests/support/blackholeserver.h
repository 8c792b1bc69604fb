// A loopback port where connection attempts get no answer, so they run into their timeout.
#pragma once

#include <QTcpServer>
#include <QTcpSocket>

// The server's listen queue holds one connection, which a filler socket
// takes; the kernel then drops every further SYN without a reply.
class BlackHoleServer
{
public:
    BlackHoleServer();
    bool isValid() const { return m_valid; }
    quint16 port() const { return m_server.serverPort(); }

private:
    QTcpServer m_server;
    QTcpSocket m_filler;
    bool m_valid = false;
};
