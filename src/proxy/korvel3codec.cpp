// Packets of the registers' serial protocol version 3: building, stuffing, checksum, id generators, log text.
#include "korvel3codec.h"

#include "utils.h"

#include <array>
#include <atomic>

namespace {

constexpr quint8 CRC_POLYNOMIAL = 0x31;
constexpr quint8 CRC_INITIAL = 0xFF;

constexpr std::array<quint8, 256> makeCrcTable()
{
    std::array<quint8, 256> table {};
    for (int i = 0; i < 256; ++i) {
        quint8 value = quint8(i);
        for (int bit = 0; bit < 8; ++bit)
            value = (value & 0x80) ? quint8((value << 1) ^ CRC_POLYNOMIAL) : quint8(value << 1);
        table[size_t(i)] = value;
    }
    return table;
}

constexpr std::array<quint8, 256> CRC_TABLE = makeCrcTable();
static_assert(CRC_TABLE[1] == 0x31 && CRC_TABLE[2] == 0x62, "standard table for polynomial 0x31");

// Ids that the service generates for its own packets and tasks.
constexpr int FIRST_OWN_ID = 0xE0;
constexpr int LAST_OWN_ID = 0xE4;

// Adds one and wraps past LAST_OWN_ID, as one indivisible step: the counters
// are shared by proxies running on different threads.
int takeNext(std::atomic<int> &counter)
{
    int current = counter.load();
    int next;
    do {
        next = current + 1 > LAST_OWN_ID ? FIRST_OWN_ID : current + 1;
    } while (!counter.compare_exchange_weak(current, next));
    return next;
}

// Both start one below the range so that the first value taken is 0xE0.
std::atomic<int> transportIdCounter {FIRST_OWN_ID - 1};
std::atomic<int> taskIdCounter {FIRST_OWN_ID - 1};

} // namespace

void Korvel3Codec::PacketInfo::clear()
{
    id = 0;
    length = 0;
    data.clear();
    crc.clear();
    parseState = 0;
}

QByteArray Korvel3Codec::pack(const QByteArray &payload, PacketInfo &info)
{
    if (payload.size() > MAX_PAYLOAD)
        return QByteArray();
    return packWithId(quint8(nextTransportID()), payload, &info);
}

QByteArray Korvel3Codec::packWithId(quint8 id, const QByteArray &payload, PacketInfo *info)
{
    if (payload.size() > MAX_PAYLOAD)
        return QByteArray();
    QByteArray body = payload;
    body.prepend(char(id));
    const quint8 crc = calcCRC(body);
    body.append(char(crc));
    if (info) {
        info->id = id;
        info->crc = QByteArray(1, char(crc));
        info->length = quint16(payload.size());
        info->data = payload;
    }
    mask(body);
    QByteArray wire;
    wire.reserve(body.size() + 3);
    wire.append(char(START));
    wire.append(char(payload.size() & 0x7F));
    wire.append(char((payload.size() >> 7) & 0xFF));
    wire.append(body);
    return wire;
}

QByteArray &Korvel3Codec::mask(QByteArray &bytes)
{
    QByteArray stuffed;
    stuffed.reserve(bytes.size() + bytes.size() / 8 + 2);
    for (const char c : std::as_const(bytes)) {
        const quint8 b = quint8(c);
        if (b == START) {
            stuffed.append(char(ESCAPE));
            stuffed.append(char(ESCAPED_START));
        } else if (b == ESCAPE) {
            stuffed.append(char(ESCAPE));
            stuffed.append(char(ESCAPED_ESCAPE));
        } else {
            stuffed.append(c);
        }
    }
    bytes = stuffed;
    return bytes;
}

quint8 Korvel3Codec::calcCRC(const QByteArray &bytes)
{
    quint8 value = CRC_INITIAL;
    for (const char c : bytes)
        value = CRC_TABLE[size_t(value ^ quint8(c))];
    return value;
}

int Korvel3Codec::nextTransportID()
{
    return takeNext(transportIdCounter);
}

int Korvel3Codec::nextTaskID()
{
    return takeNext(taskIdCounter);
}

QString Korvel3Codec::packetToString(const PacketInfo &info)
{
    const QString id = QString::number(info.id, 16).toUpper().rightJustified(2, QLatin1Char('0'));
    return QStringLiteral("id = %1, data = [%2], crc = %3").arg(id, baToString(info.data), baToString(info.crc));
}
