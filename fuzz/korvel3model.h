// What a protocol-3 receiver must make of the line, written plainly for the fuzz targets to compare against.
#pragma once

#include "korvel3codec.h"

#include <QByteArray>

// Undoes the stuffing the way the register's receiver does: 0xFD is always an
// escape prefix (a run of them counts as one), and the byte after it is
// translated (0xEE -> 0xFE, 0xED -> 0xFD, anything else kept).
inline QByteArray korvel3Unstuff(const QByteArray &wire)
{
    QByteArray plain;
    bool escaped = false;
    for (const char c : wire) {
        quint8 b = quint8(c);
        if (b == Korvel3Codec::ESCAPE) {
            escaped = true;
            continue;
        }
        if (escaped && b == Korvel3Codec::ESCAPED_START)
            b = Korvel3Codec::START;
        else if (escaped && b == Korvel3Codec::ESCAPED_ESCAPE)
            b = Korvel3Codec::ESCAPE;
        escaped = false;
        plain.append(char(b));
    }
    return plain;
}

// The bytes of the line since the start byte of the packet a parser is in:
// what its raw() must hold when the packet ends.
class Korvel3SinceStart
{
public:
    // inPacket: whether the parser was inside a packet before taking the byte.
    void feed(bool inPacket, quint8 byte)
    {
        if (inPacket)
            m_bytes.append(char(byte));
        else if (byte == Korvel3Codec::START)
            m_bytes = QByteArray(1, char(byte));
    }
    const QByteArray &bytes() const { return m_bytes; }

private:
    QByteArray m_bytes;
};

// The payload length that the two length bytes announce (bit 7 of the first
// is never set by a correct sender and does not count).
inline int korvel3Announced(const QByteArray &raw)
{
    return raw.size() < 3 ? 0 : (quint8(raw.at(1)) & 0x7F) + 128 * quint8(raw.at(2));
}
