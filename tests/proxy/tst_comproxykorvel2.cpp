// The protocol-2 proxy between two pseudo-terminals: the test plays the software on one and the register on the other.
#include "portsignalrecorder.h"
#include "comproxykorvel2.h"
#include "korvel2peer.h"
#include "logcapture.h"
#include "ptypair.h"
#include "utils.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <memory>
#include <termios.h>

namespace {

const QString LOGGER = QStringLiteral("ComProxy2-t");

QByteArray hex(const char *text) { return QByteArray::fromHex(text); }

} // namespace

class TestComProxyKorvel2 : public QObject
{
    Q_OBJECT

    std::unique_ptr<PtyPair> m_app;
    std::unique_ptr<PtyPair> m_dev;
    std::unique_ptr<Korvel2Peer> m_software;
    std::unique_ptr<Korvel2Peer> m_register;
    std::unique_ptr<PortSignalRecorder> m_recorder;
    QThread *m_thread = nullptr;
    ComProxyKorvel2 *m_proxy = nullptr;

    void startProxy(const QString &devPortName, const QString &appPortName = QString())
    {
        SarnSettings settings;
        settings.id = QStringLiteral("t");
        settings.appPortName = appPortName.isEmpty() ? m_app->slaveName() : appPortName;
        settings.appBaudRate = 9600;
        settings.devPortName = devPortName;
        settings.devBaudRate = 19200;
        settings.protocol = 2;
        ComProxyKorvel2::Timing timing;
        timing.reopenDelayMs = 50;
        m_proxy = new ComProxyKorvel2(settings, timing);
        m_thread = new QThread;
        m_proxy->moveToThread(m_thread);
        connect(m_thread, &QThread::started, m_proxy, &ComProxyKorvel2::start);
        connect(m_proxy, &ComProxyKorvel2::finished, m_thread, &QThread::quit, Qt::DirectConnection);
        connect(m_thread, &QThread::finished, m_proxy, &QObject::deleteLater);
        m_recorder->watch(m_proxy);
        m_thread->start();
    }

    void answer(const QByteArray &data)
    {
        QMetaObject::invokeMethod(m_proxy, "onOfdDataReceived", Qt::QueuedConnection, Q_ARG(QByteArray, data));
    }

private slots:
    void init()
    {
        m_app = std::make_unique<PtyPair>();
        m_dev = std::make_unique<PtyPair>();
        QVERIFY(m_app->isValid() && m_dev->isValid());
        m_software = std::make_unique<Korvel2Peer>(*m_app);
        m_register = std::make_unique<Korvel2Peer>(*m_dev);
        m_recorder = std::make_unique<PortSignalRecorder>();
    }

    void cleanup()
    {
        if (m_thread) {
            // A proxy that has finished may already be gone with its thread.
            if (m_recorder->finished == 0)
                m_proxy->stop();
            // A proxy that hangs is leaked rather than hanging the whole run.
            if (m_thread->wait(10000))
                delete m_thread;
        }
        m_thread = nullptr;
        m_proxy = nullptr;
        m_software.reset();
        m_register.reset();
        m_app.reset();
        m_dev.reset();
        m_recorder.reset();
    }

    void softwareMessagesAndAnswerPrefix_data()
    {
        QTest::addColumn<QList<QByteArray>>("fromSoftware");
        QTest::addColumn<QByteArray>("toRegister");
        QTest::newRow("nothing yet: two zero bytes") << QList<QByteArray>() << hex("0000DA01");
        QTest::newRow("first two bytes of the message") << QList<QByteArray> {hex("123456")} << hex("1234DA01");
        QTest::newRow("a one-byte message makes a one-byte prefix") << QList<QByteArray> {hex("77")} << hex("77DA01");
        QTest::newRow("the most recent message counts")
            << QList<QByteArray> {hex("123456"), hex("ABCD1003")} << hex("ABCDDA01");
    }
    // Each software message reaches the register unchanged, in its own
    // handshake; an OFD answer goes out behind the most recent prefix.
    void softwareMessagesAndAnswerPrefix()
    {
        QFETCH(QList<QByteArray>, fromSoftware);
        QFETCH(QByteArray, toRegister);
        LogCapture capture;
        startProxy(m_dev->slaveName());
        QTRY_COMPARE_WITH_TIMEOUT(m_recorder->established, 1, 5000);
        for (const QByteArray &message : fromSoftware) {
            QVERIFY2(m_software->send(message), qPrintable(m_software->lastError()));
            QCOMPARE(m_register->receive().toHex(' '), message.toHex(' '));
            QVERIFY2(m_register->lastError().isEmpty(), qPrintable(m_register->lastError()));
            QVERIFY(capture.contains(LOGGER, QStringLiteral("app -> dev | ") + baToString(message)));
        }
        answer(hex("01"));
        QCOMPARE(m_register->receive().toHex(' '), toRegister.toHex(' '));
        QVERIFY(capture.waitFor(LOGGER, QStringLiteral("ofd -> dev | ") + baToString(toRegister)));
        QVERIFY(m_recorder->received.isEmpty());
    }

    void registerMessagesRouted_data()
    {
        QTest::addColumn<QByteArray>("fromRegister");
        QTest::addColumn<QByteArray>("toOfd");
        QTest::addColumn<QByteArray>("toSoftware");
        QTest::addColumn<QString>("logLine");
        QTest::newRow("OFD traffic without its command code")
            << hex("DA0102") << hex("0102") << QByteArray() << "dev -> ofd | DA 01 02 (3 bytes)";
        QTest::newRow("anything else to the software")
            << hex("5500") << QByteArray() << hex("5500") << "dev -> app | 55 00 (2 bytes)";
        QTest::newRow("control bytes pass unchanged")
            << hex("10030205") << QByteArray() << hex("10030205") << "dev -> app | 10 03 02 05 (4 bytes)";
    }
    void registerMessagesRouted()
    {
        QFETCH(QByteArray, fromRegister);
        QFETCH(QByteArray, toOfd);
        QFETCH(QByteArray, toSoftware);
        QFETCH(QString, logLine);
        LogCapture capture;
        startProxy(m_dev->slaveName());
        QTRY_COMPARE_WITH_TIMEOUT(m_recorder->established, 1, 5000);
        QVERIFY2(m_register->send(fromRegister), qPrintable(m_register->lastError()));
        if (toSoftware.isEmpty()) {
            QTRY_COMPARE_WITH_TIMEOUT(m_recorder->received, QList<QByteArray> {toOfd}, 3000);
            QVERIFY2(m_app->read(300).isEmpty(), "nothing goes to the software");
        } else {
            QCOMPARE(m_software->receive().toHex(' '), toSoftware.toHex(' '));
            QVERIFY(m_recorder->received.isEmpty());
        }
        QVERIFY(capture.contains(LOGGER, logLine));
    }

    void ofdAnswersInOrder_data()
    {
        QTest::addColumn<QList<QByteArray>>("answers");
        QTest::addColumn<QList<QByteArray>>("toRegister");
        QTest::newRow("two answers queued together")
            << QList<QByteArray> {hex("A1"), hex("A2A2")} << QList<QByteArray> {hex("0000DAA1"), hex("0000DAA2A2")};
        const QByteArray longAnswer(1100, char(0x10));
        QTest::newRow("an answer too long for one message goes in pieces")
            << QList<QByteArray> {longAnswer}
            << QList<QByteArray> {hex("0000DA") + longAnswer.left(1021), hex("0000DA") + longAnswer.mid(1021)};
    }
    void ofdAnswersInOrder()
    {
        QFETCH(QList<QByteArray>, answers);
        QFETCH(QList<QByteArray>, toRegister);
        startProxy(m_dev->slaveName());
        QTRY_COMPARE_WITH_TIMEOUT(m_recorder->established, 1, 5000);
        for (const QByteArray &data : answers)
            answer(data);
        for (const QByteArray &expected : toRegister) {
            QCOMPARE(m_register->receive().toHex(' '), expected.toHex(' '));
            QVERIFY2(m_register->lastError().isEmpty(), qPrintable(m_register->lastError()));
        }
    }

    // The register's line runs at its configured rate, the software's at 115200 whatever its setting says.
    void lineSpeeds()
    {
        startProxy(m_dev->slaveName());
        QTRY_COMPARE_WITH_TIMEOUT(m_recorder->established, 1, 5000);
        termios app {};
        termios dev {};
        QTRY_VERIFY(tcgetattr(m_app->masterFd(), &app) == 0 && cfgetospeed(&app) == B115200);
        QVERIFY(tcgetattr(m_dev->masterFd(), &dev) == 0);
        QCOMPARE(cfgetospeed(&dev), speed_t(B19200));
        QCOMPARE(cfgetispeed(&dev), speed_t(B19200));
    }

    // The register answers the second writing of an OFD answer with its own
    // message; that message has been acknowledged and must not be lost.
    void registerTakesTheLineOver()
    {
        startProxy(m_dev->slaveName());
        QTRY_COMPARE_WITH_TIMEOUT(m_recorder->established, 1, 5000);
        answer(hex("A1"));
        QByteArray fromProxy;
        QVERIFY2(m_register->receiveThenTakeOver(hex("5500"), fromProxy), qPrintable(m_register->lastError()));
        QCOMPARE(fromProxy.toHex(' '), hex("0000DAA1").toHex(' '));
        QCOMPARE(m_software->receive().toHex(' '), hex("5500").toHex(' '));
    }

    void devPortOpensLate()
    {
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("register"));
        LogCapture capture;
        startProxy(link);
        const QString opening = QStringLiteral("Open %1...").arg(link);
        QTRY_VERIFY_WITH_TIMEOUT(capture.messages(LOGGER).count(opening) >= 3, 5000);
        QCOMPARE(m_recorder->established, 0);
        QVERIFY(!capture.contains(LOGGER, QStringLiteral("OK")));
        QVERIFY(QFile::link(m_dev->slaveName(), link));
        QTRY_COMPARE_WITH_TIMEOUT(m_recorder->established, 1, 5000);
        QVERIFY(capture.contains(LOGGER, QStringLiteral("OK")));
        QCOMPARE(m_recorder->lost, 0);
    }

    void lineLostAndReopened_data()
    {
        QTest::addColumn<bool>("registerLine");
        QTest::newRow("register's line: reported lost and established again") << true;
        QTest::newRow("software's line: reopened quietly") << false;
    }
    // One line goes away (its pty closes) and comes back under the same name;
    // messages flow both ways afterwards.
    void lineLostAndReopened()
    {
        QFETCH(bool, registerLine);
        std::unique_ptr<PtyPair> &pty = registerLine ? m_dev : m_app;
        std::unique_ptr<Korvel2Peer> &peer = registerLine ? m_register : m_software;
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("line"));
        QVERIFY(QFile::link(pty->slaveName(), link));
        LogCapture capture;
        startProxy(registerLine ? link : m_dev->slaveName(), registerLine ? m_app->slaveName() : link);
        QTRY_COMPARE_WITH_TIMEOUT(m_recorder->established, 1, 5000);

        peer.reset();
        pty = std::make_unique<PtyPair>();
        QVERIFY(QFile::remove(link));
        const QString errorPrefix = registerLine ? QStringLiteral("dev error ") : QStringLiteral("app error ");
        const auto errorLogged = [&] {
            for (const QString &message : capture.messages(LOGGER)) {
                if (message.startsWith(errorPrefix) && message != errorPrefix + QLatin1Char('0'))
                    return true;
            }
            return false;
        };
        QTRY_VERIFY_WITH_TIMEOUT(errorLogged(), 5000);
        QVERIFY(QFile::link(pty->slaveName(), link));
        peer = std::make_unique<Korvel2Peer>(*pty);
        // Opening a port discards what is waiting on it: talk only once it is open again.
        QTRY_COMPARE_WITH_TIMEOUT(capture.messages(LOGGER).count(QStringLiteral("OK")), 3, 5000);
        if (registerLine) {
            QTRY_COMPARE_WITH_TIMEOUT(m_recorder->established, 2, 5000);
            QVERIFY(m_recorder->lost >= 1);
        }

        QVERIFY2(m_software->send(hex("123456"), 5000), qPrintable(m_software->lastError()));
        QCOMPARE(m_register->receive().toHex(' '), QByteArray("12 34 56"));
        QVERIFY2(m_register->send(hex("5500")), qPrintable(m_register->lastError()));
        QCOMPARE(m_software->receive().toHex(' '), QByteArray("55 00"));
        if (!registerLine)
            QCOMPARE(m_recorder->lost + m_recorder->established, 1);
    }

    // stop() from another thread returns only once the pass is over: here a
    // send to a silent register, which gives up after five ENQs.
    void stopWaitsForThePass()
    {
        LogCapture capture;
        startProxy(m_dev->slaveName());
        QTRY_COMPARE_WITH_TIMEOUT(m_recorder->established, 1, 5000);
        answer(hex("A1"));
        QCOMPARE(m_dev->readExactly(1, 3000).toHex(' '), QByteArray("05"));
        m_proxy->stop();
        QVERIFY(capture.contains(LOGGER, QStringLiteral("error in line 548")));
        QCOMPARE(m_dev->read(100).toHex(' '), QByteArray("05 05 05 05 04"));
        QTRY_COMPARE_WITH_TIMEOUT(m_recorder->finished, 1, 3000);
    }

    // stop() delivered through the proxy's own event queue runs inside a pass.
    void stopFromItsOwnThread()
    {
        startProxy(m_dev->slaveName());
        QTRY_COMPARE_WITH_TIMEOUT(m_recorder->established, 1, 5000);
        QMetaObject::invokeMethod(m_proxy, "stop", Qt::QueuedConnection);
        QTRY_COMPARE_WITH_TIMEOUT(m_recorder->finished, 1, 3000);
    }
};

QTEST_GUILESS_MAIN(TestComProxyKorvel2)
#include "tst_comproxykorvel2.moc"
