// Pairs of workers on their own threads: data and link state cross in order, either end takes the other down, stopping ends all.
#include "fakeportworker.h"
#include "workerlinks.h"

#include <QPointer>
#include <QTest>
#include <atomic>
#include <memory>

namespace {

// The exchange side of a pair, event-driven like FakePortWorker.
class FakeExchangeWorker : public IWorker
{
    Q_OBJECT
public:
    ~FakeExchangeWorker() override { ++destroyedCount; }

    void send(const QByteArray &bytes)
    {
        QMetaObject::invokeMethod(this, [this, bytes] { emit sendData(bytes); }, Qt::QueuedConnection);
    }
    void finish()
    {
        QMetaObject::invokeMethod(this, [this] { endOnce(); }, Qt::QueuedConnection);
    }
    QByteArray received() const
    {
        QMutexLocker locker(&m_lock);
        return m_received;
    }

    std::atomic<QThread *> startThread {nullptr};
    std::atomic<int> pauses {0};
    std::atomic<int> unpauses {0};
    static std::atomic<int> destroyedCount;

signals:
    void finished();
    void sendData(QByteArray data);

public slots:
    void start() override { startThread = QThread::currentThread(); }
    void stop() override { finish(); }
    void onDataReceived(const QByteArray &data)
    {
        QMutexLocker locker(&m_lock);
        m_received += data;
    }
    void pause() { ++pauses; }
    void unpause() { ++unpauses; }

private:
    void endOnce()
    {
        if (!m_ended.exchange(true))
            emit finished();
    }

    mutable QMutex m_lock;
    QByteArray m_received;
    std::atomic<bool> m_ended {false};
};

std::atomic<int> FakeExchangeWorker::destroyedCount {0};

struct Pair
{
    QPointer<FakePortWorker> port;
    QPointer<FakeExchangeWorker> ofd;
};

Pair linkPair(WorkerLinks &links, const QString &name)
{
    Pair pair {new FakePortWorker(name), new FakeExchangeWorker};
    links.link(pair.port, pair.ofd);
    return pair;
}

bool started(const Pair &pair)
{
    return pair.port && pair.ofd && pair.port->hasStarted() && pair.ofd->startThread;
}

} // namespace

class TestWorkerLinks : public QObject
{
    Q_OBJECT

private slots:
    void pairRelaysDataAndLinkState();
    void oneEndTakesItsPartnerDown_data();
    void oneEndTakesItsPartnerDown();
    void stopAllEndsEveryPair();
};

void TestWorkerLinks::pairRelaysDataAndLinkState()
{
    WorkerLinks links;
    const Pair pair = linkPair(links, QStringLiteral("1"));
    QTRY_VERIFY(started(pair));
    QThread *portThread = pair.port->startThread();
    QThread *ofdThread = pair.ofd->startThread;
    QVERIFY(portThread != ofdThread);
    QVERIFY(portThread != QThread::currentThread() && ofdThread != QThread::currentThread());

    pair.port->feed("\x01\x02");
    pair.port->feed("\x03");
    pair.ofd->send("\xAA");
    pair.ofd->send("\xBB\xCC");
    QTRY_COMPARE(pair.ofd->received(), QByteArray("\x01\x02\x03"));
    QVERIFY(pair.port->waitForWritten(3));
    QCOMPARE(pair.port->written(), QByteArray("\xAA\xBB\xCC"));

    pair.port->linkDown();
    pair.port->linkUp();
    pair.port->linkDown();
    QTRY_COMPARE(pair.ofd->pauses.load(), 2);
    QCOMPARE(pair.ofd->unpauses.load(), 1);

    links.stopAll();
    QVERIFY(links.waitForAll(5000));
}

void TestWorkerLinks::oneEndTakesItsPartnerDown_data()
{
    QTest::addColumn<bool>("portEnds");
    QTest::newRow("port worker gives up") << true;
    QTest::newRow("exchange worker ends") << false;
}

void TestWorkerLinks::oneEndTakesItsPartnerDown()
{
    QFETCH(bool, portEnds);
    WorkerLinks links;
    const Pair ending = linkPair(links, QStringLiteral("1"));
    const Pair staying = linkPair(links, QStringLiteral("2"));
    QTRY_VERIFY(started(ending) && started(staying));
    const QPointer<QThread> threads[] = {ending.port->startThread(), ending.ofd->startThread.load()};

    if (portEnds)
        ending.port->finish();
    else
        ending.ofd->finish();
    QTRY_VERIFY(!ending.port && !ending.ofd);
    QTRY_VERIFY(!threads[0] && !threads[1]);
    QCOMPARE(links.livePortWorkers(), QList<IPortWorker *>({staying.port.data()}));

    staying.port->feed("\x42");
    QTRY_COMPARE(staying.ofd->received(), QByteArray("\x42"));

    links.stopAll();
    QVERIFY(links.waitForAll(5000));
}

void TestWorkerLinks::stopAllEndsEveryPair()
{
    const int portsBefore = FakePortWorker::destroyedCount;
    const int ofdsBefore = FakeExchangeWorker::destroyedCount;
    WorkerLinks links;
    QList<Pair> pairs;
    for (int i = 0; i < 3; ++i)
        pairs << linkPair(links, QString::number(i));

    // A pair made on a thread without an event loop, as hotplug arrivals are.
    Pair offThread;
    std::unique_ptr<QThread> linker(QThread::create([&] { offThread = linkPair(links, QStringLiteral("hotplug")); }));
    linker->start();
    QVERIFY(linker->wait(5000));
    pairs << offThread;
    for (const Pair &pair : std::as_const(pairs))
        QTRY_VERIFY(started(pair));
    QCOMPARE(links.livePortWorkers().size(), 4);

    // One pair ends by itself while the others are being stopped.
    pairs.at(1).port->finish();
    links.stopAll();
    QVERIFY(links.waitForAll(5000));
    QVERIFY(links.livePortWorkers().isEmpty());
    QCOMPARE(FakePortWorker::destroyedCount - portsBefore, 4);
    QCOMPARE(FakeExchangeWorker::destroyedCount - ofdsBefore, 4);
}

QTEST_GUILESS_MAIN(TestWorkerLinks)
#include "tst_workerlinks.moc"
