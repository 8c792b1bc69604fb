// A protocol-2 line on a serial port, polled so that the thread's events keep flowing while it waits.
#pragma once

#include "korvel2bytechannel.h"

class QSerialPort;

// Used on the port's own thread only. Every wait processes that thread's
// events between polls (one msleep slice each), so queued slots of the owner
// run in the middle of an exchange.
class Korvel2SerialChannel : public Korvel2ByteChannel
{
public:
    explicit Korvel2SerialChannel(QSerialPort &port);

    bool readByte(uint8_t &byte, int timeoutMs) override;
    // A port that is not open (closed after an error, not yet reopened) is
    // never written to: the bytes are dropped.
    void writeByte(uint8_t byte) override;
    void writeBytes(const QByteArray &bytes) override;
    void pause(int ms) override;

private:
    QSerialPort &m_port;
};
