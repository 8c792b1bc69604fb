// The register's side of one OFD session over the link protocol: handshake, connect, send, grant, receive, close.
#pragma once

#include "tlvcodec.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

class RegisterSession : public QObject
{
    Q_OBJECT
public:
    struct Config
    {
        QString host = QStringLiteral("127.0.0.1");
        quint16 port = 0;
        int channel = 0;
        QByteArray payload;       // what the register sends to the server
        int expectBack = -1;      // bytes expected back; -1: as many as were sent (an echo server)
        int grant = 255;          // packet size granted for each answer record
        bool sendLog = false;     // also send a LOG record of the register's trace
        int timeoutMs = 60000;    // the whole session
        int protocolVersion = 2;  // the register's link-protocol version
        // false: the handshake is already done on this link (a later session
        // of the same register), so the session starts by connecting.
        bool handshake = true;
    };

    explicit RegisterSession(const Config &config, QObject *parent = nullptr);

    void begin();
    // Bytes that arrived from pobrid on the register's link.
    void onLinkBytes(const QByteArray &bytes);

    QByteArray received() const { return m_received; }
    bool isDone() const { return m_state == Done || m_state == Failed; }
    bool succeeded() const { return m_state == Done; }
    QString summary() const;

signals:
    // Bytes the register sends to pobrid on its link.
    void sendLink(const QByteArray &bytes);
    void step(const QString &text);
    void finished(bool ok);

private:
    enum State { WaitVersion, WaitConnected, Relaying, WaitClosed, Done, Failed };

    void handle(const TlvField &record);
    void send(unsigned char cmd, const QByteArray &value);
    void connectChannel();
    void grant();
    void closeChannel();
    void fail(const QString &why);
    int expected() const;

    Config m_config;
    TlvCodec m_codec;
    QByteArray m_buffer;
    QByteArray m_received;
    QTimer m_timeout;
    State m_state = WaitVersion;
};
