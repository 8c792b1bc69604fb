// Fuzz target: the protocol-2 send state machine against a peer that answers with arbitrary bytes and silences.
#include "fuzzcheck.h"
#include "korvel2frame.h"
#include "korvel2link.h"
#include "scriptedchannel.h"

using namespace Korvel2Frame;

// Input: the first byte is the silence marker; the rest is the peer's side of
// the line, where each occurrence of the marker is a wait that times out.
// The marker's lowest bit picks the line (the pauses after a conflict differ).
// The message sent is the protocol's framing example, DLE and ETX included.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const QByteArray message = QByteArray::fromHex("411003");
    const QByteArray frame = build(message);
    ScriptedChannel channel(fuzzBytes(data + 1, size - 1), data[0]);
    Korvel2Link link(channel, data[0] & 1, QStringLiteral("Fuzz-Korvel2"));
    const QByteArray received = link.exchange(message, 10);

    // The line must read as ENQs, copies of the frame, at most one EOT, and
    // (once the peer took the line over after a repeated frame) the
    // receiver's ACKs and NAKs.
    const QByteArray &written = channel.written();
    int enqs = 0, frames = 0, eots = 0, answers = 0;
    for (qsizetype i = 0; i < written.size();) {
        const uint8_t b = uint8_t(written.at(i));
        if (written.mid(i, frame.size()) == frame) {
            fuzzCheck(answers == 0 && eots == 0, "no frame after the line was given up or taken over", written);
            ++frames;
            i += frame.size();
            continue;
        }
        if (b == ENQ) {
            fuzzCheck(frames == 0, "no ENQ once the frame is on the line", written);
            ++enqs;
        } else if (b == EOT) {
            ++eots;
        } else if (b == ACK || b == NAK) {
            fuzzCheck(frames >= 2 && eots == 0, "answers only after the peer took over a repeated frame", written);
            ++answers;
        } else {
            fuzzCheck(false, "a sender writes only ENQ, its frame, EOT and a receiver's answers", written);
        }
        ++i;
    }
    fuzzCheck(enqs <= 5 * 101 && frames <= 10 && eots <= 1, "retries stay within the protocol's limits", written);
    fuzzCheck(eots == 1 || frames >= 2, "a send ends with EOT unless the peer took the line over", written);
    fuzzCheck(received.isEmpty() || frames >= 2, "a message comes back only from a take-over", received);
    fuzzCheck(received.size() <= MAX_MESSAGE_SIZE, "a received message holds at most 1024 bytes", received.left(16));
    // Every write but the last EOT waits for the peer, and a silent line ends
    // the send within the retry limits: the work is bounded by the input.
    fuzzCheck(channel.writes() <= channel.consumed() + channel.readsPastEnd() + 1, "every write waits for the peer",
              written);
    fuzzCheck(channel.readsPastEnd() <= 10, "a silent line ends the send");
    return 0;
}
