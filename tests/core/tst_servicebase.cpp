// The service framework: command-line dispatch, help text, background lifecycle, signals and installation.
#include "servicebase.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

Q_DECLARE_METATYPE(ServiceBase::Mode)

namespace {

const QString SERVICE = QStringLiteral(TESTSERVICE_PATH);

struct Result
{
    int code = 0;
    QByteArray out;
    QByteArray err;
};

// The test service in a directory of its own: its control directory, unit
// directory and notes file (one line per hook it reached).
class Harness
{
public:
    Harness()
    {
        QDir(m_tmp.path()).mkdir(QStringLiteral("units"));
        m_env = QProcessEnvironment::systemEnvironment();
        m_env.remove(QStringLiteral("QTSERVICE_RUN"));
        m_env.insert(QStringLiteral("POBRID_CONTROL_DIR"), controlDir());
        m_env.insert(QStringLiteral("POBRID_SYSTEMD_UNIT_DIR"), unitDir());
        m_env.insert(QStringLiteral("POBRID_TESTSERVICE_NOTES"), m_tmp.filePath(QStringLiteral("notes")));
    }
    ~Harness()
    {
        // A background copy that a failed test left behind: ours, found by its own note.
        for (qint64 pid : startedPids())
            if (pid != m_foregroundPid)
                ::kill(pid_t(pid), SIGKILL);
    }

    QString controlDir() const { return m_tmp.filePath(QStringLiteral("control")); }
    QString unitDir() const { return m_tmp.filePath(QStringLiteral("units")); }
    void setEnv(const QString &name, const QString &value) { m_env.insert(name, value); }

    Result run(const QStringList &arguments) const
    {
        QProcess process;
        process.setProcessEnvironment(m_env);
        process.start(SERVICE, arguments);
        Result result;
        if (!process.waitForFinished(30000)) {
            process.kill();
            process.waitForFinished();
            result.code = 999;
        } else {
            result.code = qint8(process.exitCode());  // exit(-4) arrives as 252
        }
        result.out = process.readAllStandardOutput();
        result.err = process.readAllStandardError();
        return result;
    }

    void startForeground(QProcess &process, const QStringList &arguments)
    {
        process.setProcessEnvironment(m_env);
        process.start(SERVICE, arguments);
        m_foregroundPid = process.processId();
    }

    QStringList notes() const
    {
        QFile file(m_tmp.filePath(QStringLiteral("notes")));
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromLatin1(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    bool waitForNotes(int count, int timeoutMs = 10000) const
    {
        QDeadlineTimer deadline(timeoutMs);
        while (notes().size() < count) {
            if (deadline.hasExpired())
                return false;
            QTest::qWait(10);
        }
        return true;
    }
    QList<qint64> startedPids() const
    {
        QList<qint64> pids;
        for (const QString &line : notes())
            if (line.startsWith(QLatin1String("start ")))
                pids << line.mid(6).toLongLong();
        return pids;
    }

private:
    QTemporaryDir m_tmp;
    QProcessEnvironment m_env;
    qint64 m_foregroundPid = 0;
};

QByteArray status(bool installed, bool running)
{
    return "The service\n\tpobrid-test\n\t" + SERVICE.toLocal8Bit() + "\n\nis " + (installed ? "installed" : "not installed")
        + " and " + (running ? "running" : "not running") + "\n\n";
}

bool alive(qint64 pid)
{
    return ::kill(pid_t(pid), 0) == 0;
}

} // namespace

class TestServiceBase : public QObject
{
    Q_OBJECT

private slots:
    void arguments_data();
    void arguments();
    void consoleFlag_data();
    void consoleFlag();
    void helpText();
    void backgroundLifecycle();
    void signalEndsForegroundRun_data();
    void signalEndsForegroundRun();
    void controlWithoutInstance_data();
    void controlWithoutInstance();
    void unsafeControlDirectoryRefused();
    void installAndUninstall();
};

void TestServiceBase::arguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("copy");
    QTest::addColumn<ServiceBase::Mode>("mode");
    QTest::addColumn<int>("command");
    QTest::addColumn<QString>("account");
    using S = ServiceBase;
    QTest::newRow("none: start") << QStringList() << false << S::Start << 0 << "";
    QTest::newRow("none in the copy: run") << QStringList() << true << S::Run << 0 << "";
    QTest::newRow("not an option: start") << QStringList{"settings", "-e"} << false << S::Start << 0 << "";
    QTest::newRow("unknown option: start") << QStringList{"-x"} << false << S::Start << 0 << "";
    QTest::newRow("upper case: start") << QStringList{"-E"} << false << S::Start << 0 << "";
    QTest::newRow("-i with account") << QStringList{"-i", "svc", "secret"} << false << S::Install << 0 << "svc";
    QTest::newRow("-install") << QStringList{"-install"} << false << S::Install << 0 << "";
    QTest::newRow("-u") << QStringList{"-u"} << false << S::Uninstall << 0 << "";
    QTest::newRow("-uninstall") << QStringList{"-uninstall"} << false << S::Uninstall << 0 << "";
    QTest::newRow("-v in the copy") << QStringList{"-v"} << true << S::Version << 0 << "";
    QTest::newRow("-version") << QStringList{"-version"} << false << S::Version << 0 << "";
    QTest::newRow("-e") << QStringList{"-e"} << false << S::Exec << 0 << "";
    QTest::newRow("-exec") << QStringList{"-exec"} << false << S::Exec << 0 << "";
    QTest::newRow("-t") << QStringList{"-t"} << false << S::Terminate << 0 << "";
    QTest::newRow("-terminate") << QStringList{"-terminate"} << false << S::Terminate << 0 << "";
    QTest::newRow("-p") << QStringList{"-pause"} << false << S::Pause << 0 << "";
    QTest::newRow("-r") << QStringList{"-r"} << false << S::Resume << 0 << "";
    QTest::newRow("-c 7") << QStringList{"-c", "7"} << false << S::Command << 7 << "";
    QTest::newRow("-command 12") << QStringList{"-command", "12"} << false << S::Command << 12 << "";
    QTest::newRow("-c without number") << QStringList{"-c"} << false << S::BadCommandCode << 0 << "";
    QTest::newRow("-c with text") << QStringList{"-c", "x"} << false << S::BadCommandCode << 0 << "";
    QTest::newRow("-h") << QStringList{"-h"} << false << S::Help << 0 << "";
    QTest::newRow("-help") << QStringList{"-help"} << false << S::Help << 0 << "";
}

void TestServiceBase::arguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, copy);
    QFETCH(ServiceBase::Mode, mode);
    QFETCH(int, command);
    QFETCH(QString, account);
    const ServiceBase::Request request = ServiceBase::parseArguments(arguments, copy);
    QCOMPARE(request.mode, mode);
    QCOMPARE(request.command, command);
    QCOMPARE(request.account, account);
}

void TestServiceBase::consoleFlag_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("console");
    QTest::newRow("-e first") << QStringList{"-e"} << true;
    QTest::newRow("-exec later") << QStringList{"settings", "-exec"} << true;
    QTest::newRow("-e after others") << QStringList{"a", "b", "-e"} << true;
    QTest::newRow("none") << QStringList() << false;
    QTest::newRow("prefix only") << QStringList{"-exe"} << false;
    QTest::newRow("longer") << QStringList{"-e1"} << false;
    QTest::newRow("upper case") << QStringList{"-E", "-EXEC"} << false;
    QTest::newRow("double dash") << QStringList{"--exec"} << false;
}

void TestServiceBase::consoleFlag()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, console);
    QCOMPARE(ServiceBase::consoleModeRequested(arguments), console);
}

void TestServiceBase::helpText()
{
    Harness harness;
    const Result result = harness.run({QStringLiteral("-h")});
    QCOMPARE(result.code, 0);
    QCOMPARE(result.out, "\n" + SERVICE.toLocal8Bit() + " -[i|u|e|s|v|h]\n"
             "\t-i(nstall) [account] [password]\t: Install the service, optionally using given account and password\n"
             "\t-u(ninstall)\t: Uninstall the service.\n"
             "\t-e(xec)\t\t: Run as a regular application. Useful for debugging.\n"
             "\t-t(erminate)\t: Stop the service.\n"
             "\t-c(ommand) num\t: Send command code num to the service.\n"
             "\t-v(ersion)\t: Print version and status information.\n"
             "\t-h(elp)   \t: Show this help\n"
             "\tNo arguments\t: Start the service.\n");
    QVERIFY(harness.notes().isEmpty());
}

void TestServiceBase::backgroundLifecycle()
{
    Harness harness;
    QCOMPARE(harness.run({}).code, 0);
    // The starter returns only once the copy answers.
    QCOMPARE(harness.run({QStringLiteral("-v")}).out, status(false, true));
    QVERIFY(harness.waitForNotes(1));
    const QList<qint64> pids = harness.startedPids();
    QCOMPARE(pids.size(), 1);

    struct stat info;
    QCOMPARE(::stat(QFile::encodeName(harness.controlDir()).constData(), &info), 0);
    QCOMPARE(info.st_uid, ::geteuid());
    QCOMPARE(info.st_mode & 0777, mode_t(0700));

    const Result second = harness.run({});
    QCOMPARE(second.code, -4);
    QCOMPARE(second.out, QByteArray("The service pobrid-test could not start\n"));

    // A foreground run is allowed beside the background one.
    QProcess foreground;
    harness.startForeground(foreground, {QStringLiteral("-e")});
    QVERIFY(harness.waitForNotes(2));
    foreground.terminate();
    QVERIFY(foreground.waitForFinished(10000));
    QVERIFY(harness.waitForNotes(3));

    QCOMPARE(harness.run({QStringLiteral("-p")}).code, 0);
    QCOMPARE(harness.run({QStringLiteral("-r")}).code, 0);
    QCOMPARE(harness.run({QStringLiteral("-c"), QStringLiteral("7")}).code, 0);
    QCOMPARE(harness.run({QStringLiteral("-v")}).out, status(false, true));
    QVERIFY(alive(pids.first()));

    QCOMPARE(harness.run({QStringLiteral("-t")}).code, 0);
    QCOMPARE(harness.run({QStringLiteral("-v")}).out, status(false, false));
    QTRY_VERIFY_WITH_TIMEOUT(!alive(pids.first()), 10000);
    const QStringList notes = harness.notes();
    QCOMPARE(notes.mid(3), QStringList({"pause", "resume", "command 7", "stop"}));
}

void TestServiceBase::signalEndsForegroundRun_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void TestServiceBase::signalEndsForegroundRun()
{
    QFETCH(int, signalNumber);
    Harness harness;
    QProcess process;
    harness.startForeground(process, {QStringLiteral("-e")});
    QVERIFY(harness.waitForNotes(1));
    QVERIFY(::kill(pid_t(process.processId()), signalNumber) == 0);
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QCOMPARE(harness.notes().mid(1), QStringList{"stop"});
}

void TestServiceBase::controlWithoutInstance_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("error");
    QTest::newRow("-t") << QStringList{"-t"} << QByteArray("The service could not be stopped.\n");
    QTest::newRow("-p") << QStringList{"-p"} << QByteArray("The service pobrid-test is not running\n");
    QTest::newRow("-c 3") << QStringList{"-c", "3"} << QByteArray("The service pobrid-test is not running\n");
    QTest::newRow("-c without number") << QStringList{"-c"} << QByteArray("The command option needs a command code number: -c num\n");
}

void TestServiceBase::controlWithoutInstance()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, error);
    Harness harness;
    const Result result = harness.run(arguments);
    QCOMPARE(result.code, -1);
    QCOMPARE(result.err, error);
    QVERIFY(harness.notes().isEmpty());
}

void TestServiceBase::unsafeControlDirectoryRefused()
{
    Harness harness;
    QVERIFY(QDir().mkpath(harness.controlDir()));
    QVERIFY(::chmod(QFile::encodeName(harness.controlDir()).constData(), 0755) == 0);
    const Result result = harness.run({});
    QCOMPARE(result.code, -4);
    QCOMPARE(result.out, QByteArray("The service pobrid-test could not start\n"));
    QVERIFY(harness.notes().isEmpty());
}

void TestServiceBase::installAndUninstall()
{
    Harness harness;
    const QString unit = harness.unitDir() + QStringLiteral("/pobrid-test.service");
    const QByteArray program = QFileInfo(SERVICE).canonicalFilePath().toLocal8Bit();

    Result result = harness.run({QStringLiteral("-i"), QStringLiteral("svc"), QStringLiteral("secret")});
    QCOMPARE(result.code, 0);
    QCOMPARE(result.out, "The service pobrid-test has been installed under: " + program + "\n");
    QFile file(unit);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray content = file.readAll();
    for (const char *line : {"Type=simple", "Environment=QTSERVICE_RUN=1", "Restart=on-failure", "User=svc",
                                   "WantedBy=multi-user.target", "WorkingDirectory=/"})
        QVERIFY2(content.split('\n').contains(line), line);
    QVERIFY2(content.contains("\nExecStart=\"" + program + "\"\n"), content.constData());
    QVERIFY(!content.contains("secret"));

    result = harness.run({QStringLiteral("-i")});
    QCOMPARE(result.code, 0);
    QCOMPARE(result.out, QByteArray("The service pobrid-test is already installed\n"));
    QCOMPARE(harness.run({QStringLiteral("-v")}).out, status(true, false));

    result = harness.run({QStringLiteral("-u")});
    QCOMPARE(result.code, 0);
    QCOMPARE(result.out, QByteArray("The service pobrid-test has been uninstalled.\n"));
    QVERIFY(!QFile::exists(unit));
    result = harness.run({QStringLiteral("-u")});
    QCOMPARE(result.code, 0);
    QCOMPARE(result.out, QByteArray("The service pobrid-test is not installed\n"));

    // An account that would smuggle a directive into the unit, and a unit directory that cannot exist.
    result = harness.run({QStringLiteral("-i"), QStringLiteral("svc\nExecStartPre=/bin/evil")});
    QCOMPARE(result.code, -1);
    QCOMPARE(result.out, QByteArray("The service pobrid-test could not be installed\n"));
    QVERIFY(!QFile::exists(unit));
    harness.setEnv(QStringLiteral("POBRID_SYSTEMD_UNIT_DIR"), unit + QStringLiteral("/missing"));
    result = harness.run({QStringLiteral("-i")});
    QCOMPARE(result.code, -1);
    QCOMPARE(result.out, QByteArray("The service pobrid-test could not be installed\n"));
}

QTEST_GUILESS_MAIN(TestServiceBase)
#include "tst_servicebase.moc"
