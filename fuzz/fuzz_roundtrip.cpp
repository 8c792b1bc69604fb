// Fuzz target: what the builders put on the line, the receivers give back, for both serial protocols.
#include "fuzzcheck.h"
#include "korvel2frame.h"
#include "korvel2link.h"
#include "korvel3appparser.h"
#include "korvel3devparser.h"
#include "korvel3model.h"
#include "scriptedchannel.h"

namespace {

// Feeds a whole packet; the parser must complete it at its last byte, not before.
void feedPacket(Korvel3Parser &parser, const QByteArray &wire)
{
    for (qsizetype i = 0; i < wire.size(); ++i) {
        const Korvel3Parser::Result result = parser.putByte(quint8(wire.at(i)));
        const Korvel3Parser::Result expected = i + 1 == wire.size() ? Korvel3Parser::Complete : Korvel3Parser::Pending;
        fuzzCheck(result == expected, "a packed packet completes exactly at its last byte", wire.left(i + 1), wire);
    }
    fuzzCheck(parser.raw() == wire, "the parser keeps the packet's wire bytes", parser.raw(), wire);
}

void korvel3RoundTrip(const QByteArray &input)
{
    const QByteArray payload = input.left(Korvel3Codec::MAX_PAYLOAD);
    Korvel3Codec::PacketInfo info;
    const QByteArray wire = Korvel3Codec::pack(payload, info);
    fuzzCheck(wire.count(char(Korvel3Codec::START)) == 1, "a packed packet holds 0xFE only as its start byte", wire);

    Korvel3DevParser dev;
    feedPacket(dev, wire);
    const Korvel3Codec::PacketInfo &got = dev.packet();
    fuzzCheck(got.id == info.id && got.data == payload, "the register side gets id and payload back", got.data, payload);
    // With no final XOR, running the checksum over the data and its own
    // checksum leaves zero: this holds only for the right checksum byte.
    fuzzCheck(Korvel3Codec::calcCRC(QByteArray(1, char(got.id)) + got.data + got.crc) == 0 && got.crc == info.crc,
              "the received checksum is the checksum of id and payload", got.crc, info.crc);

    Korvel3AppParser app;
    feedPacket(app, wire);
    fuzzCheck(korvel3Unstuff(app.packet().data) == payload, "the software side's wire payload unstuffs to the payload",
              korvel3Unstuff(app.packet().data), payload);
}

void korvel2RoundTrip(const QByteArray &input)
{
    const QByteArray message = input.left(Korvel2Frame::MAX_MESSAGE_SIZE);
    if (message.isEmpty())
        return;
    const QByteArray frame = Korvel2Frame::build(message);

    // Receiving: the peer asks with ENQ, sends the frame and closes with EOT.
    ScriptedChannel sender(char(Korvel2Frame::ENQ) + frame + char(Korvel2Frame::EOT));
    Korvel2Link receiver(sender, false, QStringLiteral("Fuzz-Korvel2"));
    const QByteArray received = receiver.exchange(QByteArray(), 10);
    fuzzCheck(received == message, "a framed message is received whole", received, message);
    fuzzCheck(sender.written() == QByteArray(2, char(Korvel2Frame::ACK)), "ENQ and frame are acknowledged once each",
              sender.written());

    // Sending to a peer that acknowledges ENQ and frame: ENQ, the frame, EOT.
    ScriptedChannel peer(QByteArray(2, char(Korvel2Frame::ACK)));
    Korvel2Link senderLink(peer, true, QStringLiteral("Fuzz-Korvel2"));
    fuzzCheck(senderLink.exchange(message, 10).isEmpty(), "a delivered send returns no message");
    const QByteArray expected = char(Korvel2Frame::ENQ) + frame + char(Korvel2Frame::EOT);
    fuzzCheck(peer.written() == expected, "a send puts ENQ, the frame and EOT on the line", peer.written(), expected);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = fuzzBytes(data, size);
    korvel3RoundTrip(input);
    korvel2RoundTrip(input);
    return 0;
}
