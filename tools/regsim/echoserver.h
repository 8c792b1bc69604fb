// An OFD stand-in on the loopback address that sends every byte back to whoever sent it.
#pragma once

#include <QTcpServer>

class EchoServer : public QTcpServer
{
    Q_OBJECT
public:
    explicit EchoServer(QObject *parent = nullptr);
    // Listens on 127.0.0.1; port 0 takes any free port.
    bool start(quint16 port = 0);

private:
    void onNewConnection();
};
