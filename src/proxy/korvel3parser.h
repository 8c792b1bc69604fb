// Byte-at-a-time receiver of protocol-3 packets: framing common to both sides of the proxy.
#pragma once

#include "korvel3codec.h"

// Hunts for the start byte, reads the two length bytes and the transport id;
// the payload and checksum bytes are left to the variant for each side.
// The checksum is never verified: packets are handed on as they arrived.
class Korvel3Parser
{
public:
    using PacketInfo = Korvel3Codec::PacketInfo;

    enum Result {
        Pending,   // the byte was taken (or dropped while hunting)
        Complete,  // the byte completed a packet: raw() and packet() hold it
        Malformed  // more bytes than any stuffing of the announced length
                   // allows: the packet is dropped, raw() holds what came
    };

    virtual ~Korvel3Parser();

    Result putByte(quint8 byte);

    // The wire bytes and the record of the last packet, complete or not; both
    // stay until clear() or the next start byte.
    const QByteArray &raw() const { return m_raw; }
    const PacketInfo &packet() const { return m_packet; }
    // True when a packet has begun but is not complete.
    bool inPacket() const { return m_packet.parseState != Hunting; }
    // Forgets the current packet and hunts for the next start byte.
    void clear();

protected:
    enum State { Hunting = 0, LengthLow = 1, LengthHigh = 2, TransportId = 3, Payload = 4, Checksum = 5 };

    // Called with the byte already appended to raw().
    virtual Result payloadByte(quint8 byte) = 0;
    virtual Result checksumByte(quint8 byte) = 0;
    virtual void reset() {}

    // After a payload byte: on to the checksum once all payload wire bytes
    // are in; Malformed once more arrived than any stuffing could produce.
    Result payloadTaken();
    // After a checksum wire byte that did not complete the packet.
    Result checksumPending();
    Result completed();

    QByteArray m_raw;
    PacketInfo m_packet;

private:
    Result malformed();

    // The length field as announced, before escape bytes raise m_packet.length.
    int m_announcedLength = 0;
};
