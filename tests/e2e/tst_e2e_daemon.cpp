// The service's life as an administrator sees it: help, a foreground run with nothing to do,
// a background start, its status, a refused second start, and the stop request.
#include "pobridprocess.h"

#include <QDir>
#include <QFileInfo>
#include <QTest>

class TestE2eDaemon : public QObject
{
    Q_OBJECT
private slots:
    void helpText()
    {
        PobridProcess pobrid(QStringLiteral(POBRID_BINARY));
        QString out;
        QCOMPARE(pobrid.run({QStringLiteral("-h")}, &out), 0);
        const QString exe = pobrid.executable();
        QCOMPARE(out, QStringLiteral("\n%1 -[i|u|e|s|v|h]\n\t-i(nstall) [account] [password]\t: Install the service, optionally using given account and password\n"
                                     "\t-u(ninstall)\t: Uninstall the service.\n\t-e(xec)\t\t: Run as a regular application. Useful for debugging.\n"
                                     "\t-t(erminate)\t: Stop the service.\n\t-c(ommand) num\t: Send command code num to the service.\n"
                                     "\t-v(ersion)\t: Print version and status information.\n\t-h(elp)   \t: Show this help\n\tNo arguments\t: Start the service.\n")
                          .arg(exe));
    }

    void foregroundWithNothingToDo()
    {
        PobridProcess pobrid(QStringLiteral(POBRID_BINARY));
        QVERIFY(pobrid.writeSettings(QByteArray()));
        QString out;
        QCOMPARE(pobrid.run({QStringLiteral("-e")}, &out, 10000), 0);
        const QString log = pobrid.readLogFile();
        const QRegularExpression start(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} INFO  \\[Pob\\] Start service Pob \\(v4782\\)$"),
                                       QRegularExpression::MultilineOption);
        QVERIFY2(start.match(log).hasMatch(), qPrintable(log));
        QVERIFY(log.contains(QStringLiteral(" INFO  [Pob] No devices in config\n")));
        QVERIFY(out.contains(QStringLiteral("INFO  [Pob] No devices in config")));
    }

    void backgroundLifecycle()
    {
        PobridProcess pobrid(QStringLiteral(POBRID_BINARY));
        // A serial register whose ports never open keeps the service busy retrying.
        QVERIFY(pobrid.writeSettings(R"(<device type="sarn"><id>x</id><protocol>2</protocol>
            <app><port>/nonexistent/app</port></app><dev><port>/nonexistent/dev</port></dev></device>)"));
        QString out;
        QCOMPARE(pobrid.run({}, &out), 0);
        QCOMPARE(pobrid.run({QStringLiteral("-v")}, &out), 0);
        QVERIFY2(out.contains(QStringLiteral("is not installed and running")), qPrintable(out));
        QVERIFY(pobrid.waitForLogFile(QStringLiteral("[ComProxy2-x] Open /nonexistent/dev...")));

        QCOMPARE(pobrid.run({}, &out), 252);
        QCOMPARE(out, QStringLiteral("The service Pob could not start\n"));
        // A foreground run is always allowed, even beside a background instance.
        QString foreground;
        QVERIFY(pobrid.writeSettings(QByteArray()));
        QCOMPARE(pobrid.run({QStringLiteral("-e")}, &foreground, 10000), 0);

        const QFileInfo control(pobrid.dir() + QStringLiteral("/control"));
        QVERIFY(control.isDir());
        QCOMPARE(int(control.permissions() & (QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther | QFile::WriteOther | QFile::ExeOther)), 0);

        QCOMPARE(pobrid.run({QStringLiteral("-t")}, &out), 0);
        QTRY_VERIFY_WITH_TIMEOUT(pobrid.run({QStringLiteral("-v")}, &out) == 0 && out.contains(QStringLiteral("not running")), 20000);
    }
};

QTEST_GUILESS_MAIN(TestE2eDaemon)
#include "tst_e2e_daemon.moc"
