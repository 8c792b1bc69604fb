// The USB link against the libusb double: finding the register, claiming it, moving bytes, losing and reopening it.
#include "fakeusb.h"
#include "logcapture.h"
#include "usbworker.h"
#include "utils.h"

#include <QTest>
#include <QThread>
#include <memory>

namespace {

const QString LOGGER = QStringLiteral("USB-reg");

// Short pauses; the write and endpoint-clearing time-outs keep their production values.
UsbWorker::Timing fastTiming()
{
    UsbWorker::Timing timing;
    timing.readTimeoutMs = 20;
    timing.reopenPauseMs = 30;
    timing.lostLinkPauseMs = 60;
    return timing;
}

// Records the worker's signals, in order, on the test thread.
class Probe : public QObject
{
    Q_OBJECT
public:
    QStringList events;

    void attach(UsbWorker *worker)
    {
        connect(worker, &UsbWorker::portConnectionEstablished, this, [this] { events << "up"; }, Qt::QueuedConnection);
        connect(worker, &UsbWorker::portConnectionLost, this, [this] { events << "down"; }, Qt::QueuedConnection);
        connect(worker, &UsbWorker::finished, this, [this] { events << "finished"; }, Qt::QueuedConnection);
        connect(worker, &UsbWorker::portDataReceived, this,
                [this](const QByteArray &data) { events << "data " + data.toHex(); }, Qt::QueuedConnection);
    }
};

// A worker running on a port thread of its own, as the service runs it.
class Link
{
public:
    Link(const QString &port, bool hotplugged, const UsbWorker::Timing &timing = fastTiming())
        : worker(new UsbWorker(PobSettings {QStringLiteral("reg"), port, hotplugged}, timing))
    {
        worker->moveToThread(&thread);
        probe.attach(worker);
        QObject::connect(&thread, &QThread::started, worker, &UsbWorker::start);
        thread.start();
    }
    ~Link()
    {
        worker->stop();
        thread.quit();
        thread.wait();
        delete worker;
    }
    void write(const QByteArray &bytes)
    {
        QMetaObject::invokeMethod(worker, "onOfdDataReceived", Q_ARG(QByteArray, bytes));
    }

    QThread thread;
    UsbWorker *worker;
    Probe probe;
};

QStringList firstEntries(const QStringList &log, const QString &last)
{
    const int end = log.indexOf(last);
    return end < 0 ? log : log.mid(0, end + 1);
}

}

class TestUsbWorker : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        FakeUsb::reset();
        QCOMPARE(FakeUsb::count("contexts"), 0);
    }

    void cleanup()
    {
        // Every worker has ended by now: nothing of libusb may be left behind.
        QCOMPARE(FakeUsb::count("contexts"), 0);
        QCOMPARE(FakeUsb::count("handles"), 0);
        QCOMPARE(FakeUsb::count("lists"), 0);
    }

    void address_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addColumn<int>("opened");  // index into the bus below, -1: none
        QTest::addColumn<QStringList>("messages");
        const QStringList notFound = {"Not found device 1-1.04", "Not found device 1-1.04", "Not found device 1-1.04"};
        QTest::newRow("1-1.4") << "1-1.4" << 0 << QStringList {"Open USB: 1-1.4", "SUCCESS"};
        QTest::newRow("01-1.4 compares the bus as a number") << "01-1.4" << 0 << QStringList {"Open USB: 01-1.4", "SUCCESS"};
        QTest::newRow("2-1.4 other bus") << "2-1.4" << 1 << QStringList {"Open USB: 2-1.4", "SUCCESS"};
        QTest::newRow("1-2 path ignores the vendor") << "1-2" << 2 << QStringList {"Open USB: 1-2", "SUCCESS"};
        QTest::newRow("1-1.04 matches nothing") << "1-1.04" << -1 << notFound;
        QTest::newRow("1-2-3 fails silently") << "1-2-3" << -1 << QStringList();
        QTest::newRow("lone dash is bus 0, empty path")
            << "-" << -1 << QStringList {"Not found device -", "Not found device -", "Not found device -"};
        QTest::newRow("c") << "c" << 0 << QStringList {"Open USB: c7e4:000c", "SUCCESS"};
        QTest::newRow("000C") << "000C" << 0 << QStringList {"Open USB: c7e4:000c", "SUCCESS"};
        QTest::newRow("empty is product 1") << "" << 1 << QStringList {"Open USB: c7e4:0001", "SUCCESS"};
        QTest::newRow("xyz is product 1") << "xyz" << 1 << QStringList {"Open USB: c7e4:0001", "SUCCESS"};
        QTest::newRow("unknown product")
            << "abcd" << -1
            << QStringList {"Not found device c7e4:abcd", "Not found device c7e4:abcd", "Not found device c7e4:abcd"};
    }
    // A hotplugged worker: it either opens the register or ends after three attempts.
    void address()
    {
        QFETCH(QString, port);
        QFETCH(int, opened);
        QFETCH(QStringList, messages);
        const QList<int> bus = {FakeUsb::add(1, "1.4", 0xC7E4, 0x000C), FakeUsb::add(2, "1.4", 0xC7E4, 0x0001),
                                FakeUsb::add(1, "2", 0x1234, 0x000C)};
        LogCapture logs;
        Link link(port, true);
        if (opened >= 0) {
            QVERIFY(logs.waitFor(LOGGER, "SUCCESS"));
            QCOMPARE(FakeUsb::log().first(), QStringLiteral("open %1").arg(bus.at(opened)));
        } else {
            QTRY_COMPARE(link.probe.events, QStringList {"finished"});
            QVERIFY(!FakeUsb::log().join(';').contains("open"));
        }
        QCOMPARE(logs.messages(LOGGER), messages);
    }

    void openFailure_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("message");
        QTest::newRow("path form") << "1-1.4" << "Can't open device 1-1.4 [Access denied (insufficient permissions)]";
        QTest::newRow("product-id form")
            << "c" << "Can't open device c7e4:000c [Access denied (insufficient permissions)]";
    }
    // Only the first matching register is tried; the second is never opened.
    void openFailure()
    {
        QFETCH(QString, port);
        QFETCH(QString, message);
        const int first = FakeUsb::add(1, "1.4");
        FakeUsb::add(1, "1.4");
        FakeUsb::set(first, "open", LIBUSB_ERROR_ACCESS);
        LogCapture logs;
        Link link(port, true);
        QTRY_COMPARE(link.probe.events, QStringList {"finished"});
        const QString open = logs.messages(LOGGER).first();
        QCOMPARE(logs.messages(LOGGER), QStringList() << open << message << open << message << open << message);
        QVERIFY(logs.lines().filter("ERROR [USB-reg] " + message).size() == 3);
        const QString opened = QStringLiteral("open %1").arg(first);
        QCOMPARE(FakeUsb::log(), QStringList() << opened << opened << opened);
    }

    void claimPhase_data()
    {
        QTest::addColumn<QStringList>("settings");
        QTest::addColumn<QStringList>("calls");  // "%1" stands for the device id
        QTest::addColumn<QString>("message");
        const QStringList link3 = {"control %1 02 01 0000 008b 0 1000", "control %1 02 01 0000 000a 0 1000"};
        const QStringList link2 = {"control %1 02 01 0000 0083 0 1000", "control %1 02 01 0000 0002 0 1000"};
        const QStringList closing = {"release %1 3", "attach %1 2", "close %1"};
        QTest::newRow("interface 3 free") << QStringList() << QStringList {"open %1", "claim %1 3"} + link3 << "SUCCESS";
        QTest::newRow("kernel driver on 3 is detached")
            << QStringList {"kernel3 1"} << QStringList {"open %1", "detach %1 3", "claim %1 3"} + link3 << "SUCCESS";
        QTest::newRow("failed kernel-driver query also detaches")
            << QStringList {"kernel3 -1"} << QStringList {"open %1", "detach %1 3", "claim %1 3"} + link3 << "SUCCESS";
        QTest::newRow("detach refused")
            << QStringList {"kernel3 1", "detach -3"} << QStringList {"open %1", "detach %1 3"} + closing
            << "Access denied (insufficient permissions)";
        QTest::newRow("interface 3 busy, 2 taken")
            << QStringList {"claim3 -6"} << QStringList {"open %1", "claim %1 3", "claim %1 2"} + link2 << "SUCCESS";
        QTest::newRow("neither interface")
            << QStringList {"claim3 -6", "claim2 -3"} << QStringList {"open %1", "claim %1 3", "claim %1 2"} + closing
            << "Can't claim device [Access denied (insufficient permissions)]";
        QTest::newRow("kernel driver of 2 kept at close")
            << QStringList {"claim3 -6", "claim2 -3", "kernel2 1"}
            << QStringList {"open %1", "claim %1 3", "claim %1 2", "release %1 3", "close %1"}
            << "Can't claim device [Access denied (insufficient permissions)]";
    }
    // The calls of the first open attempt, in order, up to the register being ready or closed again.
    void claimPhase()
    {
        QFETCH(QStringList, settings);
        QFETCH(QStringList, calls);
        QFETCH(QString, message);
        const int id = FakeUsb::add(1, "1.4");
        for (const QString &setting : settings)
            FakeUsb::set(id, setting.section(' ', 0, 0), setting.section(' ', 1).toInt());
        LogCapture logs;
        Link link("1-1.4", false);
        QVERIFY(logs.waitFor(LOGGER, message));
        for (QString &call : calls)
            call = call.arg(id);
        QCOMPARE(firstEntries(FakeUsb::log(), calls.last()), calls);
        QTRY_COMPARE(link.probe.events.contains("up"), message == "SUCCESS");
    }

    // Reads from and writes to the claimed interface's endpoints; after a
    // reopen on interface 3 the link's own endpoints are used again.
    void bytesBothWaysAndInterfaceFallback()
    {
        const int id = FakeUsb::add(1, "1.4");
        FakeUsb::set(id, "claim3", LIBUSB_ERROR_BUSY);
        LogCapture logs;
        Link link("1-1.4", false);
        QVERIFY(logs.waitFor(LOGGER, "SUCCESS"));
        FakeUsb::feed(id, 0x8B, "\x99");
        FakeUsb::feed(id, 0x83, QByteArray("\x01\x02\x03", 3));
        QTRY_COMPARE(link.probe.events, QStringList({"up", "data 010203"}));
        link.write(QByteArray("\xA0\x00", 2));
        QVERIFY(logs.waitFor(LOGGER, "write: A0 00 (2 bytes)"));
        QCOMPARE(FakeUsb::take(id, 0x02), QByteArray("\xA0\x00", 2));
        QCOMPARE(FakeUsb::take(id, 0x0A), QByteArray());
        QVERIFY(logs.contains(LOGGER, "read: 01 02 03 (3 bytes)"));

        FakeUsb::set(id, "claim3", LIBUSB_SUCCESS);
        FakeUsb::readStatus(id, 0x83, LIBUSB_ERROR_IO);
        // The byte left on 0x8B is read only once interface 3 is in use again.
        QTRY_COMPARE(link.probe.events, QStringList({"up", "data 010203", "down", "up", "data 99"}));
        FakeUsb::feed(id, 0x8B, QByteArray("\x04", 1));
        QTRY_COMPARE(link.probe.events.last(), QStringLiteral("data 04"));
        link.write(QByteArray("\xA1", 1));
        QVERIFY(logs.waitFor(LOGGER, "write: A1 (1 bytes)"));
        QCOMPARE(FakeUsb::take(id, 0x0A), QByteArray("\xA1", 1));
        QCOMPARE(FakeUsb::take(id, 0x02), QByteArray());
    }

    void lostLink_data()
    {
        QTest::addColumn<bool>("unplug");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("afterPause");
        QTest::newRow("unplugged") << true << int(LIBUSB_ERROR_NO_DEVICE) << "Not found device 1-1.4";
        QTest::newRow("input/output error") << true << int(LIBUSB_ERROR_IO) << "Not found device 1-1.4";
        QTest::newRow("read of no bytes") << false << int(LIBUSB_SUCCESS) << "SUCCESS";
    }
    // A read failing after the link worked: logged, reported, closed and retried.
    void lostLink()
    {
        QFETCH(bool, unplug);
        QFETCH(int, status);
        QFETCH(QString, afterPause);
        const int id = FakeUsb::add(1, "1.4");
        LogCapture logs;
        Link link("1-1.4", false);
        QVERIFY(logs.waitFor(LOGGER, "SUCCESS"));
        FakeUsb::clearLog();
        if (unplug)
            FakeUsb::unplug(id, status);
        else
            FakeUsb::readStatus(id, 0x8B, status);
        QTRY_VERIFY(link.probe.events.contains("down"));
        QVERIFY(logs.lines().filter(QStringLiteral("ERROR [USB-reg] error: %1").arg(status)).size() == 1);
        QTRY_VERIFY(FakeUsb::log().contains(QStringLiteral("close %1").arg(id)));
        const QStringList before = logs.messages(LOGGER);
        QTRY_VERIFY(logs.messages(LOGGER).mid(before.size()).contains(afterPause));
    }

    // A hotplugged register that goes away: lost once, then three failed
    // attempts over the worker's life end it.
    void hotpluggedGivesUp()
    {
        const int id = FakeUsb::add(2, "1.3");
        LogCapture logs;
        Link link("2-1.3", true);
        QVERIFY(logs.waitFor("USB-reg", "SUCCESS"));
        FakeUsb::feed(id, 0x8B, QByteArray("\x10", 1));
        QTRY_COMPARE(link.probe.events, QStringList({"up", "data 10"}));
        FakeUsb::unplug(id);
        QTRY_COMPARE(link.probe.events, QStringList({"up", "data 10", "down", "finished"}));
        QCOMPARE(logs.messages(LOGGER),
                 QStringList({"Open USB: 2-1.3", "SUCCESS", "read: 10 (1 bytes)", "error: -4", "Not found device 2-1.3",
                              "Not found device 2-1.3", "Not found device 2-1.3"}));
    }

    // The failed-open count is never reset: earlier failures count after a good open.
    void hotpluggedAttemptsCountOverLife()
    {
        const int id = FakeUsb::add(1, "1.4");
        FakeUsb::set(id, "claim3", LIBUSB_ERROR_BUSY);
        FakeUsb::set(id, "claim2", LIBUSB_ERROR_BUSY);
        LogCapture logs;
        UsbWorker::Timing timing = fastTiming();
        timing.reopenPauseMs = 400;
        Link link("1-1.4", true, timing);
        QTRY_COMPARE(logs.messages(LOGGER).count("Can't claim device [Resource busy]"), 2);
        FakeUsb::set(id, "claim3", LIBUSB_SUCCESS);
        QTRY_VERIFY(link.probe.events.contains("up"));
        FakeUsb::unplug(id);
        QTRY_COMPARE(link.probe.events, QStringList({"up", "down", "finished"}));
        QCOMPARE(logs.messages(LOGGER).count("Not found device 1-1.4"), 1);
    }

    void readFailuresBeforeTheLinkWorked_data()
    {
        QTest::addColumn<int>("failures");
        QTest::addColumn<bool>("lost");
        QTest::newRow("two are retried quietly") << 2 << false;
        QTest::newRow("three are a lost link") << 3 << true;
    }
    // Failed reads right after the open, before any read worked, must not
    // keep the loop turning for ever.
    void readFailuresBeforeTheLinkWorked()
    {
        QFETCH(int, failures);
        QFETCH(bool, lost);
        const int id = FakeUsb::add(1, "1.4");
        for (int i = 0; i < failures; ++i)
            FakeUsb::readStatus(id, 0x8B, LIBUSB_ERROR_PIPE);
        FakeUsb::feed(id, 0x8B, QByteArray("\x55", 1));
        LogCapture logs;
        Link link("1-1.4", false);
        QTRY_VERIFY(link.probe.events.contains("data 55") || link.probe.events.contains("down"));
        QCOMPARE(link.probe.events.contains("down"), lost);
        QCOMPARE(logs.contains(LOGGER, "error: -9"), lost);
    }

    // Bytes for a register that is not open are dropped without a word.
    void writeWhileClosed()
    {
        LogCapture logs;
        Link link("1-1.4", false);
        QVERIFY(logs.waitFor(LOGGER, "Not found device 1-1.4"));
        link.write(QByteArray("\x01", 1));
        const int id = FakeUsb::add(1, "1.4");
        QVERIFY(logs.waitFor(LOGGER, "SUCCESS"));
        QCOMPARE(FakeUsb::take(id, 0x0A), QByteArray());
        QVERIFY(logs.messages(LOGGER).filter("write:").isEmpty());
    }

    // Stopping closes the register and ends the worker.
    void stopClosesTheRegister()
    {
        const int id = FakeUsb::add(1, "1.4");
        LogCapture logs;
        Link link("1-1.4", false);
        QVERIFY(logs.waitFor(LOGGER, "SUCCESS"));
        FakeUsb::clearLog();
        link.worker->stop();
        QTRY_COMPARE(link.probe.events, QStringList({"up", "finished"}));
        QCOMPARE(FakeUsb::log(), QStringList({"release %1 3", "attach %1 2", "close %1"}).replaceInStrings("%1", QString::number(id)));
        QVERIFY(!link.probe.events.contains("down"));
    }
};

QTEST_MAIN(TestUsbWorker)
#include "tst_usbworker.moc"
