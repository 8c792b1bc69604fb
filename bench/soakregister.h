// A register that relays without end: connect, send a message, take the echo back under grants, close, again.
#pragma once

#include "tlvcodec.h"

#include <QObject>
#include <QTimer>

class RegisterEnd;

class SoakRegister : public QObject
{
    Q_OBJECT
public:
    // port: an echo server on 127.0.0.1.
    SoakRegister(RegisterEnd &end, quint16 port, int messageSize, QObject *parent = nullptr);

    int cycles() const { return m_cycles; }
    int stalls() const { return m_stalls; }
    int mismatches() const { return m_mismatches; }
    qint64 bytesEchoed() const { return m_bytesEchoed; }

private:
    enum State { WaitVersion, Connecting, Relaying, Closing };

    void onArrived();
    void handle(const TlvField &record);
    void send(unsigned char cmd, const QByteArray &value);
    void connectChannel();
    void onStall();

    RegisterEnd &m_end;
    quint16 m_port;
    QByteArray m_message;
    QByteArray m_echo;
    TlvCodec m_codec;
    State m_state = WaitVersion;
    QTimer m_watchdog;
    int m_cycles = 0;
    int m_stalls = 0;
    int m_mismatches = 0;
    qint64 m_bytesEchoed = 0;
};
