// Receiver of protocol-3 packets that undoes the stuffing: used for the register's packets.
#include "korvel3devparser.h"

quint8 Korvel3DevParser::unescape(quint8 byte)
{
    if (!m_escapePending)
        return byte;
    m_escapePending = false;
    if (byte == Korvel3Codec::ESCAPED_START)
        return Korvel3Codec::START;
    if (byte == Korvel3Codec::ESCAPED_ESCAPE)
        return Korvel3Codec::ESCAPE;
    return byte;
}

Korvel3Parser::Result Korvel3DevParser::payloadByte(quint8 byte)
{
    if (byte == Korvel3Codec::ESCAPE) {
        ++m_packet.length;
        m_escapePending = true;
        return payloadTaken();
    }
    m_packet.data.append(char(unescape(byte)));
    return payloadTaken();
}

Korvel3Parser::Result Korvel3DevParser::checksumByte(quint8 byte)
{
    if (byte == Korvel3Codec::ESCAPE) {
        m_escapePending = true;
        return checksumPending();
    }
    m_packet.crc.append(char(unescape(byte)));
    return completed();
}
