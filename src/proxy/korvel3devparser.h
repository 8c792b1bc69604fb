// Receiver of protocol-3 packets that undoes the stuffing: used for the register's packets.
#pragma once

#include "korvel3parser.h"

// packet().data and packet().crc come out unstuffed; raw() keeps the wire form.
class Korvel3DevParser : public Korvel3Parser
{
protected:
    Result payloadByte(quint8 byte) override;
    Result checksumByte(quint8 byte) override;
    void reset() override { m_escapePending = false; }

private:
    quint8 unescape(quint8 byte);

    bool m_escapePending = false;
};
