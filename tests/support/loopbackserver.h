// A TCP server on 127.0.0.1 standing in for the OFD server: it records what each client sends and answers on demand.
#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpServer>

class QTcpSocket;

// Lives on the test thread: every wait below processes that thread's events.
// Connections are numbered in the order they were accepted, from 0.
class LoopbackServer : public QObject
{
    Q_OBJECT
public:
    explicit LoopbackServer(QObject *parent = nullptr);
    ~LoopbackServer() override;

    bool isListening() const { return m_server.isListening(); }
    quint16 port() const { return m_server.serverPort(); }

    int connectionCount() const { return int(m_connections.size()); }
    bool waitForConnections(int count, int timeoutMs = 5000);

    // Everything connection i has sent so far.
    QByteArray received(int i = 0) const;
    bool waitForReceived(int bytes, int i = 0, int timeoutMs = 5000);

    bool send(const QByteArray &bytes, int i = 0);
    // Closes the server's end of connection i (the client sees the loss).
    void closeConnection(int i = 0);
    // Whether the client has closed connection i (or it was closed here).
    bool isClosed(int i = 0) const;
    bool waitForClosed(int i = 0, int timeoutMs = 5000);

private:
    struct Connection
    {
        QPointer<QTcpSocket> socket;
        QByteArray received;
        bool closed = false;
    };
    void onNewConnection();

    QTcpServer m_server;
    QList<Connection *> m_connections;
};
