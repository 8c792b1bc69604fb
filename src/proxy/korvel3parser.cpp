// Byte-at-a-time receiver of protocol-3 packets: framing common to both sides of the proxy.
#include "korvel3parser.h"

namespace {
// Wire bytes ahead of the payload: start, two length bytes, transport id.
constexpr int HEADER_SIZE = 4;
}

Korvel3Parser::~Korvel3Parser() = default;

void Korvel3Parser::clear()
{
    m_raw.clear();
    m_packet.clear();
    m_announcedLength = 0;
    reset();
}

Korvel3Parser::Result Korvel3Parser::putByte(quint8 byte)
{
    switch (m_packet.parseState) {
    case Hunting:
        if (byte != Korvel3Codec::START)
            return Pending;
        clear();
        m_raw.append(char(byte));
        m_packet.parseState = LengthLow;
        return Pending;
    case LengthLow:
        m_raw.append(char(byte));
        m_packet.parseState = LengthHigh;
        return Pending;
    case LengthHigh:
        m_raw.append(char(byte));
        // A correct sender never sets bit 7 of the first length byte; it is
        // ignored so that such a byte cannot inflate the length.
        m_announcedLength = (quint8(m_raw.at(1)) & 0x7F) + 128 * int(byte);
        m_packet.length = quint16(m_announcedLength);
        m_packet.parseState = TransportId;
        return Pending;
    case TransportId:
        m_raw.append(char(byte));
        m_packet.id = byte;
        // An empty payload goes straight to the checksum; otherwise the parser
        // would wait for payload bytes that never come.
        m_packet.parseState = m_announcedLength == 0 ? Checksum : Payload;
        return Pending;
    case Payload:
        m_raw.append(char(byte));
        return payloadByte(byte);
    case Checksum:
        m_raw.append(char(byte));
        return checksumByte(byte);
    }
    return Pending;
}

Korvel3Parser::Result Korvel3Parser::payloadTaken()
{
    const int payloadWireBytes = int(m_raw.size()) - HEADER_SIZE;
    if (payloadWireBytes == m_packet.length) {
        m_packet.parseState = Checksum;
        return Pending;
    }
    // Stuffing at most doubles the payload: a longer run (a flood of escape
    // bytes) would otherwise be buffered without bound.
    if (payloadWireBytes >= 2 * m_announcedLength)
        return malformed();
    return Pending;
}

Korvel3Parser::Result Korvel3Parser::checksumPending()
{
    // The checksum is one byte, two when stuffed; a second escape byte cannot
    // belong to it.
    const int checksumWireBytes = int(m_raw.size()) - HEADER_SIZE - m_packet.length;
    return checksumWireBytes >= 2 ? malformed() : Pending;
}

Korvel3Parser::Result Korvel3Parser::completed()
{
    m_packet.parseState = Hunting;
    return Complete;
}

Korvel3Parser::Result Korvel3Parser::malformed()
{
    m_packet.parseState = Hunting;
    reset();
    return Malformed;
}
