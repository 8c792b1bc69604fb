// The protocol-3 serial proxy between a simulated cash-register program and a simulated register.
#include "comproxykorvel3.h"
#include "korvel3codec.h"
#include "korvel3devparser.h"
#include "logcapture.h"
#include "ptypair.h"

#include <QDeadlineTimer>
#include <QMutex>
#include <QSerialPort>
#include <QTest>
#include <QThread>

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

QString hexText(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

// Short durations; long poll and watchdog so that they stay out of the way
// unless a test is about them.
ComProxyKorvel3::Timing testTiming()
{
    ComProxyKorvel3::Timing timing;
    timing.settleMs = 30;
    timing.waitTaskPollMs = 600000;
    timing.watchdogMs = 600000;
    timing.reopenDelayMs = 50;
    timing.loopDelayMs = 10;
    return timing;
}

struct Packet
{
    QByteArray raw;
    Korvel3Codec::PacketInfo info;
};

// One end of a serial line played by the test: the register behind the
// proxy's dev port, or the software behind its app port. Packets the proxy
// writes are decoded with the unstuffing parser, whoever they came from.
class LineEnd
{
public:
    PtyPair pty;

    QString name() const { return pty.slaveName(); }

    void send(quint8 id, const QByteArray &payload) { pty.write(Korvel3Codec::packWithId(id, payload)); }

    // The next packet the proxy writes on this line (processing the test
    // thread's events while waiting); false when none came in time.
    bool next(Packet &packet, int timeoutMs = 5000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (m_queue.isEmpty() && !deadline.hasExpired()) {
            for (const char c : pty.read(20, 5)) {
                if (m_parser.putByte(quint8(c)) == Korvel3Parser::Complete) {
                    m_queue.append(Packet {m_parser.raw(), m_parser.packet()});
                    m_parser.clear();
                }
            }
        }
        if (m_queue.isEmpty())
            return false;
        packet = m_queue.takeFirst();
        return true;
    }

    // Payloads of the next n packets as hex text ("C2 E5"); a packet whose
    // checksum is wrong shows as "bad checksum".
    QStringList payloads(int n, QList<Packet> *packets = nullptr)
    {
        QStringList result;
        for (int i = 0; i < n; ++i) {
            Packet packet;
            if (!next(packet))
                break;
            const bool crcOk = packet.info.crc
                               == QByteArray(1, char(Korvel3Codec::calcCRC(char(packet.info.id) + packet.info.data)));
            result << (crcOk ? hexText(packet.info.data) : QStringLiteral("bad checksum"));
            if (packets)
                packets->append(packet);
        }
        return result;
    }

private:
    Korvel3DevParser m_parser;
    QList<Packet> m_queue;
};

const QStringList SEVEN_ACKS {"C2 E0", "C2 E1", "C2 E2", "C2 E3", "C2 E4", "C2 E5", "C2 E6"};

} // namespace

// The proxy on a thread of its own, wired the way the service wires it; its
// signals are recorded in order on the test thread.
class ProxyRun : public QObject
{
    Q_OBJECT
public:
    ProxyRun(LineEnd &app, LineEnd &dev, const ComProxyKorvel3::Timing &timing = testTiming())
    {
        SarnSettings settings;
        settings.id = QStringLiteral("t3");
        settings.appPortName = app.name();
        settings.appBaudRate = 9600;
        settings.devPortName = dev.name();
        settings.devBaudRate = 115200;
        proxy = new ComProxyKorvel3(settings, timing);
        proxy->moveToThread(&thread);
        connect(&thread, &QThread::started, proxy, &ComProxyKorvel3::start);
        connect(proxy, &ComProxyKorvel3::finished, &thread, &QThread::quit, Qt::DirectConnection);
        connect(proxy, &ComProxyKorvel3::finished, this, [this] { events << QStringLiteral("finished"); });
        connect(proxy, &ComProxyKorvel3::portConnectionLost, this, [this] { events << QStringLiteral("lost"); });
        connect(proxy, &ComProxyKorvel3::portConnectionEstablished, this,
                [this] { events << QStringLiteral("established"); });
        connect(proxy, &ComProxyKorvel3::portDataReceived, this,
                [this](const QByteArray &data) { events << QStringLiteral("data ") + hexText(data); });
        thread.start();
    }
    ~ProxyRun() override
    {
        proxy->stop();
        thread.wait(10000);
        delete proxy;
    }

    // Waits until the software's port has been opened too.
    bool waitForAppPort(const LogCapture &log, const LineEnd &app)
    {
        return log.waitFor(LOGGER, QStringLiteral("Open %1...").arg(app.name()))
               && QTest::qWaitFor([&] { return log.messages(LOGGER).count(QStringLiteral("OK")) >= 2; }, 5000);
    }

    static inline const QString LOGGER = QStringLiteral("ComProxy3-t3");
    ComProxyKorvel3 *proxy = nullptr;
    QThread thread;
    QStringList events;
};

class TestComProxyKorvel3 : public QObject
{
    Q_OBJECT

    // Reads the greeting that follows every opening of the register's port
    // and returns its packets; the transport ids run through the shared
    // 0xE0..0xE4 sequence without a gap.
    QList<Packet> readGreeting(LineEnd &dev, const QStringList &waitTask)
    {
        QList<Packet> packets;
        const QStringList expected = SEVEN_ACKS + QStringList {"C4"} + waitTask;
        [&] { QCOMPARE(dev.payloads(int(expected.size()), &packets), expected); }();
        for (int i = 1; i < packets.size(); ++i) {
            const int previous = packets.at(i - 1).info.id;
            [&] { QCOMPARE(int(packets.at(i).info.id), previous == 0xE4 ? 0xE0 : previous + 1); }();
        }
        return packets;
    }

    // Starts a proxy between two fresh lines and reads its first greeting.
    struct Setup
    {
        LineEnd app;
        LineEnd dev;
        LogCapture log;
        std::unique_ptr<ProxyRun> run;
        quint8 abortId = 0;
    };
    bool startProxy(Setup &s, const ComProxyKorvel3::Timing &timing = testTiming())
    {
        s.run = std::make_unique<ProxyRun>(s.app, s.dev, timing);
        const QList<Packet> greeting = readGreeting(s.dev, {"C1 05 E5"});
        if (QTest::currentTestFailed() || greeting.size() != 9)
            return false;
        s.abortId = greeting.at(7).info.id;
        return s.run->waitForAppPort(s.log, s.app);
    }

private slots:
    void initTestCase()
    {
        // The error slots are invoked by name across threads.
        qRegisterMetaType<QSerialPort::SerialPortError>();
    }

    // A silent register: opened, greeted (seven Acks, Abort, the first wait
    // task), declared lost by the watchdog, reopened and greeted again with
    // the other wait task.
    void silentRegisterIsGreetedAndReopenedByWatchdog()
    {
        ComProxyKorvel3::Timing timing = testTiming();
        timing.watchdogMs = 400;
        Setup s;
        QVERIFY(startProxy(s, timing));
        const QStringList lines = s.log.messages(ProxyRun::LOGGER);
        QCOMPARE(lines.mid(0, 2), (QStringList {QStringLiteral("Open %1...").arg(s.dev.name()), "OK"}));

        readGreeting(s.dev, {"C2 E5", "C1 05 E6"});
        QCOMPARE(s.run->events, QStringList {"lost"});
        QCOMPARE(s.log.messages(ProxyRun::LOGGER).count(QStringLiteral("Open %1...").arg(s.dev.name())), 2);
    }

    // Every read from the register restarts the watchdog: a register that
    // keeps talking is never declared lost.
    void registerTrafficKeepsTheWatchdogQuiet()
    {
        ComProxyKorvel3::Timing timing = testTiming();
        timing.watchdogMs = 300;
        Setup s;
        QVERIFY(startProxy(s, timing));
        const QByteArray reply = Korvel3Codec::packWithId(0x12, hex("01"));
        for (int i = 0; i < 8; ++i) {
            QVERIFY(s.dev.pty.write(reply));
            QCOMPARE(hexText(s.app.pty.readExactly(int(reply.size()), 5000)), hexText(reply));
            // The register's pace: well inside the watchdog interval.
            QTest::qWait(100);
        }
        QCOMPARE(s.run->events, QStringList {"established"});
        QCOMPARE(s.log.messages(ProxyRun::LOGGER).count(QStringLiteral("Open %1...").arg(s.dev.name())), 1);
    }

    void forwarding_data()
    {
        QTest::addColumn<bool>("fromSoftware");
        QTest::addColumn<QList<QByteArray>>("chunks");
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<QString>("logLine");
        const QByteArray request = Korvel3Codec::packWithId(0x12, hex("010203"));
        const QByteArray stuffed = Korvel3Codec::packWithId(0x12, hex("FEFD"));
        const QByteArray reply = Korvel3Codec::packWithId(0x12, hex("0102"));
        const QByteArray other = Korvel3Codec::packWithId(0x13, hex("04"));
        const QByteArray async = Korvel3Codec::packWithId(0xF0, hex("A60155"));

        QTest::newRow("software packet to register unchanged")
            << true << QList<QByteArray> {request} << request
            << QStringLiteral("--> id = 12, data = [01 02 03 (3 bytes)], crc = %1 (1 bytes)").arg(hexText(request.right(1)));
        QTest::newRow("partial software packet held until complete")
            << true << QList<QByteArray> {request.left(5), request.mid(5)} << request << QString();
        QTest::newRow("software packet keeps its stuffing")
            << true << QList<QByteArray> {stuffed} << stuffed
            << QStringLiteral("--> id = 12, data = [FD EE FD ED (4 bytes)], crc = %1 (1 bytes)").arg(hexText(stuffed.right(1)));
        QTest::newRow("garbage from software dropped")
            << true << QList<QByteArray> {hex("0055") + request + hex("77") + other} << request + other << QString();
        QTest::newRow("software packet with empty payload")
            << true << QList<QByteArray> {Korvel3Codec::packWithId(0x14, {})} << Korvel3Codec::packWithId(0x14, {})
            << QString();

        QTest::newRow("register reply to software unchanged")
            << false << QList<QByteArray> {reply} << reply
            << QStringLiteral("<-- id = 12, data = [01 02 (2 bytes)], crc = %1 (1 bytes)").arg(hexText(reply.right(1)));
        QTest::newRow("partial register packet held until complete")
            << false << QList<QByteArray> {reply.left(3), reply.mid(3)} << reply << QString();
        QTest::newRow("register stuffing undone only in the log")
            << false << QList<QByteArray> {stuffed} << stuffed
            << QStringLiteral("<-- id = 12, data = [FE FD (2 bytes)], crc = %1 (1 bytes)").arg(hexText(stuffed.right(1)));
        QTest::newRow("asynchronous packet without OFD data to software")
            << false << QList<QByteArray> {async} << async << QString();
        QTest::newRow("asynchronous packets too short to test go to software")
            << false
            << QList<QByteArray> {Korvel3Codec::packWithId(0xF0, hex("A601")) + Korvel3Codec::packWithId(0xF0, hex("A3"))}
            << Korvel3Codec::packWithId(0xF0, hex("A601")) + Korvel3Codec::packWithId(0xF0, hex("A3")) << QString();
        QTest::newRow("garbage and escape flood from register dropped")
            << false << QList<QByteArray> {hex("01") + reply + hex("FE020012FDFDFDFDFD") + other} << reply + other
            << QString();
    }
    // Complete packets cross byte for byte; a partial one waits for the rest.
    void forwarding()
    {
        QFETCH(bool, fromSoftware);
        QFETCH(QList<QByteArray>, chunks);
        QFETCH(QByteArray, expected);
        QFETCH(QString, logLine);
        Setup s;
        QVERIFY(startProxy(s));
        LineEnd &from = fromSoftware ? s.app : s.dev;
        LineEnd &to = fromSoftware ? s.dev : s.app;
        for (int i = 0; i < chunks.size(); ++i) {
            QVERIFY(from.pty.write(chunks.at(i)));
            // An observation window: nothing may cross before the packet is complete.
            if (i + 1 < chunks.size())
                QCOMPARE(hexText(to.pty.read(150)), QString());
        }
        QCOMPARE(hexText(to.pty.readExactly(int(expected.size()), 5000)), hexText(expected));
        if (!logLine.isEmpty())
            QVERIFY2(s.log.waitFor(ProxyRun::LOGGER, logLine), qPrintable(s.log.messages(ProxyRun::LOGGER).join('\n')));
        // The first bytes from the register, and only they, say the link is up.
        QTRY_COMPARE(s.run->events, fromSoftware ? QStringList() : QStringList {"established"});
    }

    // OFD traffic arrives in the register's asynchronous packets; each
    // delivery is passed on and answered with an Ack of the current wait task
    // and an Add of the other one.
    void ofdDeliveriesRenewTheWaitTask()
    {
        Setup s;
        QVERIFY(startProxy(s));
        struct Delivery
        {
            QByteArray payload;
            QString event;
            QStringList renewal;
        };
        const QList<Delivery> deliveries {
            {hex("A607DA0102"), "data 01 02", {"C2 E5", "C1 05 E6"}},
            {hex("A3DAFE03"), "data FE 03", {"C2 E6", "C1 05 E5"}},
            {hex("A600DA"), "data ", {"C2 E5", "C1 05 E6"}},
        };
        QStringList expectedEvents {"established"};
        for (const Delivery &delivery : deliveries) {
            s.dev.send(0xF0, delivery.payload);
            QCOMPARE(s.dev.payloads(2), delivery.renewal);
            expectedEvents << delivery.event;
            QTRY_COMPARE(s.run->events, expectedEvents);
        }
        QVERIFY(s.log.contains(ProxyRun::LOGGER, QStringLiteral("<o- id = F0, data = [A3 DA FE 03 (4 bytes)], crc = %1 (1 bytes)")
                                                     .arg(hexText(QByteArray(1, char(Korvel3Codec::calcCRC(hex("F0A3DAFE03"))))))));
        QCOMPARE(hexText(s.app.pty.read(100)), QString());
    }

    // The OFD server's answer goes to the register as a data task: flag 0x00,
    // a task id from the shared sequence, the command prefix, then 0xDA.
    void ofdAnswerIsSentAsDataTask()
    {
        Setup s;
        QVERIFY(startProxy(s));
        QMetaObject::invokeMethod(s.run->proxy, "onOfdDataReceived", Q_ARG(QByteArray, hex("0102")));
        QMetaObject::invokeMethod(s.run->proxy, "onOfdDataReceived", Q_ARG(QByteArray, hex("FE")));
        QList<Packet> packets;
        const QStringList payloads = s.dev.payloads(2, &packets);
        QCOMPARE(payloads.size(), 2);
        const quint8 task = quint8(packets.at(0).info.data.at(2));
        QVERIFY(task >= 0xE0 && task <= 0xE4);
        const quint8 nextTask = task == 0xE4 ? 0xE0 : task + 1;
        QCOMPARE(payloads, (QStringList {QStringLiteral("C1 00 %1 00 00 DA 01 02").arg(task, 2, 16).toUpper(),
                                         QStringLiteral("C1 00 %1 00 00 DA FE").arg(nextTask, 2, 16).toUpper()}));
    }

    // The register drops its tasks on the software's Abort: the proxy
    // acknowledges its own before it and sets up its wait task after it.
    void softwareAbortIsWrappedInHousekeeping()
    {
        Setup s;
        QVERIFY(startProxy(s));
        const QByteArray abort = Korvel3Codec::packWithId(0x15, hex("C4"));
        QVERIFY(s.app.pty.write(abort));
        QList<Packet> packets;
        QCOMPARE(s.dev.payloads(10, &packets), SEVEN_ACKS + QStringList({"C4", "C2 E5", "C1 05 E6"}));
        QCOMPARE(hexText(packets.at(7).raw), hexText(abort));
    }

    void repliesToOwnPackets_data()
    {
        QTest::addColumn<QString>("answers");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<bool>("newWaitTask");
        QTest::addColumn<QStringList>("events");
        QTest::newRow("A3 to the Abort starts a new wait task") << "abort" << hex("A3") << true << QStringList();
        QTest::newRow("other answer to the Abort only logged") << "abort" << hex("00") << false << QStringList();
        QTest::newRow("B3 to the Req re-establishes the link")
            << "req" << hex("B301") << true << QStringList {"lost", "established"};
        QTest::newRow("other answer to the Req only logged") << "req" << hex("A3") << false << QStringList();
        QTest::newRow("own id matching nothing only logged") << "nothing" << hex("A3") << false << QStringList();
        QTest::newRow("empty answer to the Abort only logged") << "abort" << QByteArray() << false << QStringList();
    }
    // Replies are matched by transport id; each outstanding id is used once,
    // so the same reply again changes nothing.
    void repliesToOwnPackets()
    {
        QFETCH(QString, answers);
        QFETCH(QByteArray, payload);
        QFETCH(bool, newWaitTask);
        QFETCH(QStringList, events);
        Setup s;
        QVERIFY(startProxy(s));
        quint8 id = s.abortId;
        if (answers == "req") {
            QMetaObject::invokeMethod(s.run->proxy, "updateAsyncRequest");
            QList<Packet> req;
            QCOMPARE(s.dev.payloads(1, &req), QStringList {"C3 E5"});
            QVERIFY(s.log.contains(ProxyRun::LOGGER, "reinit async on timer"));
            id = req.at(0).info.id;
        } else if (answers == "nothing") {
            id = s.abortId == 0xE3 ? 0xE4 : 0xE3;
        }
        const QString logLine = QStringLiteral("<o- ")
                                + Korvel3Codec::packetToString([&] {
                                      Korvel3Codec::PacketInfo info;
                                      Korvel3Codec::packWithId(id, payload, &info);
                                      return info;
                                  }());
        for (int round = 0; round < 2; ++round) {
            s.dev.send(id, payload);
            QTRY_COMPARE(s.log.messages(ProxyRun::LOGGER).count(logLine), round + 1);
            // A data task as a marker: whatever the reply set off is on the line before it.
            QMetaObject::invokeMethod(s.run->proxy, "onOfdDataReceived", Q_ARG(QByteArray, hex("77")));
            QStringList expected;
            if (newWaitTask && round == 0)
                expected << "C2 E5" << "C1 05 E6";
            const QStringList got = s.dev.payloads(int(expected.size()) + 1);
            QCOMPARE(got.mid(0, expected.size()), expected);
            QVERIFY2(got.size() == expected.size() + 1 && got.last().endsWith("00 00 DA 77"), qPrintable(got.join(" | ")));
        }
        QCOMPARE(s.run->events, QStringList {"established"} + events);
        QCOMPARE(hexText(s.app.pty.read(100)), QString());
    }

    // Every poll interval the wait task is asked for with a Req.
    void waitTaskIsPolled()
    {
        ComProxyKorvel3::Timing timing = testTiming();
        timing.waitTaskPollMs = 150;
        Setup s;
        QVERIFY(startProxy(s, timing));
        QCOMPARE(s.dev.payloads(2), (QStringList {"C3 E5", "C3 E5"}));
        QCOMPARE(s.log.messages(ProxyRun::LOGGER).count("reinit async on timer"), 2);
    }

    void portErrors_data()
    {
        QTest::addColumn<bool>("devPort");
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("logLine");
        QTest::addColumn<bool>("reopen");
        QTest::newRow("dev no error") << true << int(QSerialPort::NoError) << "dev error 0" << false;
        QTest::newRow("dev unsupported operation ignored")
            << true << int(QSerialPort::UnsupportedOperationError) << "dev error 10" << false;
        QTest::newRow("dev not open reopens") << true << int(QSerialPort::NotOpenError) << "dev error 13" << true;
        QTest::newRow("dev resource error reopens") << true << int(QSerialPort::ResourceError) << "dev error 9" << true;
        QTest::newRow("app no error") << false << int(QSerialPort::NoError) << "app error 0" << false;
        QTest::newRow("app unsupported operation reopens")
            << false << int(QSerialPort::UnsupportedOperationError) << "app error 10" << true;
        QTest::newRow("app resource error reopens") << false << int(QSerialPort::ResourceError) << "app error 9" << true;
    }
    // A dev port error other than none or an unsupported operation means the
    // register is lost; any app port error but none reopens the software's port.
    void portErrors()
    {
        QFETCH(bool, devPort);
        QFETCH(int, error);
        QFETCH(QString, logLine);
        QFETCH(bool, reopen);
        Setup s;
        QVERIFY(startProxy(s));
        const QString open = QStringLiteral("Open %1...").arg(devPort ? s.dev.name() : s.app.name());
        QMetaObject::invokeMethod(s.run->proxy, devPort ? "devError" : "appError",
                                  Q_ARG(QSerialPort::SerialPortError, QSerialPort::SerialPortError(error)));
        QVERIFY(s.log.waitFor(ProxyRun::LOGGER, logLine));
        if (reopen) {
            QTRY_COMPARE(s.log.messages(ProxyRun::LOGGER).count(open), 2);
        } else {
            // An observation window several loop passes long: no reopening starts.
            QTest::qWait(200);
            QCOMPARE(s.log.messages(ProxyRun::LOGGER).count(open), 1);
        }
        QTRY_COMPARE(s.run->events, devPort && reopen ? QStringList {"lost"} : QStringList());
    }

    // stop() from another thread only asks: the proxy's own thread closes
    // the software's port, then the register's, and only then says finished.
    void stopFromAnotherThreadClosesPortsOnProxyThread()
    {
        Setup s;
        QVERIFY(startProxy(s));
        QMutex lock;
        QStringList steps;
        QThread *proxyThread = &s.run->thread;
        const QList<QSerialPort *> ports = s.run->proxy->findChildren<QSerialPort *>();
        QCOMPARE(ports.size(), 2);
        for (QSerialPort *port : ports) {
            const QString which = s.app.name().endsWith(port->portName()) ? "app" : "dev";
            connect(port, &QIODevice::aboutToClose, port, [&, which] {
                QMutexLocker locker(&lock);
                steps << "close " + which + (QThread::currentThread() == proxyThread ? "" : " on a foreign thread");
            }, Qt::DirectConnection);
        }
        connect(s.run->proxy, &ComProxyKorvel3::finished, s.run->proxy, [&] {
            QMutexLocker locker(&lock);
            steps << "finished";
        }, Qt::DirectConnection);
        s.run->proxy->stop();
        QVERIFY(s.run->thread.wait(5000));
        QCOMPARE(steps, (QStringList {"close app", "close dev", "finished"}));
        QTRY_COMPARE(s.run->events, (QStringList {"finished"}));
    }

    // A stop while the register's port settles ends the proxy without
    // opening the port.
    void stopDuringSettlingDoesNotOpen()
    {
        LineEnd app;
        LineEnd dev;
        LogCapture log;
        ProxyRun run(app, dev, ComProxyKorvel3::Timing());
        // Well inside the first settling sleep of the production timing.
        QTest::qWait(200);
        run.proxy->stop();
        QVERIFY(run.thread.wait(10000));
        QVERIFY(!log.contains(ProxyRun::LOGGER, QStringLiteral("Open %1...").arg(dev.name())));
        QTRY_VERIFY(!run.events.isEmpty());
        QCOMPARE(run.events.join(','), QString("finished"));
    }

    // A packet cut short (or announcing more than was sent) is given up once
    // its bytes stop coming, so the software's next packet gets through.
    void stalledPacketIsGivenUp()
    {
        ComProxyKorvel3::Timing timing = testTiming();
        timing.packetGapMs = 150;
        Setup s;
        QVERIFY(startProxy(s, timing));
        QVERIFY(s.app.pty.write(hex("FE3200120102")));
        // Longer than the gap: the time a stalled packet is given to go on.
        QTest::qWait(300);
        const QByteArray request = Korvel3Codec::packWithId(0x12, hex("0A"));
        QVERIFY(s.app.pty.write(request));
        QCOMPARE(hexText(s.dev.pty.readExactly(int(request.size()), 5000)), hexText(request));
        QVERIFY(s.log.contains(ProxyRun::LOGGER, "drop incomplete packet FE 32 00 12 01 02 (6 bytes)"));
    }
};

QTEST_GUILESS_MAIN(TestComProxyKorvel3)
#include "tst_comproxykorvel3.moc"
