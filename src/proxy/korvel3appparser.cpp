// Receiver of protocol-3 packets that keeps the wire form: used for the cash-register software's packets.
#include "korvel3appparser.h"

Korvel3Parser::Result Korvel3AppParser::payloadByte(quint8 byte)
{
    m_packet.data.append(char(byte));
    if (byte == Korvel3Codec::ESCAPE)
        ++m_packet.length;
    return payloadTaken();
}

Korvel3Parser::Result Korvel3AppParser::checksumByte(quint8 byte)
{
    m_packet.crc.append(char(byte));
    return byte == Korvel3Codec::ESCAPE ? checksumPending() : completed();
}
