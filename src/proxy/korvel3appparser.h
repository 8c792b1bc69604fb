// Receiver of protocol-3 packets that keeps the wire form: used for the cash-register software's packets.
#pragma once

#include "korvel3parser.h"

// The software's packets are forwarded byte for byte, so nothing is
// unstuffed: packet().data and packet().crc hold the wire bytes.
class Korvel3AppParser : public Korvel3Parser
{
protected:
    Result payloadByte(quint8 byte) override;
    Result checksumByte(quint8 byte) override;
};
