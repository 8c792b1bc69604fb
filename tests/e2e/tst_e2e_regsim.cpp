// The register simulator as integrators use it: pobrid-regsim on pseudo-terminals it creates,
// pobrid between it and an echo server, and the simulator's verdict.
#include "echoserver.h"
#include "pobridprocess.h"

#include <QFile>
#include <QProcess>
#include <QTest>

class TestE2eRegsim : public QObject
{
    Q_OBJECT
private slots:
    void sessionThroughPobrid_data()
    {
        QTest::addColumn<QString>("protocol");
        QTest::newRow("protocol 3") << QStringLiteral("3");
        QTest::newRow("protocol 2") << QStringLiteral("2");
    }
    void sessionThroughPobrid()
    {
        QFETCH(QString, protocol);
        EchoServer echo;
        QVERIFY(echo.start());
        PobridProcess pobrid(QStringLiteral(POBRID_BINARY));
        const QString info = pobrid.dir() + QStringLiteral("/pty");

        QProcess sim;
        sim.setProcessChannelMode(QProcess::MergedChannels);
        sim.start(QStringLiteral(POBRID_REGSIM), {QStringLiteral("--pty"), QStringLiteral("--pty-info"), info,
                                                   QStringLiteral("--protocol"), protocol,
                                                   QStringLiteral("--port"), QString::number(echo.serverPort()),
                                                   QStringLiteral("--bytes"), QStringLiteral("1500"), QStringLiteral("--log")});
        QVERIFY(sim.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QFile(info).size() > 0 && QFile(info).open(QIODevice::ReadOnly), 10000);
        QFile file(info);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QString dev, app;
        for (const QByteArray &line : file.readAll().split('\n')) {
            if (line.startsWith("dev="))
                dev = QString::fromLocal8Bit(line.mid(4));
            if (line.startsWith("app="))
                app = QString::fromLocal8Bit(line.mid(4));
        }
        QVERIFY(!dev.isEmpty() && !app.isEmpty());
        QVERIFY(pobrid.writeSettings(QStringLiteral(R"(<device type="sarn"><id>sim</id><protocol>%1</protocol>
            <app><port>%2</port></app><dev><port>%3</port></dev></device>)")
                                         .arg(protocol, app, dev).toUtf8()));
        QVERIFY(pobrid.start());
        QTRY_VERIFY_WITH_TIMEOUT(sim.state() == QProcess::NotRunning, 60000);
        const QString out = QString::fromUtf8(sim.readAll());
        QVERIFY2(sim.exitCode() == 0, qPrintable(out + pobrid.output()));
        QVERIFY(out.contains(QStringLiteral("relayed 1500 bytes to 127.0.0.1:%1 and 1500 bytes back").arg(echo.serverPort())));
        QVERIFY(pobrid.waitForLogFile(QStringLiteral("[Debug-sim] Начало передачи сообщения в ФН: ["), QStringLiteral("Debug.log")));
        QCOMPARE(pobrid.terminate(), 0);
    }
};

QTEST_GUILESS_MAIN(TestE2eRegsim)
#include "tst_e2e_regsim.moc"
