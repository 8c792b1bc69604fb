// The hotplug agent against the libusb double: reports of present and arriving registers, and a prompt end.
#include "fakeusb.h"
#include "hotplugagent.h"
#include "hotpluglistener.h"
#include "logcapture.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QTest>
#include <QThread>
#include <memory>

namespace {

// Records every report with the thread it came on.
class Listener : public HotplugListener
{
public:
    void onDeviceConnected(const QMap<QString, QString> &properties) override
    {
        QMutexLocker locker(&m_lock);
        m_addresses << properties.value(QStringLiteral("Dev"));
        m_keys << properties.keys();
        m_threads << QThread::currentThread();
    }
    void onDeviceDisconnected(const QMap<QString, QString> &) override
    {
        QMutexLocker locker(&m_lock);
        ++m_disconnected;
    }

    QStringList addresses() const
    {
        QMutexLocker locker(&m_lock);
        return m_addresses;
    }
    QStringList keys() const
    {
        QMutexLocker locker(&m_lock);
        return m_keys;
    }
    QList<QThread *> threads() const
    {
        QMutexLocker locker(&m_lock);
        return m_threads;
    }
    int disconnected() const
    {
        QMutexLocker locker(&m_lock);
        return m_disconnected;
    }

private:
    mutable QMutex m_lock;
    QStringList m_addresses;
    QStringList m_keys;
    QList<QThread *> m_threads;
    int m_disconnected = 0;
};

}

class TestHotplugAgent : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        FakeUsb::reset();
        FakeUsb::setEventWait(1000);
    }

    void cleanup()
    {
        // Nothing of the agent's libusb use outlives it.
        QCOMPARE(FakeUsb::count("contexts"), 0);
        QCOMPARE(FakeUsb::count("callbacks"), 0);
        QCOMPARE(FakeUsb::count("waiters"), 0);
    }

    // Registers already attached are reported, in bus order, before the
    // constructor returns and on the constructing thread; other vendors never.
    void presentDevicesReportedDuringConstruction()
    {
        FakeUsb::add(1, "1.4");
        FakeUsb::add(1, "3", 0x1234, 0x000C);
        FakeUsb::add(1, "2", 0xC7E4, 0x0001);
        FakeUsb::add(3, "1.2.3.4.5.6.7");
        Listener listener;
        {
            HotplugAgent agent(&listener);
            QCOMPARE(listener.addresses(), QStringList({"1-1.4", "1-2", "3-1.2.3.4.5.6.7"}));
            QCOMPARE(listener.keys(), QStringList({"Dev", "Dev", "Dev"}));
            for (QThread *thread : listener.threads())
                QCOMPARE(thread, QThread::currentThread());
        }
        QCOMPARE(listener.disconnected(), 0);
    }

    // Later arrivals come from the poller thread; departures and other vendors are not reported.
    void laterArrivalFromThePoller()
    {
        Listener listener;
        HotplugAgent agent(&listener);
        QVERIFY(listener.addresses().isEmpty());
        FakeUsb::add(2, "1", 0x1234, 0x0001);
        const int id = FakeUsb::add(2, "1.3");
        QTRY_COMPARE(listener.addresses(), QStringList({"2-1.3"}));
        QVERIFY(listener.threads().first() != QThread::currentThread());
        FakeUsb::unplug(id);
        FakeUsb::plug(id);
        QTRY_COMPARE(listener.addresses(), QStringList({"2-1.3", "2-1.3"}));
        QCOMPARE(listener.disconnected(), 0);
    }

    // An arrival whose port path cannot be read would name no device: skipped, with an error.
    void arrivalWithoutPortPathSkipped()
    {
        const int broken = FakeUsb::add(4, "2");
        FakeUsb::set(broken, "ports", LIBUSB_ERROR_NO_MEM);
        FakeUsb::add(4, "3");
        LogCapture logs;
        Listener listener;
        HotplugAgent agent(&listener);
        QCOMPARE(listener.addresses(), QStringList({"4-3"}));
        QCOMPARE(logs.lines().filter("ERROR [Hotplug] Can't read the port path of a device on bus 4 [Insufficient memory]").size(), 1);
    }

    void destructionIsPrompt_data()
    {
        QTest::addColumn<bool>("waitForPoller");
        QTest::newRow("poller inside its event wait") << true;
        QTest::newRow("right after construction") << false;
    }
    // Each event wait of the double lasts up to 5 s unless woken: an agent
    // that waited it out instead of waking it would take seconds to go.
    void destructionIsPrompt()
    {
        QFETCH(bool, waitForPoller);
        FakeUsb::setEventWait(5000);
        Listener listener;
        QElapsedTimer clock;
        clock.start();
        for (int round = 0; round < 10; ++round) {
            auto agent = std::make_unique<HotplugAgent>(&listener);
            if (waitForPoller)
                QTRY_COMPARE(FakeUsb::count("waiters"), 1);
            agent.reset();
            QCOMPARE(FakeUsb::count("waiters"), 0);
            QCOMPARE(FakeUsb::count("contexts"), 0);
        }
        QVERIFY2(clock.elapsed() < 4000, qPrintable(QStringLiteral("ten agents took %1 ms to end").arg(clock.elapsed())));
        // No callback after destruction: an arrival now reaches nobody.
        FakeUsb::add(1, "1");
        QCOMPARE(listener.addresses(), QStringList());
    }
};

QTEST_MAIN(TestHotplugAgent)
#include "tst_hotplugagent.moc"
