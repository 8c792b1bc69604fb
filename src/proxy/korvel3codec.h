// Packets of the registers' serial protocol version 3: building, stuffing, checksum, id generators, log text.
#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// Pure byte handling: opens no port and sends nothing. Shared by the protocol-3
// proxy and anything that plays a register or a cash-register program.
//
// On the wire: 0xFE, length & 0x7F, length >> 7, then the stuffed body
// (transport id, payload, checksum). The length counts payload bytes before
// stuffing.
class Korvel3Codec
{
public:
    // One packet, being built or being received.
    struct PacketInfo
    {
        quint8 id = 0;
        // Payload length; while receiving it grows by one for every escape byte
        // 0xFD met in the payload, so that it counts wire bytes.
        quint16 length = 0;
        // Unstuffed for built packets and those decoded from the register;
        // wire form for packets taken from the cash-register software.
        QByteArray data;
        // One byte, or the checksum's one or two wire bytes (software side).
        QByteArray crc;
        qint32 parseState = 0;

        void clear();
    };

    static constexpr quint8 START = 0xFE;
    static constexpr quint8 ESCAPE = 0xFD;
    static constexpr quint8 ESCAPED_START = 0xEE;
    static constexpr quint8 ESCAPED_ESCAPE = 0xED;
    // The longest payload whose length bytes stay below 0xFD, so that 0xFE on
    // the line is always a start byte.
    static constexpr int MAX_PAYLOAD = 32383;

    // Builds the wire form of one packet with a fresh transport id and fills
    // info's id, length, data and crc (parseState is left alone). A payload
    // longer than MAX_PAYLOAD cannot be framed: the result is empty, info is
    // untouched and no id is taken.
    static QByteArray pack(const QByteArray &payload, PacketInfo &info);
    // The same with a transport id chosen by the caller (a register's reply
    // carries the id of the request it answers).
    static QByteArray packWithId(quint8 id, const QByteArray &payload, PacketInfo *info = nullptr);

    // Stuffs the bytes in place (0xFE -> 0xFD 0xEE, 0xFD -> 0xFD 0xED) and returns them.
    static QByteArray &mask(QByteArray &bytes);

    // CRC-8, polynomial 0x31, initial value 0xFF, no reflection, no final XOR.
    static quint8 calcCRC(const QByteArray &bytes);

    // Process-wide counters shared by every proxy: 0xE0 .. 0xE4, then 0xE0 again.
    // Taking a value is atomic, so proxies on different threads never get a
    // value outside the range nor skip one.
    static int nextTransportID();
    static int nextTaskID();

    // "id = E2, data = [C4 (1 bytes)], crc = 5A (1 bytes)" for the log.
    static QString packetToString(const PacketInfo &info);
};
