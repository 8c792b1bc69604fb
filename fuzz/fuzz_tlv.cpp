// Fuzz target: link records cut from a receive buffer that fills in pieces of any size, with records given up now and then.
#include "fuzzcheck.h"
#include "tlvcodec.h"
#include "tlvfield.h"

#include <fuzzer/FuzzedDataProvider.h>

// The front of the input is the line; bytes taken from its back steer the
// deliveries: 0xFF gives the begun record up, any other value is the size of
// the next delivery.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    TlvCodec codec;
    QByteArray buffer;
    QByteArray recordBytes; // taken since the current record began

    while (input.remaining_bytes() > 0) {
        const uint8_t step = input.ConsumeIntegral<uint8_t>();
        if (step == 0xFF) {
            codec.drop();
            recordBytes.clear();
            fuzzCheck(!codec.inRecord(), "a given-up record is forgotten");
            continue;
        }
        const std::vector<char> piece = input.ConsumeBytes<char>(step);
        buffer.append(piece.data(), qsizetype(piece.size()));

        for (;;) {
            const QByteArray before = buffer;
            TlvField record;
            const TlvCodec::Result result = codec.take(buffer, record);
            const qsizetype takenCount = before.size() - buffer.size();
            fuzzCheck(takenCount >= 0 && before.mid(takenCount) == buffer,
                      "take() removes bytes from the front only", buffer, before);
            recordBytes.append(before.left(takenCount));

            if (result == TlvCodec::Complete) {
                fuzzCheck(record.data.size() <= TLV_MAX_VALUE, "a value holds at most 255 bytes", record.data);
                fuzzCheck(tlvEncode(record) == recordBytes, "a record re-encodes to the bytes taken for it",
                          tlvEncode(record), recordBytes);
                fuzzCheck(!codec.inRecord(), "no record is begun after a whole one");
                recordBytes.clear();
                continue;
            }
            if (result == TlvCodec::Partial) {
                fuzzCheck(buffer.isEmpty(), "a short value takes everything buffered", buffer);
                fuzzCheck(codec.inRecord() && codec.collected() < codec.expected() && codec.expected() <= TLV_MAX_VALUE,
                          "a begun record stays within its announced length");
                fuzzCheck(recordBytes.size() == 2 + codec.collected(), "header and collected bytes are all taken",
                          recordBytes);
            } else {
                fuzzCheck(takenCount == 0 && buffer.size() < 2 && !codec.inRecord(),
                          "NeedMore only with less than a header and takes nothing", buffer);
            }
            break;
        }
    }
    return 0;
}
