// Fuzz target: the software-side protocol-3 parser over arbitrary line bytes, in step with the register-side one.
#include "fuzzcheck.h"
#include "korvel3appparser.h"
#include "korvel3devparser.h"
#include "korvel3model.h"

// Both parsers frame alike; they differ only in unstuffing. Fed the same
// bytes they must end every packet at the same byte, and the software side's
// wire-form payload, unstuffed, must be the register side's payload.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Korvel3AppParser app;
    Korvel3DevParser dev;
    Korvel3SinceStart line;
    for (size_t i = 0; i < size; ++i) {
        line.feed(app.inPacket(), data[i]);
        const Korvel3Parser::Result result = app.putByte(data[i]);
        fuzzCheck(dev.putByte(data[i]) == result && dev.inPacket() == app.inPacket(),
                  "both parsers frame the line alike", app.raw(), dev.raw());
        const QByteArray &raw = app.raw();
        fuzzCheck(raw.size() <= 4 + 2 * korvel3Announced(raw) + 2, "a packet's wire bytes stay bounded by its length",
                  raw);
        if (result == Korvel3Parser::Pending)
            continue;

        fuzzCheck(raw == line.bytes(), "raw() holds exactly the line bytes since the start byte", raw, line.bytes());
        if (result == Korvel3Parser::Malformed)
            continue;

        const Korvel3Codec::PacketInfo &packet = app.packet();
        fuzzCheck(packet.id == quint8(raw.at(3)) && packet.id == dev.packet().id, "both see the fourth wire byte as id");
        fuzzCheck(packet.length == dev.packet().length, "both count the payload's wire bytes alike");
        fuzzCheck(raw == QByteArray(raw.left(4)) + packet.data + packet.crc,
                  "payload and checksum are kept in wire form", packet.data + packet.crc, raw.mid(4));
        fuzzCheck(packet.data.size() == packet.length, "length counts the payload's wire bytes", packet.data);
        fuzzCheck(korvel3Unstuff(packet.data) == dev.packet().data, "unstuffed wire payload is the register side's payload",
                  korvel3Unstuff(packet.data), dev.packet().data);
        fuzzCheck(korvel3Unstuff(packet.crc) == dev.packet().crc, "unstuffed wire checksum is the register side's checksum",
                  korvel3Unstuff(packet.crc), dev.packet().crc);
    }
    return 0;
}
