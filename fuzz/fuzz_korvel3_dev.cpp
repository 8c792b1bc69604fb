// Fuzz target: the register-side protocol-3 parser over arbitrary line bytes.
#include "fuzzcheck.h"
#include "korvel3devparser.h"
#include "korvel3model.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Korvel3DevParser parser;
    Korvel3SinceStart line;
    for (size_t i = 0; i < size; ++i) {
        line.feed(parser.inPacket(), data[i]);
        const Korvel3Parser::Result result = parser.putByte(data[i]);
        const QByteArray &raw = parser.raw();
        const Korvel3Codec::PacketInfo &packet = parser.packet();
        const int announced = korvel3Announced(raw);

        // Stuffing at most doubles the payload and the checksum: nothing beyond that is buffered.
        fuzzCheck(raw.size() <= 4 + 2 * announced + 2, "a packet's wire bytes stay bounded by its length", raw);
        fuzzCheck(packet.data.size() <= announced, "the unstuffed payload never exceeds the announced length",
                  packet.data);
        if (result == Korvel3Parser::Pending)
            continue;

        fuzzCheck(raw == line.bytes(), "raw() holds exactly the line bytes since the start byte", raw, line.bytes());
        fuzzCheck(!parser.inPacket(), "after a packet ends the parser hunts again");
        if (result == Korvel3Parser::Malformed)
            continue;

        fuzzCheck(packet.data.size() == announced, "a complete payload has the announced length", packet.data);
        fuzzCheck(packet.crc.size() == 1, "the checksum is one byte after unstuffing", packet.crc);
        fuzzCheck(packet.id == quint8(raw.at(3)), "the transport id is the fourth wire byte");
        const int checksumWire = int(raw.size()) - 4 - packet.length;
        fuzzCheck(checksumWire == 1 || (checksumWire == 2 && quint8(raw.at(raw.size() - 2)) == Korvel3Codec::ESCAPE),
                  "length counts the payload's wire bytes", raw);
        fuzzCheck(korvel3Unstuff(raw.mid(4)) == packet.data + packet.crc,
                  "payload and checksum are the unstuffed wire bytes", packet.data + packet.crc,
                  korvel3Unstuff(raw.mid(4)));
    }
    return 0;
}
