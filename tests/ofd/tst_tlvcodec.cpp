// The link records: their wire form, printed names, and cutting a stream delivered in pieces.
#include "tlvcodec.h"
#include "tlvfield.h"

#include <QRandomGenerator>
#include <QTest>

using Pieces = QList<QByteArray>;

namespace {

// Feeds the pieces one by one and returns every whole record, encoded again.
QByteArrayList cutAll(const Pieces &pieces, TlvCodec &codec, QByteArray &buffer)
{
    QByteArrayList records;
    for (const QByteArray &piece : pieces) {
        buffer += piece;
        TlvField record;
        while (codec.take(buffer, record) == TlvCodec::Complete)
            records.append(tlvEncode(record));
    }
    return records;
}

} // namespace

class TestTlvCodec : public QObject
{
    Q_OBJECT
private slots:
    void encode_data()
    {
        QTest::addColumn<int>("cmd");
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QByteArray>("wire");
        QTest::newRow("version request") << 0x01 << QByteArray() << QByteArray::fromHex("0100");
        QTest::newRow("version answer") << 0x02 << QByteArray::fromHex("02") << QByteArray::fromHex("020102");
        QTest::newRow("channel 0 up") << 0x10 << QByteArray::fromHex("01") << QByteArray::fromHex("100101");
        QTest::newRow("full value") << 0x21 << QByteArray(255, 'x') << QByteArray::fromHex("21ff") + QByteArray(255, 'x');
        QTest::newRow("overlong value cut at 255") << 0x20 << QByteArray(300, 'y') << QByteArray::fromHex("20ff") + QByteArray(255, 'y');
    }
    void encode()
    {
        QFETCH(int, cmd);
        QFETCH(QByteArray, value);
        QFETCH(QByteArray, wire);
        QCOMPARE(tlvEncode(TlvField(static_cast<unsigned char>(cmd), value)).toHex(' '), wire.toHex(' '));
    }

    void defaultRecord()
    {
        const TlvField field;
        QCOMPARE(int(field.cmd), 0xFF);
        QVERIFY(field.data.isEmpty());
    }

    void names_data()
    {
        QTest::addColumn<int>("cmd");
        QTest::addColumn<QString>("name");
        const QList<QPair<int, const char *>> known = {
            {0x01, "LNK_TLV_RX_REQUEST_VERSION"}, {0x02, "LNK_TLV_RX_RESPONSE_VERSION"},
            {0x10, "LNK_TLV_RX_CONNECT_STATE0"}, {0x11, "LNK_TLV_RX_CONNECT_STATE1"},
            {0x20, "LNK_TLV_RX_DATA0"}, {0x21, "LNK_TLV_RX_DATA1"},
            {0x40, "LNK_TLV_TX_RESPONSE_VERSION"}, {0x41, "LNK_TLV_TX_DNS"},
            {0x42, "LNK_TLV_TX_REQUEST_VERSION"}, {0x50, "LNK_TLV_TX_PACKET_SIZE0"},
            {0x51, "LNK_TLV_TX_PACKET_SIZE1"}, {0x60, "LNK_TLV_TX_PORT0"}, {0x61, "LNK_TLV_TX_PORT1"},
            {0x70, "LNK_TLV_TX_CONNECT0"}, {0x71, "LNK_TLV_TX_CONNECT1"},
            {0x80, "LNK_TLV_TX_CONNECT0_CLOSE"}, {0x81, "LNK_TLV_TX_CONNECT1_CLOSE"},
            {0x90, "LNK_TLV_TX_DATA0"}, {0x91, "LNK_TLV_TX_DATA1"}, {0xA0, "LNK_TLV_TX_LOG"},
            {0x30, "UNKNOWN"}, {0x00, "UNKNOWN"}, {0x12, "UNKNOWN"}, {0x92, "UNKNOWN"}, {0xFF, "UNKNOWN"},
        };
        for (const auto &entry : known)
            QTest::addRow("%02x", entry.first) << entry.first << QString::fromLatin1(entry.second);
    }
    void names()
    {
        QFETCH(int, cmd);
        QFETCH(QString, name);
        QCOMPARE(cmdToStr(static_cast<unsigned char>(cmd)), name);
    }

    void cut_data()
    {
        QTest::addColumn<Pieces>("pieces");
        QTest::addColumn<QByteArrayList>("records");
        QTest::addColumn<QByteArray>("leftOver");  // bytes still in the buffer
        QTest::addColumn<int>("collected");       // of a begun record, -1: none begun
        QTest::addColumn<int>("expected");

        const QByteArray three = QByteArray::fromHex("4001029003aabbcc4100");
        QTest::newRow("three whole records, then nothing")
            << Pieces{three}
            << QByteArrayList{QByteArray::fromHex("400102"), QByteArray::fromHex("9003aabbcc"), QByteArray::fromHex("4100")}
            << QByteArray() << -1 << 0;
        QTest::newRow("header, value later")
            << Pieces{QByteArray::fromHex("9003"), QByteArray::fromHex("aabbcc")}
            << QByteArrayList{QByteArray::fromHex("9003aabbcc")} << QByteArray() << -1 << 0;
        QTest::newRow("command byte alone waits for its length")
            << Pieces{QByteArray::fromHex("90"), QByteArray::fromHex("01ee")}
            << QByteArrayList{QByteArray::fromHex("9001ee")} << QByteArray() << -1 << 0;
        QTest::newRow("lone command byte stays in the buffer")
            << Pieces{QByteArray::fromHex("4100"), QByteArray::fromHex("60")}
            << QByteArrayList{QByteArray::fromHex("4100")} << QByteArray::fromHex("60") << -1 << 0;
        QTest::newRow("value in three pieces, next record behind it")
            << Pieces{QByteArray::fromHex("910401"), QByteArray::fromHex("02"), QByteArray::fromHex("03044200")}
            << QByteArrayList{QByteArray::fromHex("910401020304"), QByteArray::fromHex("4200")}
            << QByteArray() << -1 << 0;
        QTest::newRow("zero length record is whole at once")
            << Pieces{QByteArray::fromHex("8000")}
            << QByteArrayList{QByteArray::fromHex("8000")} << QByteArray() << -1 << 0;
        QTest::newRow("unknown code framed like any other")
            << Pieces{QByteArray::fromHex("3002abcd")}
            << QByteArrayList{QByteArray::fromHex("3002abcd")} << QByteArray() << -1 << 0;
        QTest::newRow("truncated value stays begun")
            << Pieces{QByteArray::fromHex("900a0102"), QByteArray::fromHex("03")}
            << QByteArrayList{} << QByteArray() << 3 << 10;
        QTest::newRow("longest value")
            << Pieces{QByteArray::fromHex("a0ff") + QByteArray(200, 'a'), QByteArray(55, 'b')}
            << QByteArrayList{QByteArray::fromHex("a0ff") + QByteArray(200, 'a') + QByteArray(55, 'b')}
            << QByteArray() << -1 << 0;
    }
    void cut()
    {
        QFETCH(Pieces, pieces);
        QFETCH(QByteArrayList, records);
        QFETCH(QByteArray, leftOver);
        QFETCH(int, collected);
        QFETCH(int, expected);

        TlvCodec codec;
        QByteArray buffer;
        QCOMPARE(cutAll(pieces, codec, buffer), records);
        QCOMPARE(buffer.toHex(' '), leftOver.toHex(' '));
        QCOMPARE(codec.inRecord(), collected >= 0);
        if (collected >= 0) {
            QCOMPARE(codec.collected(), collected);
            QCOMPARE(codec.expected(), expected);
        }
        TlvField record;
        QVERIFY(codec.take(buffer, record) != TlvCodec::Complete);
    }

    // After a record is given up, the next byte is read as a command code.
    void dropRestartsAtNextByte()
    {
        TlvCodec codec;
        QByteArray buffer = QByteArray::fromHex("9005aabb");
        TlvField record;
        QCOMPARE(codec.take(buffer, record), TlvCodec::Partial);
        codec.drop();
        QVERIFY(!codec.inRecord());
        buffer += QByteArray::fromHex("4201ff");
        QCOMPARE(codec.take(buffer, record), TlvCodec::Complete);
        QCOMPARE(int(record.cmd), 0x42);
        QCOMPARE(record.data, QByteArray::fromHex("ff"));
        QCOMPARE(codec.take(buffer, record), TlvCodec::NeedMore);
    }

    // Any stream of records, cut anywhere, yields the same records in order.
    void randomSplitsRoundTrip()
    {
        QRandomGenerator random(20260101);
        for (int round = 0; round < 50; ++round) {
            QByteArrayList sent;
            QByteArray stream;
            const int count = random.bounded(1, 20);
            for (int i = 0; i < count; ++i) {
                QByteArray value(random.bounded(0, 256), Qt::Uninitialized);
                for (char &byte : value)
                    byte = char(random.bounded(256));
                sent.append(tlvEncode(TlvField(static_cast<unsigned char>(random.bounded(256)), value)));
                stream += sent.last();
            }
            Pieces pieces;
            for (int at = 0; at < stream.size();) {
                const int length = random.bounded(1, 40);
                pieces.append(stream.mid(at, length));
                at += length;
            }
            TlvCodec codec;
            QByteArray buffer;
            QCOMPARE(cutAll(pieces, codec, buffer), sent);
            QVERIFY(buffer.isEmpty());
            QVERIFY(!codec.inRecord());
        }
    }
};

QTEST_GUILESS_MAIN(TestTlvCodec)
#include "tst_tlvcodec.moc"
