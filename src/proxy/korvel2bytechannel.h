// One end of a protocol-2 serial line as the link exchange sees it: bytes in, bytes out, pauses.
#pragma once

#include <QByteArray>
#include <cstdint>

// The link exchange talks to the line only through this, so that a test can
// play the peer byte by byte and answer every wait at once.
class Korvel2ByteChannel
{
public:
    virtual ~Korvel2ByteChannel() = default;

    // Waits up to timeoutMs for one byte; false when none came.
    virtual bool readByte(uint8_t &byte, int timeoutMs) = 0;
    // Writes and flushes at once.
    virtual void writeByte(uint8_t byte) = 0;
    virtual void writeBytes(const QByteArray &bytes) = 0;
    // The protocol's pauses (after a NAK, after a send conflict).
    virtual void pause(int ms) = 0;
};
