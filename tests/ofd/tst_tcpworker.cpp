// The TCP connection worker on a thread of its own: lookup, trying addresses, cancelling, reading, closing.
#include "blackholeserver.h"
#include "loopbackserver.h"
#include "logcapture.h"
#include "tcpworker.h"

#include <QTest>
#include <QThread>

namespace {

const QString NAME = QStringLiteral("TCP0-t");

TcpWorker::Timing testTiming()
{
    TcpWorker::Timing timing;
    timing.connectTimeoutMs = 1500;
    timing.queueWaitMs = 3000;
    timing.queueWaitStepMs = 100;
    return timing;
}

// A TcpWorker on its own thread, wired as the exchange worker wires its channels.
class Channel
{
public:
    explicit Channel(const QString &host, quint16 port, const TcpWorker::Timing &timing = testTiming())
        : worker(new TcpWorker(NAME, nullptr, timing))
    {
        worker->setAddress(host);
        worker->setPort(port);
        worker->moveToThread(&thread);
        QObject::connect(&thread, &QThread::started, worker, &TcpWorker::open);
        QObject::connect(&thread, &QThread::finished, worker, &TcpWorker::close);
        // Queued to the test thread, so the list is only touched here.
        QObject::connect(worker, &TcpWorker::connectionStateChanged, &receiver,
                         [this](TcpWorker::ConnectionState state) { states.append(state); });
    }
    ~Channel()
    {
        stopThread();
        delete worker;
    }
    void stopThread()
    {
        thread.quit();
        thread.wait();
    }
    bool waitForStates(int count, int timeoutMs = 5000)
    {
        return QTest::qWaitFor([&] { return states.size() >= count; }, timeoutMs);
    }

    QThread thread;
    TcpWorker *worker;
    QObject receiver;
    QList<TcpWorker::ConnectionState> states;
};

QHostInfo addresses(const QList<QHostAddress> &list)
{
    QHostInfo info;
    info.setAddresses(list);
    return info;
}

} // namespace

class TestTcpWorker : public QObject
{
    Q_OBJECT
private slots:
    void lookupFailureReportsDisconnected()
    {
        LogCapture log;
        Channel channel(QStringLiteral("no-such-host.invalid"), 5000);
        channel.thread.start();
        QVERIFY(channel.waitForStates(1));
        QCOMPARE(channel.states, QList<TcpWorker::ConnectionState>{TcpWorker::Disconnected});
        const QStringList messages = log.messages(NAME);
        QCOMPARE(messages.size(), 1);
        QVERIFY2(messages.first().startsWith(QLatin1String("Lookup failed: ")), qPrintable(messages.first()));
    }

    void refusedAddressThenNextOne()
    {
        LogCapture log;
        LoopbackServer server;
        QVERIFY(server.isListening());
        TcpWorker::Timing timing = testTiming();
        timing.lookup = [](const QString &) {
            return addresses({QHostAddress(QHostAddress::LocalHostIPv6), QHostAddress(QHostAddress::LocalHost)});
        };
        Channel channel(QStringLiteral("two.example"), server.port(), timing);
        channel.thread.start();
        QVERIFY(channel.waitForStates(1));
        QVERIFY(server.waitForConnections(1));
        QCOMPARE(log.messages(NAME), (QStringList{
            QStringLiteral("Found address: ::1"), QStringLiteral("Connect to ::1 failed"),
            QStringLiteral("Found address: 127.0.0.1"), QStringLiteral("Connect to 127.0.0.1 established")}));
        QTest::qWait(50);
        QCOMPARE(channel.states, QList<TcpWorker::ConnectionState>{TcpWorker::Connected});
    }

    void cancelDuringAttemptSkipsRemainingAddresses()
    {
        BlackHoleServer blackHole;
        QVERIFY(blackHole.isValid());

        LogCapture log;
        TcpWorker::Timing timing = testTiming();
        timing.lookup = [](const QString &) {
            return addresses({QHostAddress(QHostAddress::LocalHost), QHostAddress(QHostAddress::LocalHostIPv6)});
        };
        Channel channel(QStringLiteral("two.example"), blackHole.port(), timing);
        channel.thread.start();
        QVERIFY(log.waitFor(NAME, QStringLiteral("Found address: 127.0.0.1")));
        channel.worker->cancel();
        QVERIFY(channel.waitForStates(1));
        QCOMPARE(channel.states, QList<TcpWorker::ConnectionState>{TcpWorker::Disconnected});
        QCOMPARE(log.messages(NAME), (QStringList{
            QStringLiteral("Found address: 127.0.0.1"), QStringLiteral("Connect to 127.0.0.1 failed"),
            QStringLiteral("Connection canceled")}));
    }

    // Without a PORT record the port is 0: the attempt fails cleanly.
    void undefinedPortFailsCleanly()
    {
        LogCapture log;
        Channel channel(QStringLiteral("127.0.0.1"), 0);
        QCOMPARE(channel.worker->port(), 0);
        channel.thread.start();
        QVERIFY(channel.waitForStates(1));
        QCOMPARE(channel.states, QList<TcpWorker::ConnectionState>{TcpWorker::Disconnected});
        QVERIFY(log.contains(NAME, QStringLiteral("Connect to 127.0.0.1 failed")));
    }

    // Bytes received before the server closed stay readable, taken from the front.
    void serverCloseKeepsReceivedBytes()
    {
        LogCapture log;
        LoopbackServer server;
        Channel channel(QStringLiteral("127.0.0.1"), server.port());
        channel.thread.start();
        QVERIFY(channel.waitForStates(1));
        QCOMPARE(channel.states.first(), TcpWorker::Connected);
        QVERIFY(!channel.worker->hasData());
        QVERIFY(channel.worker->read(5).isEmpty());

        QVERIFY(server.waitForConnections(1));
        QVERIFY(server.send("hello"));
        server.closeConnection();
        QVERIFY(channel.waitForStates(2));
        QCOMPARE(channel.states.last(), TcpWorker::Disconnected);
        QVERIFY(log.contains(NAME, QStringLiteral("Change connection state to UnconnectedState")));
        QVERIFY(log.contains(NAME, QStringLiteral("connection lost")));
        QVERIFY(log.contains(NAME, QStringLiteral("tcp read: 68 65 6C 6C 6F (5 bytes)")));

        QVERIFY(channel.worker->read(0).isEmpty());
        QCOMPARE(channel.worker->read(3), QByteArray("hel"));
        QVERIFY(channel.worker->hasData());
        QCOMPARE(channel.worker->read(5), QByteArray("lo"));
        QVERIFY(!channel.worker->hasData());
        QVERIFY(channel.worker->read(1).isEmpty());
    }

    // A server that floods a channel nobody reads loses the connection; what
    // fits the limit stays for the register.
    void floodBeyondTheReadLimitDropsTheConnection()
    {
        LogCapture log;
        LoopbackServer server;
        TcpWorker::Timing timing = testTiming();
        timing.readBufferLimit = 1000;
        Channel channel(QStringLiteral("127.0.0.1"), server.port(), timing);
        channel.thread.start();
        QVERIFY(channel.waitForStates(1));
        QVERIFY(server.waitForConnections(1));
        QByteArray flood;
        for (int i = 0; i < 3000; ++i)
            flood.append(char(i % 251));
        QVERIFY(server.send(flood));
        QVERIFY(channel.waitForStates(2));
        QCOMPARE(channel.states.last(), TcpWorker::Disconnected);
        QVERIFY(log.contains(NAME, QStringLiteral("Read buffer limit of 1000 bytes exceeded, connection dropped")));
        QVERIFY(server.waitForClosed());
        QCOMPARE(channel.worker->read(5000).toHex(), flood.left(1000).toHex());
    }

    void reopenDropsBytesOfEarlierConnection()
    {
        LoopbackServer server;
        Channel channel(QStringLiteral("127.0.0.1"), server.port());
        channel.thread.start();
        QVERIFY(server.waitForConnections(1));
        QVERIFY(server.send("stale"));
        QTRY_VERIFY(channel.worker->hasData());
        channel.stopThread();

        channel.thread.start();
        QVERIFY(server.waitForConnections(2));
        QTRY_COMPARE(channel.states.count(TcpWorker::Connected), 2);
        QVERIFY(!channel.worker->hasData());
        QVERIFY(server.send("fresh", 1));
        QTRY_VERIFY(channel.worker->hasData());
        QCOMPARE(channel.worker->read(100), QByteArray("fresh"));
    }

    // Writes still queued when the connection closes are written first.
    void closeDrainsQueuedWrites()
    {
        LogCapture log;
        LoopbackServer server;
        Channel channel(QStringLiteral("127.0.0.1"), server.port());
        channel.thread.start();
        QVERIFY(channel.waitForStates(1));
        QVERIFY(server.waitForConnections(1));

        TcpWorker *worker = channel.worker;
        // On the connection thread, as the exchange worker's queued writes
        // would find it: three writes queued behind the running close().
        QMetaObject::invokeMethod(worker, [worker] {
            for (char c : {'a', 'b', 'c'}) {
                worker->addWritedSize(10);
                QMetaObject::invokeMethod(worker, "write", Qt::QueuedConnection, Q_ARG(QByteArray, QByteArray(10, c)));
            }
            worker->close();
        }, Qt::QueuedConnection);

        QVERIFY(server.waitForReceived(30));
        QCOMPARE(server.received(), QByteArray(10, 'a') + QByteArray(10, 'b') + QByteArray(10, 'c'));
        QVERIFY(log.waitFor(NAME, QStringLiteral("socket close")));
        QVERIFY(server.waitForClosed());
        QVERIFY(channel.waitForStates(2));
        QCOMPARE(channel.states.last(), TcpWorker::Disconnected);

        QStringList messages = log.messages(NAME);
        const int waited = messages.indexOf(QStringLiteral("Wait for queue empty (30)"));
        const int lastWrite = messages.lastIndexOf(QStringLiteral("New queue size = 0"));
        const int closed = messages.indexOf(QStringLiteral("socket close"));
        QVERIFY2(waited >= 0 && waited < lastWrite && lastWrite < closed, qPrintable(messages.join('\n')));
        QCOMPARE(worker->writedSize(), 0);
    }

    void writeBeforeAnySocketIsDropped()
    {
        LogCapture log;
        TcpWorker worker(NAME, nullptr, testTiming());
        worker.write("x");
        QCOMPARE(log.messages(NAME), QStringList{QStringLiteral("Socket is NULL")});
    }

    void stateNames_data()
    {
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("name");
        QTest::newRow("0") << 0 << "UnconnectedState";
        QTest::newRow("2") << 2 << "ConnectingState";
        QTest::newRow("6") << 6 << "ClosingState";
        QTest::newRow("7") << 7 << "???";
    }
    void stateNames()
    {
        QFETCH(int, state);
        QFETCH(QString, name);
        QCOMPARE(stateToString(QAbstractSocket::SocketState(state)), name);
    }
};

QTEST_GUILESS_MAIN(TestTcpWorker)
#include "tst_tcpworker.moc"
