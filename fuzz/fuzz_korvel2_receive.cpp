// Fuzz target: the protocol-2 receive state machine against a peer that sends arbitrary bytes and silences.
#include "fuzzcheck.h"
#include "korvel2frame.h"
#include "korvel2link.h"
#include "scriptedchannel.h"

// Input: the first byte is the silence marker; the rest is the peer's side of
// the line, where each occurrence of the marker is a wait that times out.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    ScriptedChannel channel(fuzzBytes(data + 1, size - 1), data[0]);
    Korvel2Link link(channel, false, QStringLiteral("Fuzz-Korvel2"));
    const QByteArray message = link.exchange(QByteArray(), 10);

    fuzzCheck(message.size() <= Korvel2Frame::MAX_MESSAGE_SIZE, "a received message holds at most 1024 bytes",
              message.left(16));
    // Every answer of a receiver follows a byte of the peer, and a silent line
    // ends the exchange within a few waits: the work is bounded by the input.
    fuzzCheck(channel.writes() <= channel.consumed(), "the receiver writes only in answer to the peer",
              channel.written());
    fuzzCheck(channel.readsPastEnd() <= 3, "a silent line ends the exchange");
    fuzzCheck(channel.pausedMs() == 0, "a receiver never pauses");
    for (const char c : channel.written())
        fuzzCheck(uint8_t(c) == Korvel2Frame::ACK || uint8_t(c) == Korvel2Frame::NAK,
                  "a receiver answers only ACK or NAK", channel.written());
    if (!message.isEmpty())
        fuzzCheck(channel.written().endsWith(char(Korvel2Frame::ACK)), "a returned message was acknowledged",
                  channel.written());
    return 0;
}
