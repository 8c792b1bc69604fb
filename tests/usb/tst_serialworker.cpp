// The COM-port link over a pseudo-terminal: bytes both ways, reopening after a lost line, stopping from another thread.
#include "portsignalrecorder.h"
#include "logcapture.h"
#include "ptypair.h"
#include "serialworker.h"
#include "utils.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <memory>
#include <poll.h>

namespace {

const QString LOGGER = QStringLiteral("COM-t");

// True while no process holds the pty's slave end open.
bool slaveClosed(const PtyPair &pty)
{
    pollfd p {pty.masterFd(), POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLHUP);
}

} // namespace

class TestSerialWorker : public QObject
{
    Q_OBJECT

    std::unique_ptr<PortSignalRecorder> m_recorder;
    QThread *m_thread = nullptr;
    SerialWorker *m_worker = nullptr;

    void startWorker(const QString &port)
    {
        PobSettings settings;
        settings.id = QStringLiteral("t");
        settings.port = port;
        SerialWorker::Timing timing;
        timing.reopenDelayMs = 50;
        m_worker = new SerialWorker(settings, timing);
        QCOMPARE(m_worker->portName(), port);
        m_thread = new QThread;
        m_worker->moveToThread(m_thread);
        connect(m_thread, &QThread::started, m_worker, &SerialWorker::start);
        connect(m_worker, &SerialWorker::finished, m_thread, &QThread::quit, Qt::DirectConnection);
        connect(m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
        m_recorder->watch(m_worker);
        m_thread->start();
    }

    void send(const QByteArray &data)
    {
        QMetaObject::invokeMethod(m_worker, "onOfdDataReceived", Qt::QueuedConnection, Q_ARG(QByteArray, data));
    }

private slots:
    void init() { m_recorder = std::make_unique<PortSignalRecorder>(); }

    void cleanup()
    {
        if (m_thread) {
            // A worker that has finished may already be gone with its thread.
            if (m_recorder->finished == 0)
                m_worker->stop();
            if (m_thread->wait(10000))
                delete m_thread;
        }
        m_thread = nullptr;
        m_worker = nullptr;
        m_recorder.reset();
    }

    void comPrefix_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("name");
        QTest::newRow("number") << "3" << "COM3";
        QTest::newRow("full name") << "COM3" << "COM3";
        QTest::newRow("lower case is not the prefix") << "com3" << "COMcom3";
        QTest::newRow("empty") << "" << "COM";
    }
    void comPrefix()
    {
        QFETCH(QString, port);
        QFETCH(QString, name);
        QCOMPARE(comPortName(port), name);
    }

    void bytesBothWays()
    {
        PtyPair pty;
        LogCapture capture;
        startWorker(pty.slaveName());
        QTRY_COMPARE_WITH_TIMEOUT(m_recorder->established, 1, 5000);
        QCOMPARE(capture.messages(LOGGER).mid(0, 2),
                 QStringList({QStringLiteral("Opening %1...").arg(pty.slaveName()), QStringLiteral("OK")}));

        QVERIFY(pty.write(QByteArray::fromHex("0aff")));
        QTRY_COMPARE_WITH_TIMEOUT(m_recorder->received, QList<QByteArray> {QByteArray::fromHex("0aff")}, 5000);
        QVERIFY(capture.contains(LOGGER, QStringLiteral("read: 0A FF (2 bytes)")));

        send(QByteArray::fromHex("0102"));
        QCOMPARE(pty.readExactly(2, 5000).toHex(' '), QByteArray("01 02"));
        QVERIFY(capture.contains(LOGGER, QStringLiteral("write: 01 02 (2 bytes)")));
        QCOMPARE(m_recorder->lost, 0);
    }

    // The port is missing at first: every attempt is logged with the port's
    // error text, no signal is emitted; once it appears it opens.
    void portAppearsLater()
    {
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("register"));
        PtyPair pty;
        LogCapture capture;
        startWorker(link);
        const QString opening = QStringLiteral("Opening %1...").arg(link);
        QTRY_VERIFY_WITH_TIMEOUT(capture.messages(LOGGER).count(opening) >= 3, 5000);
        const QStringList messages = capture.messages(LOGGER);
        QVERIFY2(messages.at(messages.indexOf(opening) + 1) != QStringLiteral("OK"), "an error text follows");
        QVERIFY(capture.lines().filter(QStringLiteral("ERROR [%1]").arg(LOGGER)).size() >= 2);
        QCOMPARE(m_recorder->established + m_recorder->lost, 0);

        QVERIFY(QFile::link(pty.slaveName(), link));
        QTRY_COMPARE_WITH_TIMEOUT(m_recorder->established, 1, 5000);
        QCOMPARE(m_recorder->lost, 0);
    }

    // The line goes away (the pty closes) and comes back under the same name;
    // bytes that arrive afterwards are passed on once.
    void lostLineIsReopened()
    {
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("register"));
        auto pty = std::make_unique<PtyPair>();
        QVERIFY(QFile::link(pty->slaveName(), link));
        LogCapture capture;
        startWorker(link);
        QTRY_COMPARE_WITH_TIMEOUT(m_recorder->established, 1, 5000);

        pty = std::make_unique<PtyPair>();
        QVERIFY(QFile::remove(link));
        QTRY_COMPARE_WITH_TIMEOUT(m_recorder->lost, 1, 5000);
        bool errorLogged = false;
        for (const QString &message : capture.messages(LOGGER))
            errorLogged |= message.startsWith(QStringLiteral("error ")) && message != QStringLiteral("error 0");
        QVERIFY(errorLogged);

        QVERIFY(QFile::link(pty->slaveName(), link));
        QTRY_COMPARE_WITH_TIMEOUT(m_recorder->established, 2, 5000);
        QVERIFY(pty->write(QByteArray::fromHex("a1a2")));
        QTRY_COMPARE_WITH_TIMEOUT(m_recorder->received, QList<QByteArray> {QByteArray::fromHex("a1a2")}, 5000);
        send(QByteArray::fromHex("b1"));
        QCOMPARE(pty->readExactly(1, 5000).toHex(), QByteArray("b1"));
        QCOMPARE(m_recorder->lost, 1);
    }

    // stop() from the test thread: the port is closed and finished() emitted
    // on the worker's thread; data that arrives afterwards is dropped.
    void stopFromAnotherThread()
    {
        PtyPair pty(false);
        startWorker(pty.slaveName());
        QTRY_COMPARE_WITH_TIMEOUT(m_recorder->established, 1, 5000);
        QVERIFY(!slaveClosed(pty));
        m_worker->stop();
        send(QByteArray::fromHex("c1"));
        QTRY_COMPARE_WITH_TIMEOUT(m_recorder->finished, 1, 5000);
        QVERIFY(m_thread->wait(5000));
        QVERIFY(slaveClosed(pty));
        QVERIFY(pty.read(100).isEmpty());
    }

    // A stop while the open loop keeps failing ends the loop after its pause.
    void stopWhileOpening()
    {
        QTemporaryDir dir;
        LogCapture capture;
        const QString missing = dir.filePath(QStringLiteral("missing"));
        startWorker(missing);
        QVERIFY(capture.waitFor(LOGGER, QStringLiteral("Opening %1...").arg(missing)));
        m_worker->stop();
        QTRY_COMPARE_WITH_TIMEOUT(m_recorder->finished, 1, 5000);
        QCOMPARE(m_recorder->established, 0);
    }
};

QTEST_GUILESS_MAIN(TestSerialWorker)
#include "tst_serialworker.moc"
