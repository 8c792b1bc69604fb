// A register on a serial line speaking protocol version 3, as far as pobrid's proxy needs one.
#pragma once

#include "korvel3devparser.h"

#include <QByteArray>
#include <QObject>
#include <QSocketNotifier>

// Reads the packets on its end of the line (a pseudo-terminal master or a
// device), answers each with a packet of the same transport id, takes the
// link bytes out of the proxy's data tasks and delivers its own link bytes as
// asynchronous packets, one per wait task the proxy has set up.
class Korvel3Register : public QObject
{
    Q_OBJECT
public:
    // fd stays owned by the caller and must outlive this object.
    explicit Korvel3Register(int fd, QObject *parent = nullptr);

    // Link bytes to deliver to pobrid.
    void sendLink(const QByteArray &bytes);
    // Writes a whole packet of the register's own (e.g. a reply to the software).
    bool writePacket(quint8 id, const QByteArray &payload);

    // Most link bytes one asynchronous packet carries.
    static constexpr int DELIVERY_CHUNK = 200;

signals:
    void linkBytes(const QByteArray &bytes);
    // Every packet that arrived, unstuffed.
    void packetReceived(quint8 id, const QByteArray &payload);
    void step(const QString &text);

private:
    void onReadable();
    void handle(quint8 id, const QByteArray &payload);
    void deliver();

    int m_fd;
    QSocketNotifier m_notifier;
    Korvel3DevParser m_parser;
    QByteArray m_pending;
    bool m_waitTaskOpen = false;
};
