// Protocol-2 framing and the link exchange's send and receive state machines against a scripted peer.
#include "korvel2bytechannel.h"
#include "korvel2frame.h"
#include "korvel2link.h"
#include "logcapture.h"
#include "utils.h"

#include <QTest>

using namespace Korvel2Frame;

namespace {

const QString LOGGER = QStringLiteral("ComProxy2-link");
// A wait that the scripted peer lets time out.
constexpr int SILENCE = -1;

using Script = QList<int>;

Script bytes(const QByteArray &data)
{
    Script script;
    for (const char c : data)
        script.append(uint8_t(c));
    return script;
}

Script times(int n, const Script &part)
{
    Script script;
    for (int i = 0; i < n; ++i)
        script += part;
    return script;
}

Script byte(uint8_t b) { return Script {b}; }
Script silence() { return Script {SILENCE}; }

QByteArray ctl(uint8_t b, int n = 1) { return QByteArray(n, char(b)); }

QList<int> repeated(int n, int value) { return QList<int>(n, value); }

QStringList lines(int n, const QString &text) { return QStringList(QList<QString>(n, text)); }

// The peer: answers each wait with the next scripted byte, or lets it time
// out (at once) at SILENCE or when the script has run out.
class ScriptedChannel : public Korvel2ByteChannel
{
public:
    explicit ScriptedChannel(const Script &script) : m_script(script) {}

    bool readByte(uint8_t &byte, int timeoutMs) override
    {
        waits.append(timeoutMs);
        if (m_script.isEmpty())
            return false;
        const int next = m_script.takeFirst();
        if (next == SILENCE)
            return false;
        byte = uint8_t(next);
        return true;
    }
    void writeByte(uint8_t byte) override { written.append(char(byte)); }
    void writeBytes(const QByteArray &bytes) override { written.append(bytes); }
    void pause(int ms) override { pauses.append(ms); }

    QByteArray written;
    QList<int> waits;
    QList<int> pauses;

private:
    Script m_script;
};

QStringList errorLines(const LogCapture &capture)
{
    QStringList result;
    const QString tag = QStringLiteral("ERROR [%1] ").arg(LOGGER);
    for (const QString &line : capture.lines()) {
        const int at = line.indexOf(tag);
        if (at >= 0)
            result.append(line.mid(at + tag.size()));
    }
    return result;
}

} // namespace

class TestKorvel2Link : public QObject
{
    Q_OBJECT
private slots:
    void framing_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QByteArray>("frame");
        QTest::newRow("DLE and ETX stuffed, both counted in the checksum")
            << QByteArray::fromHex("411003") << QByteArray::fromHex("02411010100303" "51");
        QTest::newRow("plain bytes") << QByteArray::fromHex("0102") << QByteArray::fromHex("0201020300");
        QTest::newRow("STX and EOT in the message are not stuffed")
            << QByteArray::fromHex("0204") << QByteArray::fromHex("02020403" "05");
        QTest::newRow("empty message") << QByteArray() << QByteArray::fromHex("020303");
    }
    void framing()
    {
        QFETCH(QByteArray, message);
        QFETCH(QByteArray, frame);
        QCOMPARE(build(message).toHex(' '), frame.toHex(' '));
    }

    void escapeAndCrc()
    {
        QByteArray stuffed = QByteArray::fromHex("10 03 10 41");
        escape(stuffed);
        QCOMPARE(stuffed.toHex(' '), QByteArray("10 10 10 03 10 10 41"));
        QCOMPARE(crc(QByteArray()), uint8_t(0));
        QCOMPARE(crc(QByteArray::fromHex("ff0f")), uint8_t(0xf0));
    }

    void send_data()
    {
        QTest::addColumn<bool>("appSide");
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<Script>("peer");
        QTest::addColumn<QByteArray>("written");
        QTest::addColumn<QByteArray>("result");
        QTest::addColumn<QList<int>>("waits");
        QTest::addColumn<QList<int>>("pauses");
        QTest::addColumn<QStringList>("errors");

        const QByteArray msg = QByteArray::fromHex("411003");
        const QByteArray frame = build(msg);
        const QByteArray peerMsg = QByteArray::fromHex("55 00");
        const QStringList failed {QStringLiteral("error in line 548")};

        QTest::newRow("granted and acknowledged")
            << false << msg << byte(ACK) + byte(ACK)
            << ctl(ENQ) + frame + ctl(EOT) << QByteArray() << repeated(2, 500) << QList<int>() << QStringList();
        QTest::newRow("silent peer: five ENQs, EOT, 548")
            << false << msg << Script()
            << ctl(ENQ, 5) + ctl(EOT) << QByteArray() << repeated(5, 500) << QList<int>() << failed;
        QTest::newRow("NAK to every ENQ: pause after each, then 548")
            << false << msg << times(5, byte(NAK))
            << ctl(ENQ, 5) + ctl(EOT) << QByteArray() << repeated(5, 500) << repeated(5, 500) << failed;
        QTest::newRow("one conflict on the software's line: 1000 ms, new handshake")
            << true << msg << byte(ENQ) + byte(ACK) + byte(ACK)
            << ctl(ENQ, 2) + frame + ctl(EOT) << QByteArray() << repeated(3, 500) << QList<int> {1000}
            << QStringList {QStringLiteral("Conflict")};
        QTest::newRow("conflicts on the register's line: 500 ms each, 548 after 100 handshakes")
            << false << msg << times(101, byte(ENQ))
            << ctl(ENQ, 101) + ctl(EOT) << QByteArray() << repeated(101, 500) << repeated(101, 500)
            << lines(101, QStringLiteral("Conflict")) + failed;
        QTest::newRow("noise to ENQ starts a new handshake quietly")
            << false << msg << byte(0x55) + byte(ACK) + byte(ACK)
            << ctl(ENQ, 2) + frame + ctl(EOT) << QByteArray() << repeated(3, 500) << QList<int>() << QStringList();
        QTest::newRow("noise to every ENQ: 548 after 100 handshakes")
            << false << msg << times(101, byte(0x55))
            << ctl(ENQ, 101) + ctl(EOT) << QByteArray() << repeated(101, 500) << QList<int>() << failed;
        QTest::newRow("frame acknowledged at the third writing")
            << false << msg << byte(ACK) + silence() + byte(NAK) + byte(ACK)
            << ctl(ENQ) + frame + frame + frame + ctl(EOT) << QByteArray() << repeated(4, 500) << QList<int>()
            << QStringList();
        QTest::newRow("ENQ to the first writing counts as no answer")
            << false << msg << byte(ACK) + byte(ENQ) + byte(ACK)
            << ctl(ENQ) + frame + frame + ctl(EOT) << QByteArray() << repeated(3, 500) << QList<int>()
            << QStringList();
        QTest::newRow("frame never acknowledged: ten writings, EOT, 548")
            << false << msg << byte(ACK)
            << ctl(ENQ) + frame.repeated(10) + ctl(EOT) << QByteArray() << repeated(11, 500) << QList<int>()
            << failed;
        QTest::newRow("message over 1024 bytes is refused without touching the line")
            << false << QByteArray(1025, 'A') << byte(ACK) << QByteArray() << QByteArray() << QList<int>()
            << QList<int>() << QStringList {QStringLiteral("message too long (1025 bytes), not sent")};
        QTest::newRow("peer takes the line after the second writing")
            << false << msg << byte(ACK) + silence() + byte(ENQ) + bytes(build(peerMsg)) + byte(EOT)
            << ctl(ENQ) + frame + frame + ctl(ACK) + ctl(ACK) << peerMsg
            // ENQ, two writings, the peer's STX, its 55 00 ETX checksum, its EOT
            << QList<int> {500, 500, 500, 5000, 500, 500, 500, 500, 500}
            << QList<int>() << QStringList();
    }
    void send()
    {
        QFETCH(bool, appSide);
        QFETCH(QByteArray, message);
        QFETCH(Script, peer);
        QFETCH(QByteArray, written);
        QFETCH(QByteArray, result);
        QFETCH(QList<int>, waits);
        QFETCH(QList<int>, pauses);
        QFETCH(QStringList, errors);

        LogCapture capture;
        ScriptedChannel channel(peer);
        Korvel2Link link(channel, appSide, LOGGER);
        QCOMPARE(link.exchange(message, 10).toHex(' '), result.toHex(' '));
        QCOMPARE(channel.written.toHex(' '), written.toHex(' '));
        QCOMPARE(channel.waits, waits);
        QCOMPARE(channel.pauses, pauses);
        QCOMPARE(errorLines(capture), errors);
    }

    void receive_data()
    {
        QTest::addColumn<Script>("peer");
        QTest::addColumn<QByteArray>("written");
        QTest::addColumn<QByteArray>("result");
        // Every wait but the 500 ms ones inside a frame: the caller's ENQ wait, the 5000 ms STX waits.
        QTest::addColumn<QList<int>>("longWaits");
        QTest::addColumn<QStringList>("errors");

        const QByteArray msg = QByteArray::fromHex("411003");
        const Script frame = bytes(build(msg));
        Script badFrame = frame;
        badFrame.last() ^= 0xff;
        const QByteArray full(1024, char(0x10));
        const QByteArray tooLong(1025, 'A');

        QTest::newRow("silent port: one short wait, nothing logged")
            << Script() << QByteArray() << QByteArray() << QList<int> {10} << QStringList();
        QTest::newRow("message received and acknowledged")
            << byte(ENQ) + frame + byte(EOT) << ctl(ACK, 2) << msg << QList<int> {10, 5000} << QStringList();
        QTest::newRow("bad checksum: NAK, then the repeated frame is accepted")
            << byte(ENQ) + badFrame + frame + byte(EOT) << ctl(ACK) + ctl(NAK) + ctl(ACK) << msg
            << QList<int> {10, 5000, 5000} << QStringList();
        QTest::newRow("byte missing inside a frame: no answer, the repeated frame is accepted")
            << byte(ENQ) + byte(STX) + byte(0x41) + silence() + frame + byte(EOT) << ctl(ACK, 2) << msg
            << QList<int> {10, 5000, 5000} << QStringList();
        QTest::newRow("1024 bytes (stuffed to 2048) fit")
            << byte(ENQ) + bytes(build(full)) + byte(EOT) << ctl(ACK, 2) << full << QList<int> {10, 5000}
            << QStringList();
        QTest::newRow("1025 bytes are a receive error")
            << byte(ENQ) + bytes(build(tooLong)) << ctl(ACK) << QByteArray()
            << QList<int> {10, 5000, 5000, 5000, 5000} << QStringList {QStringLiteral("error in line 421")};
        QTest::newRow("frame repeated after the final ACK is read again")
            << byte(ENQ) + frame + frame + byte(EOT) << ctl(ACK, 3) << msg << QList<int> {10, 5000}
            << QStringList();
        QTest::newRow("one stray byte after the final ACK, then quiet")
            << byte(ENQ) + frame + byte(0x55) << ctl(ACK, 2) << msg << QList<int> {10, 5000} << QStringList();
        QTest::newRow("two stray bytes after the final ACK are a receive error")
            << byte(ENQ) + frame + byte(0x55) + byte(0x55) + frame + byte(EOT) << ctl(ACK, 3) << msg
            << QList<int> {10, 5000, 5000} << QStringList();
        QTest::newRow("99 noise bytes before ENQ are skipped")
            << times(99, byte(0x55)) + byte(ENQ) + frame + byte(EOT) << ctl(ACK, 2) << msg
            << repeated(100, 10) + QList<int> {5000} << QStringList();
        QTest::newRow("100 noise bytes instead of ENQ: 384")
            << times(100, byte(0x55)) << QByteArray() << QByteArray() << repeated(100, 10)
            << QStringList {QStringLiteral("error in line 384")};
        QTest::newRow("no STX after our ACK: 421")
            << byte(ENQ) << ctl(ACK) << QByteArray() << QList<int> {10, 5000}
            << QStringList {QStringLiteral("error in line 421")};
        QTest::newRow("repeated ENQ is acknowledged again")
            << byte(ENQ) + byte(ENQ) + frame + byte(EOT) << ctl(ACK, 3) << msg << QList<int> {10, 5000, 5000}
            << QStringList();
        QTest::newRow("eleventh repeated ENQ: 531")
            << times(12, byte(ENQ)) << ctl(ACK, 11) << QByteArray() << QList<int> {10} + repeated(11, 5000)
            << QStringList {QStringLiteral("error in line 531")};
        QTest::newRow("eleventh bad checksum: 537")
            << byte(ENQ) + times(11, badFrame) << ctl(ACK) + ctl(NAK, 11) << QByteArray()
            << QList<int> {10} + repeated(11, 5000) << QStringList {QStringLiteral("error in line 537")};
        QTest::newRow("eleventh repetition of an acknowledged frame: 543")
            << byte(ENQ) + times(12, frame) << ctl(ACK, 12) << QByteArray() << QList<int> {10, 5000}
            << QStringList {QStringLiteral("error in line 543")};
        QTest::newRow("100 stray bytes instead of STX: given up quietly")
            << byte(ENQ) + times(100, byte(0x55)) << ctl(ACK) << QByteArray() << QList<int> {10} + repeated(100, 5000)
            << QStringList();
    }
    void receive()
    {
        QFETCH(Script, peer);
        QFETCH(QByteArray, written);
        QFETCH(QByteArray, result);
        QFETCH(QList<int>, longWaits);
        QFETCH(QStringList, errors);

        LogCapture capture;
        ScriptedChannel channel(peer);
        Korvel2Link link(channel, false, LOGGER);
        QCOMPARE(link.exchange(QByteArray(), 10).toHex(' '), result.toHex(' '));
        QCOMPARE(channel.written.toHex(' '), written.toHex(' '));
        QList<int> waits = channel.waits;
        waits.removeAll(500);
        QCOMPARE(waits, longWaits);
        QCOMPARE(errorLines(capture), errors);
        QVERIFY2(capture.messages(LOGGER).size() == errors.size(), "nothing but the errors is logged");
    }
};

QTEST_GUILESS_MAIN(TestKorvel2Link)
#include "tst_korvel2link.moc"
