// Frames of the registers' serial protocol version 2: control bytes, DLE stuffing, XOR checksum.
#include "korvel2frame.h"

namespace Korvel2Frame {

void escape(QByteArray &bytes)
{
    QByteArray stuffed;
    stuffed.reserve(bytes.size() * 2);
    for (const char c : std::as_const(bytes)) {
        if (uint8_t(c) == DLE || uint8_t(c) == ETX)
            stuffed.append(char(DLE));
        stuffed.append(c);
    }
    bytes = stuffed;
}

uint8_t crc(const QByteArray &bytes)
{
    uint8_t sum = 0;
    for (const char c : bytes)
        sum ^= uint8_t(c);
    return sum;
}

QByteArray build(const QByteArray &message)
{
    QByteArray body = message;
    escape(body);
    body.append(char(ETX));
    QByteArray frame;
    frame.reserve(body.size() + 2);
    frame.append(char(STX));
    frame.append(body);
    frame.append(char(crc(body)));
    return frame;
}

} // namespace Korvel2Frame
