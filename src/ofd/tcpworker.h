// One TCP connection to the OFD server, opened on a register's behalf on a connection thread of its own.
#pragma once

#include "logger.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QHostInfo>
#include <QMutex>
#include <QObject>
#include <QRecursiveMutex>
#include <QString>
#include <atomic>
#include <functional>

class QTcpSocket;

QString stateToString(QAbstractSocket::SocketState state);

// Durations of one TcpWorker, production values by default (a nested struct cannot
// serve as a defaulted constructor argument of its own class).
struct TcpWorkerTiming
{
    int connectTimeoutMs = 10000;  // one address's connection attempt
    int queueWaitMs = 10000;       // close(): how long writes still on their way are waited for
    int queueWaitStepMs = 1000;    // close(): sleep between two looks at the queue
    int disconnectWaitMs = 500;    // close(): wait for the socket to go down
    // A server that vanishes without closing (a cable pulled on its side) is
    // found by TCP keep-alive: first probe after this many idle seconds, then
    // one probe per interval; after the last unanswered probe the connection
    // counts as lost (here within two minutes).
    int keepAliveIdleS = 60;
    int keepAliveIntervalS = 10;
    int keepAliveProbes = 6;
    // Bytes of the server kept while the register grants nothing; a server
    // that sends more loses its connection instead of filling the memory.
    int readBufferLimit = 1024 * 1024;
    // Resolves a host name; empty: the system's blocking lookup.
    std::function<QHostInfo(const QString &host)> lookup;
};

class TcpWorker : public QObject
{
    Q_OBJECT
public:
    enum ConnectionState { Connected = 0, Disconnected = 1 };
    Q_ENUM(ConnectionState)

    using Timing = TcpWorkerTiming;

    TcpWorker(const QString &name, QObject *parent = nullptr, const Timing &timing = {});
    ~TcpWorker() override;

    QString address() const;
    void setAddress(const QString &address);
    unsigned short port() const;
    void setPort(unsigned short port);

    // A connection attempt in progress stops before its next address.
    void cancel();
    // Counts bytes on their way to write() through a queued connection.
    void addWritedSize(int size);
    int writedSize() const;
    // Takes up to n bytes off the front of the read buffer.
    QByteArray read(int n);
    bool hasData();

signals:
    void connectionStateChanged(TcpWorker::ConnectionState state);

public slots:
    void open();
    void close();
    void write(QByteArray data);

private slots:
    void onReadyRead();
    void onStateChanged(QAbstractSocket::SocketState state);

private:
    void addData(const QByteArray &data);
    void enableKeepAlive();

    QTcpSocket *m_socket = nullptr;
    // Guards the read buffer; open() and close() hold it for their whole run.
    QRecursiveMutex m_lock;
    QByteArray m_buffer;
    // Guards the target, which the exchange worker sets from its own thread
    // while open() may be reading it on the connection thread.
    mutable QMutex m_targetLock;
    QString m_address;
    unsigned short m_port = 0;
    std::atomic<bool> m_cancelled {false};
    std::atomic<int> m_writedSize {0};
    Timing m_timing;
    Logger m_log;
};

Q_DECLARE_METATYPE(TcpWorker::ConnectionState)
