// A register on a serial line speaking protocol version 2, as far as pobrid's proxy needs one.
#pragma once

#include <QByteArray>
#include <QMutex>
#include <QThread>
#include <atomic>

// Runs the register's side of the link layer on its own thread (every
// exchange blocks while it waits for the peer). Messages that pobrid sends as
// prefix + 0xDA + bytes carry link bytes; any other message comes from the
// cash-register software and is answered with reply(message).
class Korvel2Register : public QThread
{
    Q_OBJECT
public:
    // fd stays owned by the caller and must outlive this object.
    explicit Korvel2Register(int fd, QObject *parent = nullptr);
    ~Korvel2Register() override;

    // Link bytes to send to pobrid, as 0xDA messages of at most DELIVERY_CHUNK bytes.
    void sendLink(const QByteArray &bytes);
    void requestStop() { m_stop = true; }

    // The register's answer to a message of the software.
    static QByteArray reply(const QByteArray &message);

    static constexpr int DELIVERY_CHUNK = 200;

signals:
    void linkBytes(const QByteArray &bytes);
    void softwareMessage(const QByteArray &message);

protected:
    void run() override;

private:
    int m_fd;
    std::atomic<bool> m_stop {false};
    QMutex m_lock;
    QByteArray m_pending;
};
