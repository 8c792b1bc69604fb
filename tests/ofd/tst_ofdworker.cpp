// The exchange worker paired with a scripted register through queued connections, against loopback OFD servers.
#include "blackholeserver.h"
#include "fakeportworker.h"
#include "logcapture.h"
#include "loopbackserver.h"
#include "ofdworker.h"
#include "tlvcodec.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <functional>

namespace {

const QString LINK = QStringLiteral("t1");
const QString OFD_LOG = QStringLiteral("Ofd-t1");
const QString DEBUG_LOG = QStringLiteral("Debug-t1");

// Where settings.xml sends the logs; set up by main() before anything reads the settings.
QString g_logsDir;

QByteArray rec(int cmd, const QByteArray &value = QByteArray())
{
    return tlvEncode(TlvField(static_cast<unsigned char>(cmd), value));
}

QByteArray portValue(quint16 port)
{
    return QByteArray(1, char(port & 0xFF)) + char(port >> 8);
}

OfdWorker::Timing fastTiming()
{
    OfdWorker::Timing timing;
    timing.recordWaitMs = 300;
    timing.waitingSleepMs = 50;
    timing.tcp.connectTimeoutMs = 1000;
    timing.tcp.queueWaitMs = 2000;
    timing.tcp.queueWaitStepMs = 50;
    return timing;
}

// A register's link: an exchange worker and a scripted port worker, each on
// its own thread, wired the way the service pairs them.
class Link
{
public:
    explicit Link(const OfdWorker::Timing &timing = fastTiming())
        : port(new FakePortWorker(QStringLiteral("fake-t1")))
        , ofd(new OfdWorker(LINK, timing))
    {
        port->moveToThread(&portThread);
        ofd->moveToThread(&ofdThread);
        QObject::connect(&portThread, &QThread::started, port, &FakePortWorker::start);
        QObject::connect(&ofdThread, &QThread::started, ofd, &OfdWorker::start);
        QObject::connect(port, &FakePortWorker::finished, &portThread, &QThread::quit);
        QObject::connect(port, &FakePortWorker::finished, port, &QObject::deleteLater);
        QObject::connect(ofd, &OfdWorker::finished, &ofdThread, &QThread::quit);
        QObject::connect(ofd, &OfdWorker::finished, ofd, &QObject::deleteLater);

        QObject::connect(ofd, SIGNAL(sendData(QByteArray)), port, SLOT(onOfdDataReceived(QByteArray)));
        QObject::connect(port, SIGNAL(portDataReceived(QByteArray)), ofd, SLOT(onDataReceived(QByteArray)));
        QObject::connect(port, SIGNAL(finished()), ofd, SLOT(stop()));
        QObject::connect(ofd, SIGNAL(finished()), port, SLOT(stop()));
        QObject::connect(port, SIGNAL(portConnectionLost()), ofd, SLOT(pause()));
        QObject::connect(port, SIGNAL(portConnectionEstablished()), ofd, SLOT(unpause()));
        portThread.start();
        ofdThread.start();
    }

    // The register's line ends: both workers wind down and delete themselves.
    ~Link()
    {
        port->finish();
        if (!QTest::qWaitFor([&] { return portThread.isFinished() && ofdThread.isFinished(); }, 20000))
            qFatal("the worker pair did not wind down");
    }

    // Every record the service has sent to the register so far.
    QList<TlvField> sent()
    {
        m_unread += port->takeWritten();
        TlvField field;
        while (m_codec.take(m_unread, field) == TlvCodec::Complete)
            m_sent.append(field);
        return m_sent;
    }
    QList<TlvField> sent(int cmd)
    {
        QList<TlvField> result;
        for (const TlvField &field : sent()) {
            if (field.cmd == cmd)
                result.append(field);
        }
        return result;
    }
    bool waitForSent(int cmd, const QByteArray &value, int count = 1, int timeoutMs = 5000)
    {
        return QTest::qWaitFor([&] {
            int seen = 0;
            for (const TlvField &field : sent(cmd))
                seen += field.data == value;
            return seen >= count;
        }, timeoutMs);
    }
    bool waitForSentCount(int cmd, int count, int timeoutMs = 5000)
    {
        return QTest::qWaitFor([&] { return sent(cmd).size() >= count; }, timeoutMs);
    }

    // The link comes up and the register answers with version 2; done once
    // the worker answers a version request, which it only does when running.
    bool handshake()
    {
        port->linkUp();
        const int requests = sent(LNK_TLV_RX_REQUEST_VERSION).size();
        if (!waitForSentCount(LNK_TLV_RX_REQUEST_VERSION, requests + 1))
            return false;
        const int answers = sent(LNK_TLV_RX_RESPONSE_VERSION).size();
        port->feed(rec(0x40, "\x02") + rec(0x42));
        return waitForSentCount(LNK_TLV_RX_RESPONSE_VERSION, answers + 1);
    }

    // PORT and CONNECT for a channel; true once the register was told 0x01.
    bool connectChannel(int channel, quint16 serverPort, const QByteArray &host = "127.0.0.1")
    {
        const int ups = stateCount(channel, 1);
        port->feed(rec(0x60 + channel, portValue(serverPort)) + rec(0x70 + channel, host));
        return QTest::qWaitFor([&] { return stateCount(channel, 1) > ups; }, 5000);
    }
    // How often the register was told the channel's state (1 up, 0 down).
    int stateCount(int channel, char state)
    {
        int count = 0;
        for (const TlvField &field : sent(0x10 + channel))
            count += field.data == QByteArray(1, state);
        return count;
    }

    QThread portThread;
    QThread ofdThread;
    FakePortWorker *port;
    OfdWorker *ofd;

private:
    TlvCodec m_codec;
    QByteArray m_unread;
    QList<TlvField> m_sent;
};

// Sum of the byte counts of a logger's "tcp read: ... (N bytes)" lines.
int bytesRead(const LogCapture &log, const QString &logger)
{
    int total = 0;
    for (const QString &message : log.messages(logger)) {
        if (!message.startsWith(QLatin1String("tcp read: ")))
            continue;
        const int open = message.lastIndexOf(QLatin1Char('('));
        total += message.mid(open + 1).section(QLatin1Char(' '), 0, 0).toInt();
    }
    return total;
}

QByteArray dataOf(const QList<TlvField> &fields)
{
    QByteArray bytes;
    for (const TlvField &field : fields)
        bytes += field.data;
    return bytes;
}

} // namespace

class TestOfdWorker : public QObject
{
    Q_OBJECT
private slots:
    void handshake_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("refusal");  // empty: accepted
        QTest::newRow("version 0") << QByteArray("\x00", 1) << QString();
        QTest::newRow("version 1") << QByteArray("\x01") << QString();
        QTest::newRow("version 2, extra bytes ignored") << QByteArray("\x02\x07") << QString();
        QTest::newRow("version 3") << QByteArray("\x03") << "Invalid version - 3";
        QTest::newRow("version 200") << QByteArray("\xc8") << "Invalid version - 200";
        QTest::newRow("no version byte") << QByteArray() << "Invalid version";
    }
    void handshake()
    {
        QFETCH(QByteArray, answer);
        QFETCH(QString, refusal);
        LogCapture log;
        Link link;

        // Silent while the device link is down.
        QTest::qWait(200);
        QVERIFY(link.sent().isEmpty());

        link.port->linkUp();
        QVERIFY(link.waitForSentCount(LNK_TLV_RX_REQUEST_VERSION, 2));
        QCOMPARE(link.sent(LNK_TLV_RX_REQUEST_VERSION).first().data, QByteArray());
        link.port->feed(rec(0x40, answer));
        QVERIFY(log.waitFor(OFD_LOG, QStringLiteral("Command <-- LNK_TLV_TX_RESPONSE_VERSION")));
        link.port->feed(rec(0x42));
        QVERIFY(log.waitFor(OFD_LOG, QStringLiteral("Command <-- LNK_TLV_TX_REQUEST_VERSION")));
        const int requests = link.sent(LNK_TLV_RX_REQUEST_VERSION).size();

        if (refusal.isEmpty()) {
            QVERIFY(link.waitForSent(LNK_TLV_RX_RESPONSE_VERSION, "\x02"));
            QTest::qWait(200);
            QCOMPARE(link.sent(LNK_TLV_RX_REQUEST_VERSION).size(), requests);
            QVERIFY(!log.messages(OFD_LOG).join('\n').contains(QLatin1String("Invalid version")));
        } else {
            QVERIFY(log.contains(OFD_LOG, refusal));
            QVERIFY(log.contains(OFD_LOG, QStringLiteral("Command ignored, wait for version")));
            QVERIFY(link.waitForSentCount(LNK_TLV_RX_REQUEST_VERSION, requests + 2));
            QVERIFY(link.sent(LNK_TLV_RX_RESPONSE_VERSION).isEmpty());
        }
    }

    // While waiting for the version a PORT record changes nothing; the
    // register's log records still reach the debug log.
    void waitingForVersionIgnoresCommands()
    {
        LogCapture root(LogCapture::Root);
        LogCapture debug(LogCapture::Debug);
        LoopbackServer server;
        Link link;
        link.port->linkUp();
        QVERIFY(link.waitForSentCount(LNK_TLV_RX_REQUEST_VERSION, 1));
        link.port->feed(rec(0x60, portValue(server.port())) + rec(0xA0, "\x05\x1f"));
        QVERIFY(debug.waitFor(DEBUG_LOG, QStringLiteral("Ошибка в процессе обмена с ФН [1F]")));
        QCOMPARE(root.messages(OFD_LOG).count(QStringLiteral("Command ignored, wait for version")), 2);

        QVERIFY(link.handshake());
        link.port->feed(rec(0x70, "127.0.0.1"));
        QVERIFY(root.waitFor(OFD_LOG, QStringLiteral("Connect to 127.0.0.1:0")));
        QVERIFY(link.waitForSent(LNK_TLV_RX_CONNECT_STATE0, QByteArray(1, '\0')));
        QCOMPARE(server.connectionCount(), 0);
    }

    void registerLog_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("kind 1") << QByteArray("\x01\xaa\xbb")
                                << QStringList{"01 AA BB (3 bytes)", "Начало передачи сообщения в ФН: [AA BB (2 bytes)]"};
        QTest::newRow("kind 2") << QByteArray("\x02\xaa\xbb")
                                << QStringList{"02 AA BB (3 bytes)", "Продолжение передачи сообщения в ФН: [AA BB (2 bytes)]"};
        QTest::newRow("kind 3") << QByteArray("\x03\x10")
                                << QStringList{"03 10 (2 bytes)", "Начало приема сообщения от ФН: [10 (1 bytes)]"};
        QTest::newRow("kind 4, no payload") << QByteArray("\x04")
                                << QStringList{"04 (1 bytes)", "Продолжение приема сообщения от ФН: [ (0 bytes)]"};
        QTest::newRow("kind 5 with code") << QByteArray("\x05\x1f\x00", 3)
                                << QStringList{"05 1F 00 (3 bytes)", "Ошибка в процессе обмена с ФН [1F]"};
        QTest::newRow("kind 5 small code") << QByteArray("\x05\x0a")
                                << QStringList{"05 0A (2 bytes)", "Ошибка в процессе обмена с ФН [0A]"};
        QTest::newRow("kind 5 alone") << QByteArray("\x05")
                                << QStringList{"05 (1 bytes)", "Неизвестная ошибка в процессе обмена с ФН"};
        QTest::newRow("kind 0") << QByteArray("\x00\x01", 2) << QStringList{"00 01 (2 bytes)"};
        QTest::newRow("kind 6") << QByteArray("\x06") << QStringList{"06 (1 bytes)"};
        QTest::newRow("empty") << QByteArray() << QStringList{" (0 bytes)"};
    }
    // The register's log goes to Debug.log only, never to the main log.
    void registerLog()
    {
        QFETCH(QByteArray, value);
        QFETCH(QStringList, lines);
        LogCapture root(LogCapture::Root);
        LogCapture debug(LogCapture::Debug);
        Link link;
        QVERIFY(link.handshake());
        // The version answer goes behind it, so its handling marks the end.
        link.port->feed(rec(0xA0, value) + rec(0x42));
        QVERIFY(link.waitForSentCount(LNK_TLV_RX_RESPONSE_VERSION, 2));
        QCOMPARE(debug.messages(DEBUG_LOG), lines);
        QVERIFY(root.messages(DEBUG_LOG).isEmpty());
        QVERIFY(root.contains(OFD_LOG, QStringLiteral("Command <-- LNK_TLV_TX_LOG")));

        QFile file(g_logsDir + QStringLiteral("/Debug.log"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(file.readAll());
        QVERIFY(text.contains(QStringLiteral("[Debug-t1] ") + lines.last()));
        QFile mainLog(g_logsDir + QStringLiteral("/Pob.log"));
        QVERIFY(!mainLog.exists() || !QString::fromUtf8(mainLog.readAll()).contains(QLatin1String("[Debug-")));
    }

    void relayBothChannels()
    {
        LogCapture log;
        LoopbackServer server0;
        LoopbackServer server1;
        {
            Link link;
            QVERIFY(link.handshake());
            QVERIFY(link.connectChannel(0, server0.port()));
            // The host text ends at the first zero byte.
            QVERIFY(link.connectChannel(1, server1.port(), QByteArray("127.0.0.1\0junk", 14)));
            QVERIFY(log.contains(OFD_LOG, QStringLiteral("Connect to 127.0.0.1:%1").arg(server0.port())));
            QVERIFY(log.contains(OFD_LOG, QStringLiteral("Connect to 127.0.0.1:%1").arg(server1.port())));
            QVERIFY(server0.waitForConnections(1));
            QVERIFY(server1.waitForConnections(1));

            link.port->feed(rec(0x90, "abc") + rec(0x91, "xyz"));
            link.port->feed(rec(0x90, QByteArray("\x00\xff", 2)) + rec(0x91, "!"));
            QVERIFY(server0.waitForReceived(5));
            QVERIFY(server1.waitForReceived(4));
            QCOMPARE(server0.received(), QByteArray("abc\x00\xff", 5));
            QCOMPARE(server1.received(), QByteArray("xyz!"));

            QVERIFY(server0.send("hello"));
            QVERIFY(server1.send(QByteArray("w\x00rld", 5)));
            QVERIFY(QTest::qWaitFor([&] {
                return bytesRead(log, QStringLiteral("TCP0-t1")) == 5 && bytesRead(log, QStringLiteral("TCP1-t1")) == 5;
            }, 5000));
            link.port->feed(rec(0x50, "\xff") + rec(0x51, "\x05"));
            QVERIFY(link.waitForSentCount(LNK_TLV_RX_DATA0, 1));
            QVERIFY(link.waitForSentCount(LNK_TLV_RX_DATA1, 1));
            QCOMPARE(link.sent(LNK_TLV_RX_DATA0).first().data, QByteArray("hello"));
            QCOMPARE(link.sent(LNK_TLV_RX_DATA1).first().data, QByteArray("w\x00rld", 5));
        }
        // The exchange worker's end closed both connections.
        QVERIFY(server0.waitForClosed());
        QVERIFY(server1.waitForClosed());
    }

    // The register paces the server's data with one-shot grants.
    void pacingByGrants()
    {
        LogCapture log;
        LoopbackServer server;
        Link link;
        QVERIFY(link.handshake());
        // Two grants in a row before any data: only the second one stands.
        link.port->feed(rec(0x50, "\x03") + rec(0x50, "\x0a"));
        QVERIFY(link.connectChannel(0, server.port()));
        QVERIFY(server.waitForConnections(1));
        const QByteArray payload = "0123456789abcdefghijklmno";
        QVERIFY(server.send(payload));
        QVERIFY(link.waitForSentCount(LNK_TLV_RX_DATA0, 1));
        QVERIFY(QTest::qWaitFor([&] { return bytesRead(log, QStringLiteral("TCP0-t1")) == 25; }, 5000));
        QTest::qWait(100);
        QCOMPARE(link.sent(LNK_TLV_RX_DATA0).size(), 1);
        QCOMPARE(link.sent(LNK_TLV_RX_DATA0).first().data, payload.left(10));

        link.port->feed(rec(0x50, "\x0a"));
        QVERIFY(link.waitForSentCount(LNK_TLV_RX_DATA0, 2));
        link.port->feed(rec(0x50, "\x0a"));
        QVERIFY(link.waitForSentCount(LNK_TLV_RX_DATA0, 3));
        const QList<TlvField> data = link.sent(LNK_TLV_RX_DATA0);
        QCOMPARE(data.at(1).data, payload.mid(10, 10));
        QCOMPARE(data.at(2).data, payload.mid(20));
        // A zero grant hands nothing over.
        QVERIFY(server.send("late"));
        link.port->feed(rec(0x50, QByteArray(1, '\0')));
        QVERIFY(QTest::qWaitFor([&] { return bytesRead(log, QStringLiteral("TCP0-t1")) == 29; }, 5000));
        QTest::qWait(100);
        QCOMPARE(link.sent(LNK_TLV_RX_DATA0).size(), 3);
    }

    // The lost state follows the last byte of the connection; data for the
    // lost channel is dropped until the register connects again.
    void lostChannelReportedAfterItsData()
    {
        LogCapture log;
        LoopbackServer server;
        Link link;
        QVERIFY(link.handshake());
        QVERIFY(link.connectChannel(1, server.port()));
        QVERIFY(server.waitForConnections(1));
        const QByteArray payload(30, 'q');
        QVERIFY(server.send(payload));
        QVERIFY(QTest::qWaitFor([&] { return bytesRead(log, QStringLiteral("TCP1-t1")) == 30; }, 5000));
        server.closeConnection();
        QVERIFY(log.waitFor(QStringLiteral("TCP1-t1"), QStringLiteral("connection lost")));

        link.port->feed(rec(0x91, "dropped"));
        QVERIFY(log.waitFor(OFD_LOG, QStringLiteral("No write, connection lost")));
        link.port->feed(rec(0x51, "\x14"));
        QVERIFY(link.waitForSentCount(LNK_TLV_RX_DATA1, 1));
        QTest::qWait(100);
        QCOMPARE(link.stateCount(1, 0), 0);
        link.port->feed(rec(0x51, "\x14"));
        QVERIFY(link.waitForSentCount(LNK_TLV_RX_DATA1, 2));
        QVERIFY(link.waitForSent(LNK_TLV_RX_CONNECT_STATE1, QByteArray(1, '\0')));
        QCOMPARE(dataOf(link.sent(LNK_TLV_RX_DATA1)), payload);
        // The state record comes after the last data record.
        const QList<TlvField> all = link.sent();
        int lastData = -1;
        int down = -1;
        for (int i = 0; i < all.size(); ++i) {
            if (all.at(i).cmd == LNK_TLV_RX_DATA1)
                lastData = i;
            if (all.at(i).cmd == LNK_TLV_RX_CONNECT_STATE1 && all.at(i).data == QByteArray(1, '\0'))
                down = i;
        }
        QVERIFY(lastData < down);
        QCOMPARE(link.stateCount(1, 0), 1);

        // A new CONNECT opens the channel again and data flows.
        QVERIFY(link.connectChannel(1, server.port()));
        QVERIFY(server.waitForConnections(2));
        link.port->feed(rec(0x91, "again"));
        QVERIFY(server.waitForReceived(5, 1));
        QCOMPARE(server.received(1), QByteArray("again"));
        QVERIFY(server.received(0).isEmpty());
    }

    // A lost device link ends the connections and forgets what was in
    // flight; once it is back, the version is asked for again.
    void pauseDropsStaleBytesAndRepeatsHandshake()
    {
        LogCapture log;
        LoopbackServer server;
        OfdWorker::Timing timing = fastTiming();
        timing.recordWaitMs = 5000;
        Link link(timing);
        QVERIFY(link.handshake());
        QVERIFY(link.connectChannel(0, server.port()));
        QVERIFY(server.waitForConnections(1));
        const int requests = link.sent(LNK_TLV_RX_REQUEST_VERSION).size();

        // A record begun before the loss, bytes that arrive while it is down.
        link.port->feed(QByteArray::fromHex("9005ab"));
        link.port->linkDown();
        link.port->feed(rec(0x40, "\x02") + rec(0x90, "stale"));
        QVERIFY(server.waitForClosed());
        link.port->linkUp();
        QVERIFY(log.waitFor(OFD_LOG, QStringLiteral("continue")));

        QVERIFY(link.waitForSentCount(LNK_TLV_RX_REQUEST_VERSION, requests + 2));
        // Channel 0 was connected: it is reported down once the link is back.
        QVERIFY(link.waitForSent(LNK_TLV_RX_CONNECT_STATE0, QByteArray(1, '\0')));
        link.port->feed(rec(0x40, "\x02") + rec(0x42));
        QVERIFY(link.waitForSentCount(LNK_TLV_RX_RESPONSE_VERSION, 2));
        QVERIFY(server.received().isEmpty());
        QVERIFY(!log.contains(OFD_LOG, QStringLiteral("Command <-- LNK_TLV_TX_DATA0")));
        QVERIFY(!log.messages(OFD_LOG).join('\n').contains(QLatin1String(" != ")));
    }

    // A value that does not arrive in time is dropped; the byte after it is
    // read as a command code. One that arrives in time is taken whole.
    void splitRecords()
    {
        LogCapture root(LogCapture::Root);
        LogCapture debug(LogCapture::Debug);
        Link link;
        QVERIFY(link.handshake());
        link.port->feed(QByteArray::fromHex("a002"));
        QTest::qWait(50);
        link.port->feed(QByteArray::fromHex("051f"));
        QVERIFY(debug.waitFor(DEBUG_LOG, QStringLiteral("Ошибка в процессе обмена с ФН [1F]")));

        link.port->feed(QByteArray::fromHex("900a010203"));
        QVERIFY(root.waitFor(OFD_LOG, QStringLiteral("3 != 10")));
        link.port->feed(rec(0x42));
        QVERIFY(link.waitForSentCount(LNK_TLV_RX_RESPONSE_VERSION, 2));
        QVERIFY(!root.contains(OFD_LOG, QStringLiteral("Command <-- LNK_TLV_TX_DATA0")));
    }

    // Records that make no sense, short values and unknown codes, then a
    // truncated one: the worker survives and still answers.
    void garbageNeitherCrashesNorHangs()
    {
        LogCapture log;
        Link link;
        QVERIFY(link.handshake());
        // No CONNECT codes: the worker would look the garbage up as host names.
        const QList<int> codes = {0x00, 0x01, 0x10, 0x20, 0x30, 0x40, 0x41, 0x50, 0x51, 0x60, 0x61,
                                  0x80, 0x81, 0x90, 0x91, 0xA0, 0xFE, 0xFF};
        QRandomGenerator random(4782);
        QByteArray garbage;
        for (int i = 0; i < 300; ++i) {
            QByteArray value(random.bounded(0, 4), Qt::Uninitialized);
            for (char &byte : value)
                byte = char(random.bounded(256));
            garbage += rec(codes.at(random.bounded(codes.size())), value);
        }
        garbage += QByteArray::fromHex("a0ff0102");
        for (int at = 0; at < garbage.size(); at += 37)
            link.port->feed(garbage.mid(at, 37));
        QVERIFY(log.waitFor(OFD_LOG, QStringLiteral("2 != 255")));
        link.port->feed(rec(0x42));
        QVERIFY(link.waitForSentCount(LNK_TLV_RX_RESPONSE_VERSION, 2));
    }

    void close_data()
    {
        QTest::addColumn<int>("channel");
        QTest::newRow("channel 0") << 0;
        QTest::newRow("channel 1") << 1;
    }
    // CLOSE while the first of two addresses is being tried: the second is not tried.
    void close()
    {
        QFETCH(int, channel);
        BlackHoleServer blackHole;
        QVERIFY(blackHole.isValid());
        LogCapture log;
        OfdWorker::Timing timing = fastTiming();
        timing.tcp.lookup = [](const QString &) {
            QHostInfo info;
            info.setAddresses({QHostAddress(QHostAddress::LocalHost), QHostAddress(QHostAddress::LocalHostIPv6)});
            return info;
        };
        Link link(timing);
        QVERIFY(link.handshake());
        const QString tcpLog = QStringLiteral("TCP%1-t1").arg(channel);
        link.port->feed(rec(0x60 + channel, portValue(blackHole.port())) + rec(0x70 + channel, "ofd.test"));
        QVERIFY(log.waitFor(tcpLog, QStringLiteral("Found address: 127.0.0.1")));
        link.port->feed(rec(0x80 + channel));
        QVERIFY(link.waitForSent(0x10 + channel, QByteArray(1, '\0')));
        QCOMPARE(log.messages(tcpLog), (QStringList{
            QStringLiteral("Found address: 127.0.0.1"), QStringLiteral("Connect to 127.0.0.1 failed"),
            QStringLiteral("Connection canceled")}));
    }

    // CLOSE and a new CONNECT in one delivery: the closed connection's late
    // report must not end the new one.
    void closeThenConnectAtOnce()
    {
        LogCapture log;
        LoopbackServer server;
        Link link;
        QVERIFY(link.handshake());
        QVERIFY(link.connectChannel(0, server.port()));
        QVERIFY(server.waitForConnections(1));
        link.port->feed(rec(0x80) + rec(0x70, "127.0.0.1"));
        QVERIFY(server.waitForConnections(2));
        QVERIFY(server.waitForClosed(0));
        QVERIFY(QTest::qWaitFor([&] { return link.stateCount(0, 1) == 2; }, 5000));
        link.port->feed(rec(0x90, "fresh"));
        QVERIFY(server.waitForReceived(5, 1));
        QCOMPARE(server.received(1), QByteArray("fresh"));
        QVERIFY(!server.isClosed(1));
        QVERIFY(!log.contains(OFD_LOG, QStringLiteral("No write, connection lost")));
    }

    // A PORT record too short to hold a port changes nothing.
    void shortPortRecordIgnored()
    {
        LogCapture log;
        LoopbackServer server;
        Link link;
        QVERIFY(link.handshake());
        link.port->feed(rec(0x61, portValue(server.port())) + rec(0x61, "\x05"));
        link.port->feed(rec(0x71, "127.0.0.1"));
        QVERIFY(link.waitForSent(LNK_TLV_RX_CONNECT_STATE1, "\x01"));
        QVERIFY(log.contains(OFD_LOG, QStringLiteral("Port ignored, too short: 05 (1 bytes)")));
        QVERIFY(log.contains(OFD_LOG, QStringLiteral("Connect to 127.0.0.1:%1").arg(server.port())));
    }

    // After five minutes (here: a fraction of a second) without a record, the version is asked again.
    void silentRegisterIsAskedAgain()
    {
        OfdWorker::Timing timing = fastTiming();
        timing.versionRequestMs = 300;
        Link link(timing);
        QVERIFY(link.handshake());
        const int requests = link.sent(LNK_TLV_RX_REQUEST_VERSION).size();
        QVERIFY(link.waitForSentCount(LNK_TLV_RX_REQUEST_VERSION, requests + 2));
        // The answer is taken, and ignored: the worker keeps running.
        link.port->feed(rec(0x40, "\x02") + rec(0x42));
        QVERIFY(link.waitForSentCount(LNK_TLV_RX_RESPONSE_VERSION, 2));
    }
};

// The exchange worker reads the log directory from settings.xml. A private
// home directory holds one, so that Debug.log lands in a known place.
int main(int argc, char *argv[])
{
    QTemporaryDir home;
    if (!home.isValid())
        qFatal("no temporary directory");
    g_logsDir = home.filePath(QStringLiteral("logs"));
    QDir().mkpath(home.filePath(QStringLiteral(".korvel/Pob")));
    QFile settings(home.filePath(QStringLiteral(".korvel/Pob/settings.xml")));
    if (!settings.open(QIODevice::WriteOnly))
        qFatal("cannot write settings.xml");
    settings.write("<settings><logs><dir>" + g_logsDir.toUtf8() + "</dir></logs></settings>\n");
    settings.close();
    qputenv("HOME", QFile::encodeName(home.path()));

    QCoreApplication app(argc, argv);
    TestOfdWorker test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_ofdworker.moc"
