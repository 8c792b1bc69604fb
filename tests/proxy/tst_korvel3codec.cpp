// Protocol-3 packets: building, stuffing, checksum, id counters, log text and both receive parsers.
#include "korvel3appparser.h"
#include "korvel3codec.h"
#include "korvel3devparser.h"

#include <QRandomGenerator>
#include <QTest>
#include <QThread>
#include <atomic>
#include <map>
#include <mutex>

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

// "F0 [FE 11] len 3 crc [B6]" for every packet the parser completes, and
// "broken" for every packet it gives up.
QStringList parseAll(Korvel3Parser &parser, const QByteArray &wire)
{
    QStringList packets;
    for (const char c : wire) {
        const Korvel3Parser::Result result = parser.putByte(quint8(c));
        if (result == Korvel3Parser::Malformed) {
            packets << QStringLiteral("broken");
        } else if (result == Korvel3Parser::Complete) {
            const Korvel3Codec::PacketInfo &p = parser.packet();
            packets << QStringLiteral("%1 [%2] len %3 crc [%4]")
                           .arg(QString::number(p.id, 16).toUpper(), QString::fromLatin1(p.data.toHex(' ').toUpper()))
                           .arg(p.length)
                           .arg(QString::fromLatin1(p.crc.toHex(' ').toUpper()));
            parser.clear();
        }
    }
    return packets;
}

} // namespace

class TestKorvel3Codec : public QObject
{
    Q_OBJECT
private slots:
    // Runs first: nothing in this process has taken an id yet.
    void idCountersStartAtE0AndCycleThroughFive()
    {
        for (auto next : {&Korvel3Codec::nextTransportID, &Korvel3Codec::nextTaskID}) {
            QList<int> taken;
            for (int i = 0; i < 6; ++i)
                taken << next();
            QCOMPARE(taken, (QList<int> {0xE0, 0xE1, 0xE2, 0xE3, 0xE4, 0xE0}));
        }
    }

    // Proxies on several threads share the counters: every value stays in
    // range and each is handed out equally often.
    void idCountersAreSharedSafelyBetweenThreads()
    {
        constexpr int threadCount = 4;
        constexpr int perThread = 200000;
        std::mutex lock;
        std::map<int, int> counts;
        std::atomic_int ready {0};
        QList<QThread *> threads;
        for (int t = 0; t < threadCount; ++t) {
            threads << QThread::create([&] {
                // All threads take values at the same time.
                ++ready;
                while (ready < threadCount) {
                }
                std::map<int, int> local;
                for (int i = 0; i < perThread; ++i)
                    ++local[Korvel3Codec::nextTransportID()];
                std::lock_guard<std::mutex> guard(lock);
                for (const auto &[id, n] : local)
                    counts[id] += n;
            });
        }
        for (QThread *thread : threads)
            thread->start();
        for (QThread *thread : threads) {
            QVERIFY(thread->wait(20000));
            delete thread;
        }
        const int each = threadCount * perThread / 5;
        const std::map<int, int> expected {{0xE0, each}, {0xE1, each}, {0xE2, each}, {0xE3, each}, {0xE4, each}};
        QCOMPARE(counts, expected);
    }

    void checksum_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("crc");
        QTest::newRow("check value over 1..9") << QByteArray("123456789") << 0xF7;
        QTest::newRow("nothing") << QByteArray() << 0xFF;
        QTest::newRow("table entry 1") << hex("FE") << 0x31;
        QTest::newRow("table entry 2") << hex("FD") << 0x62;
        QTest::newRow("id and Abort") << hex("E1C4") << 0x80;
    }
    void checksum()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, crc);
        QCOMPARE(int(Korvel3Codec::calcCRC(bytes)), crc);
    }

    void mask_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("stuffed");
        QTest::newRow("start byte") << hex("FE") << hex("FDEE");
        QTest::newRow("escape byte") << hex("FD") << hex("FDED");
        QTest::newRow("mixed") << hex("00FEFD7FFE") << hex("00FDEEFDED7FFDEE");
        QTest::newRow("escape codes alone stay") << hex("EEED") << hex("EEED");
        QTest::newRow("nothing") << QByteArray() << QByteArray();
    }
    void mask()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, stuffed);
        QByteArray &result = Korvel3Codec::mask(bytes);
        QCOMPARE(&result, &bytes);
        QCOMPARE(bytes.toHex(' '), stuffed.toHex(' '));
    }

    // Long payloads are checked by their length bytes and size only.
    void packWithId_data()
    {
        QTest::addColumn<int>("id");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QByteArray>("head");
        QTest::addColumn<int>("size");
        QTest::newRow("one byte") << 0xE1 << hex("C4") << hex("FE0100E1C480") << 6;
        QTest::newRow("empty payload") << 0x12 << QByteArray() << hex("FE0000128D") << 5;
        QTest::newRow("id and payload stuffed, length unstuffed")
            << 0xFE << hex("FEFD01") << hex("FE0300FDEEFDEEFDED01FF") << 11;
        QTest::newRow("checksum FE stuffed") << 0x12 << hex("45") << hex("FE01001245FDEE") << 7;
        QTest::newRow("checksum FD stuffed") << 0x12 << hex("19") << hex("FE01001219FDED") << 7;
        QTest::newRow("127 bytes") << 0x12 << QByteArray(127, 0x01) << hex("FE7F0012") << 127 + 5;
        QTest::newRow("128 bytes") << 0x12 << QByteArray(128, 0x01) << hex("FE000112") << 128 + 5;
        QTest::newRow("200 bytes") << 0x12 << QByteArray(200, 0x01) << hex("FE480112") << 200 + 5;
        QTest::newRow("longest") << 0x12 << QByteArray(Korvel3Codec::MAX_PAYLOAD, 0x01) << hex("FE7FFC12")
                                 << Korvel3Codec::MAX_PAYLOAD + 5;
        QTest::newRow("too long to frame") << 0x12 << QByteArray(Korvel3Codec::MAX_PAYLOAD + 1, 0x01) << QByteArray()
                                           << 0;
    }
    void packWithId()
    {
        QFETCH(int, id);
        QFETCH(QByteArray, payload);
        QFETCH(QByteArray, head);
        QFETCH(int, size);
        const QByteArray wire = Korvel3Codec::packWithId(quint8(id), payload);
        QCOMPARE(wire.left(head.size()).toHex(' '), head.toHex(' '));
        QCOMPARE(int(wire.size()), size);
    }

    // pack takes the next shared transport id and describes what it built;
    // a payload it cannot frame takes no id.
    void packTakesIdsAndDescribesThePacket()
    {
        Korvel3Codec::PacketInfo first;
        first.parseState = 3;
        const QByteArray wire = Korvel3Codec::pack(hex("C2E5"), first);
        QVERIFY(first.id >= 0xE0 && first.id <= 0xE4);
        QCOMPARE(quint8(wire.at(3)), first.id);
        QCOMPARE(first.length, quint16(2));
        QCOMPARE(first.data, hex("C2E5"));
        QCOMPARE(first.crc, QByteArray(1, char(Korvel3Codec::calcCRC(char(first.id) + hex("C2E5")))));
        QCOMPARE(first.parseState, 3);
        QCOMPARE(wire, Korvel3Codec::packWithId(first.id, hex("C2E5")));

        Korvel3Codec::PacketInfo untouched;
        QVERIFY(Korvel3Codec::pack(QByteArray(Korvel3Codec::MAX_PAYLOAD + 1, 0x01), untouched).isEmpty());
        QCOMPARE(untouched.id, quint8(0));

        Korvel3Codec::PacketInfo second;
        Korvel3Codec::pack(hex("C4"), second);
        QCOMPARE(int(second.id), first.id == 0xE4 ? 0xE0 : first.id + 1);
    }

    void packetText_data()
    {
        QTest::addColumn<int>("id");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QByteArray>("crc");
        QTest::addColumn<QString>("text");
        QTest::newRow("small id padded") << 0x0E << hex("0102") << hex("5A")
                                         << "id = 0E, data = [01 02 (2 bytes)], crc = 5A (1 bytes)";
        QTest::newRow("upper case, wire-form checksum") << 0xE2 << QByteArray() << hex("FDEE")
                                                        << "id = E2, data = [ (0 bytes)], crc = FD EE (2 bytes)";
    }
    void packetText()
    {
        QFETCH(int, id);
        QFETCH(QByteArray, data);
        QFETCH(QByteArray, crc);
        QFETCH(QString, text);
        Korvel3Codec::PacketInfo info;
        info.id = quint8(id);
        info.data = data;
        info.crc = crc;
        QCOMPARE(Korvel3Codec::packetToString(info), text);
    }

    // The same wire bytes through the register-side parser (unstuffing) and
    // the software-side parser (wire form kept).
    void parsers_data()
    {
        QTest::addColumn<QByteArray>("wire");
        QTest::addColumn<QStringList>("fromRegister");
        QTest::addColumn<QStringList>("fromSoftware");
        QTest::newRow("stuffed payload") << hex("FE0200F0FDEE11B6") << QStringList {"F0 [FE 11] len 3 crc [B6]"}
                                         << QStringList {"F0 [FD EE 11] len 3 crc [B6]"};
        QTest::newRow("garbage around packets dropped")
            << hex("0102") + hex("FE01001233A0") + hex("55") + hex("FE010013443B")
            << QStringList {"12 [33] len 1 crc [A0]", "13 [44] len 1 crc [3B]"}
            << QStringList {"12 [33] len 1 crc [A0]", "13 [44] len 1 crc [3B]"};
        QTest::newRow("zero length completes after its checksum")
            << hex("FE0000128D") + hex("FE01001233A0")
            << QStringList {"12 [] len 0 crc [8D]", "12 [33] len 1 crc [A0]"}
            << QStringList {"12 [] len 0 crc [8D]", "12 [33] len 1 crc [A0]"};
        QTest::newRow("bit 7 of the first length byte ignored")
            << hex("FE81001233A0") + hex("FE010013443B")
            << QStringList {"12 [33] len 1 crc [A0]", "13 [44] len 1 crc [3B]"}
            << QStringList {"12 [33] len 1 crc [A0]", "13 [44] len 1 crc [3B]"};
        QTest::newRow("stuffed checksum") << hex("FE01001245FDEE") << QStringList {"12 [45] len 1 crc [FE]"}
                                          << QStringList {"12 [45] len 1 crc [FD EE]"};
        QTest::newRow("start byte inside a packet is payload")
            << hex("FE03001201FE02B9") << QStringList {"12 [01 FE 02] len 3 crc [B9]"}
            << QStringList {"12 [01 FE 02] len 3 crc [B9]"};
        QTest::newRow("escape flood in payload given up")
            << hex("FE020012FDFDFDFDFDFD") + hex("FE01001233A0") << QStringList {"broken", "12 [33] len 1 crc [A0]"}
            << QStringList {"broken", "12 [33] len 1 crc [A0]"};
        QTest::newRow("escape flood in checksum given up")
            << hex("FE01001233FDFDFD") + hex("FE01001233A0") << QStringList {"broken", "12 [33] len 1 crc [A0]"}
            << QStringList {"broken", "12 [33] len 1 crc [A0]"};
    }
    void parsers()
    {
        QFETCH(QByteArray, wire);
        QFETCH(QStringList, fromRegister);
        QFETCH(QStringList, fromSoftware);
        Korvel3DevParser dev;
        Korvel3AppParser app;
        QCOMPARE(parseAll(dev, wire), fromRegister);
        QCOMPARE(parseAll(app, wire), fromSoftware);
    }

    // Line noise rich in escape and start bytes, with long escape bursts:
    // neither parser ever holds
    // more than the largest packet a length field can announce, stuffed.
    void parsersStayBoundedOnNoise()
    {
        constexpr int largestWirePacket = 4 + 2 * (0x7F + 128 * 0xFF) + 2;
        QRandomGenerator random(42);
        Korvel3DevParser dev;
        Korvel3AppParser app;
        int escapeBurst = 0;
        for (int i = 0; i < 400000; ++i) {
            if (escapeBurst == 0 && random.bounded(20000) == 0)
                escapeBurst = 70000;
            const quint32 pick = random.bounded(8);
            const quint8 byte = escapeBurst-- > 0 || pick < 3 ? 0xFD : pick == 3 ? 0xFE : quint8(random.bounded(256));
            escapeBurst = qMax(escapeBurst, 0);
            for (Korvel3Parser *parser : {static_cast<Korvel3Parser *>(&dev), static_cast<Korvel3Parser *>(&app)}) {
                if (parser->putByte(byte) != Korvel3Parser::Pending)
                    parser->clear();
                QVERIFY2(parser->raw().size() <= largestWirePacket, qPrintable(QString::number(parser->raw().size())));
            }
        }
    }

    // Whatever is built parses back: the register side recovers id, payload
    // and checksum; the software side completes on the last byte with the
    // packet's wire bytes intact.
    void builtPacketsParseBack_data()
    {
        QTest::addColumn<int>("size");
        for (int size : {0, 1, 2, 127, 128, 200, 1000, Korvel3Codec::MAX_PAYLOAD})
            QTest::newRow(qPrintable(QStringLiteral("%1 bytes").arg(size))) << size;
    }
    void builtPacketsParseBack()
    {
        QFETCH(int, size);
        QRandomGenerator random(quint32(size) + 7);
        QByteArray payload;
        for (int i = 0; i < size; ++i) {
            // Plenty of bytes that need stuffing.
            const quint32 pick = random.bounded(4);
            payload.append(pick == 0 ? char(0xFE) : pick == 1 ? char(0xFD) : char(random.bounded(256)));
        }
        const QByteArray wire = Korvel3Codec::packWithId(0x12, payload);

        Korvel3DevParser dev;
        Korvel3AppParser app;
        for (int i = 0; i < wire.size(); ++i) {
            const bool last = i == wire.size() - 1;
            QCOMPARE(dev.putByte(quint8(wire.at(i))) == Korvel3Parser::Complete, last);
            QCOMPARE(app.putByte(quint8(wire.at(i))) == Korvel3Parser::Complete, last);
        }
        QCOMPARE(dev.packet().id, quint8(0x12));
        QCOMPARE(dev.packet().data, payload);
        QCOMPARE(dev.packet().crc, QByteArray(1, char(Korvel3Codec::calcCRC(char(0x12) + payload))));
        QCOMPARE(dev.raw(), wire);
        QCOMPARE(app.raw(), wire);
        QCOMPARE(app.packet().id, quint8(0x12));
    }
};

QTEST_GUILESS_MAIN(TestKorvel3Codec)
#include "tst_korvel3codec.moc"
