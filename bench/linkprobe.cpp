// Times one register's traffic through a relay: one way each direction, and a grant-paced stream.
#include "linkprobe.h"

#include "benchclock.h"
#include "loopbackserver.h"
#include "registerend.h"

namespace {
QByteArray message(int seq)
{
    QByteArray bytes(LinkProbe::MESSAGE_SIZE, '\0');
    for (int i = 0; i < bytes.size(); ++i)
        bytes[i] = char((seq * 31 + i) & 0xFF);
    return bytes;
}
}

LinkProbe::LinkProbe(RegisterEnd &end, LoopbackServer &server, bool linkProtocol, quint32 seed)
    : m_end(end)
    , m_server(server)
    , m_linkProtocol(linkProtocol)
    , m_random(seed)
{
}

void LinkProbe::fail(const QString &why)
{
    if (m_error.isEmpty())
        m_error = why;
}

bool LinkProbe::nextRecord(TlvField &record)
{
    return m_codec.take(m_end.inbox(), record) == TlvCodec::Complete;
}

bool LinkProbe::waitForRecord(unsigned char cmd, TlvField &record, int timeoutMs, qint64 *arrivalNs)
{
    bool found = false;
    BenchClock::waitUntil(
        [&] {
            while (!found && nextRecord(record))
                found = record.cmd == cmd;
            return found;
        },
        timeoutMs);
    if (found && arrivalNs)
        *arrivalNs = m_end.lastArrivalNs();
    return found;
}

void LinkProbe::grant()
{
    m_end.send(tlvEncode(TlvField(LNK_TLV_TX_PACKET_SIZE0, QByteArray(1, char(TLV_MAX_VALUE)))));
}

bool LinkProbe::handshake(int timeoutMs)
{
    // A plain relay connects on its own as soon as it starts, possibly before this call.
    const int before = m_linkProtocol ? m_server.connectionCount() : 0;
    if (m_linkProtocol) {
        TlvField record;
        if (!waitForRecord(LNK_TLV_RX_REQUEST_VERSION, record, timeoutMs)) {
            fail(QStringLiteral("no version request from pobrid"));
            return false;
        }
        const quint16 port = m_server.port();
        m_end.send(tlvEncode(TlvField(LNK_TLV_TX_RESPONSE_VERSION, QByteArray(1, 2)))
                   + tlvEncode(TlvField(LNK_TLV_TX_PORT0, QByteArray(1, char(port & 0xFF)) + char(port >> 8)))
                   + tlvEncode(TlvField(LNK_TLV_TX_CONNECT0, QByteArrayLiteral("127.0.0.1"))));
        if (!waitForRecord(LNK_TLV_RX_CONNECT_STATE0, record, timeoutMs) || record.data != QByteArray(1, 1)) {
            fail(QStringLiteral("channel 0 did not report connected"));
            return false;
        }
    }
    if (!m_server.waitForConnections(before + 1, timeoutMs)) {
        fail(QStringLiteral("no connection at the server"));
        return false;
    }
    m_connection = m_server.connectionCount() - 1;
    return true;
}

Samples LinkProbe::toServer(int count)
{
    Samples samples;
    for (int i = 0; i < count && m_error.isEmpty(); ++i) {
        // Random spacing keeps the sends from locking onto the relay's polling phase.
        BenchClock::pause(10 + int(m_random.bounded(100)));
        const QByteArray payload = message(i);
        const QByteArray bytes = tlvEncode(TlvField(LNK_TLV_TX_DATA0, payload));
        // The server sees the payload alone from pobrid, the whole record from a plain relay.
        const qsizetype target = m_server.received(m_connection).size() + (m_linkProtocol ? payload.size() : bytes.size());
        const qint64 start = BenchClock::nowNs();
        m_end.send(bytes);
        if (!BenchClock::waitUntil([&] { return m_server.received(m_connection).size() >= target; }, 5000)) {
            fail(QStringLiteral("message %1 did not reach the server").arg(i));
            break;
        }
        samples.add(BenchClock::msSince(start));
    }
    return samples;
}

Samples LinkProbe::toRegister(int count)
{
    Samples samples;
    for (int i = 0; i < count && m_error.isEmpty(); ++i) {
        if (m_linkProtocol)
            grant();
        // The grant settles; the wait spans two 100 ms USB read periods, so the
        // server's write lands at a random phase of the relay's loops.
        BenchClock::pause(20 + int(m_random.bounded(200)));
        m_end.inbox().clear();
        m_codec.drop();
        const qint64 start = BenchClock::nowNs();
        m_server.send(message(i), m_connection);
        qint64 arrival = 0;
        if (m_linkProtocol) {
            TlvField record;
            if (!waitForRecord(LNK_TLV_RX_DATA0, record, 5000, &arrival) || record.data != message(i)) {
                fail(QStringLiteral("message %1 did not reach the register").arg(i));
                break;
            }
        } else {
            if (!BenchClock::waitUntil([&] { return m_end.inbox().size() >= MESSAGE_SIZE; }, 5000)) {
                fail(QStringLiteral("message %1 did not reach the terminal").arg(i));
                break;
            }
            arrival = m_end.lastArrivalNs();
        }
        samples.add(double(arrival - start) / 1e6);
    }
    return samples;
}

LinkProbe::Throughput LinkProbe::throughput(int durationMs)
{
    Throughput result;
    // More than the protocol's ceiling can move in the time given, so the server never runs dry.
    const int queued = int(qint64(durationMs) * 255 * 2 / 10);
    QByteArray block(queued, '\0');
    for (int i = 0; i < block.size(); ++i)
        block[i] = char(i & 0xFF);
    m_end.inbox().clear();
    m_codec.drop();
    m_server.send(block, m_connection);
    grant();
    qint64 grantNs = BenchClock::nowNs();
    qint64 firstNs = 0;
    qint64 lastNs = 0;
    TlvField record;
    while (true) {
        qint64 arrival = 0;
        if (!waitForRecord(LNK_TLV_RX_DATA0, record, 5000, &arrival)) {
            fail(QStringLiteral("the stream stalled after %1 records").arg(result.records));
            break;
        }
        result.grantToData.add(double(arrival - grantNs) / 1e6);
        if (firstNs == 0) {
            firstNs = arrival;
        } else {
            // The first record only starts the clock; the rate counts what came after it.
            result.dataToData.add(double(arrival - lastNs) / 1e6);
            result.bytes += record.data.size();
            ++result.records;
        }
        lastNs = arrival;
        if (double(lastNs - firstNs) / 1e6 >= durationMs)
            break;
        grant();
        grantNs = BenchClock::nowNs();
    }
    result.seconds = double(lastNs - firstNs) / 1e9;
    return result;
}
