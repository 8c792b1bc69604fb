// The service's log layout and the separation of debug loggers from the main log.
#include "logger.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <unistd.h>

namespace {

QStringList fileLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

} // namespace

class TestLogger : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void layout_data();
    void layout();
    void debugLoggersKeepToDebugLog();
    void consoleModeShowsEveryLogger();

private:
    QTemporaryDir m_dir;
    QString pobLog() const { return m_dir.path() + QStringLiteral("/Pob.log"); }
    QString debugLog() const { return m_dir.path() + QStringLiteral("/Debug.log"); }
};

void TestLogger::initTestCase()
{
    QVERIFY(m_dir.isValid());
    Logger::initRoot(false, m_dir.path());
}

void TestLogger::layout_data()
{
    QTest::addColumn<QString>("level");
    QTest::addColumn<QString>("logger");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("shown");
    QTest::newRow("info padded") << "info" << "USB-1" << "read: 0A 1B (2 bytes)" << "INFO ";
    QTest::newRow("error") << "error" << "Pob" << "Conflict" << "ERROR";
    QTest::newRow("debug") << "debug" << "ComProxy3-2" << "packet" << "DEBUG";
    QTest::newRow("warn padded") << "warn" << "TCP0-1" << "x" << "WARN ";
    QTest::newRow("utf-8 message") << "info" << "Ofd-1" << "Несуществующее устройство" << "INFO ";
}

void TestLogger::layout()
{
    QFETCH(QString, level);
    QFETCH(QString, logger);
    QFETCH(QString, message);
    QFETCH(QString, shown);
    const Logger log(logger);
    const QDateTime before = QDateTime::currentDateTime().addMSecs(-1);
    if (level == QLatin1String("info"))
        log.info(message);
    else if (level == QLatin1String("error"))
        log.error(message);
    else if (level == QLatin1String("debug"))
        log.debug(message);
    else
        log.warn(message);
    const QDateTime after = QDateTime::currentDateTime().addMSecs(1);

    const QStringList lines = fileLines(pobLog());
    QVERIFY(!lines.isEmpty());
    const QString line = lines.last();
    static const QRegularExpression shape(QStringLiteral(R"(^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}) (.{5}) \[([^\]]+)\] (.*)$)"));
    const QRegularExpressionMatch match = shape.match(line);
    QVERIFY2(match.hasMatch(), qPrintable(line));
    const QDateTime stamp = QDateTime::fromString(match.captured(1), QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
    QVERIFY2(stamp >= before && stamp <= after, qPrintable(line));
    QCOMPARE(match.captured(2), shown);
    QCOMPARE(match.captured(3), logger);
    QCOMPARE(match.captured(4), message);
}

void TestLogger::debugLoggersKeepToDebugLog()
{
    // Attached twice under two spellings of one directory: still one appender.
    Logger::attachDebugFile(m_dir.path());
    Logger::attachDebugFile(m_dir.path() + QStringLiteral("/./"));
    Logger(QStringLiteral("Debug-7")).info(QStringLiteral("register record"));
    Logger(QStringLiteral("Ofd-7")).info(QStringLiteral("exchange line"));

    const QStringList debugLines = fileLines(debugLog());
    QCOMPARE(debugLines.size(), 1);
    QVERIFY(debugLines.first().endsWith(QStringLiteral("INFO  [Debug-7] register record")));
    const QString pob = fileLines(pobLog()).join(QLatin1Char('\n'));
    QVERIFY(!pob.contains(QStringLiteral("Debug-7")));
    QVERIFY(pob.contains(QStringLiteral("[Ofd-7] exchange line")));
}

// Last: the console appender stays attached for the rest of the program.
void TestLogger::consoleModeShowsEveryLogger()
{
    QTemporaryDir consoleDir;
    QTemporaryDir otherLogs;
    const QString captured = consoleDir.filePath(QStringLiteral("stdout"));
    std::fflush(stdout);
    const int savedStdout = ::dup(STDOUT_FILENO);
    QVERIFY(std::freopen(QFile::encodeName(captured).constData(), "w", stdout));
    Logger::initRoot(true, otherLogs.path());
    Logger(QStringLiteral("Pob")).info(QStringLiteral("Start service Pob (v4782)"));
    Logger(QStringLiteral("Debug-9")).info(QStringLiteral("register record"));
    std::fflush(stdout);
    ::dup2(savedStdout, STDOUT_FILENO);
    ::close(savedStdout);

    const QStringList console = fileLines(captured);
    QCOMPARE(console.size(), 2);
    QVERIFY2(console.at(0).endsWith(QStringLiteral("INFO  [Pob] Start service Pob (v4782)")), qPrintable(console.at(0)));
    QVERIFY2(console.at(1).endsWith(QStringLiteral("INFO  [Debug-9] register record")), qPrintable(console.at(1)));
    const QStringList file = fileLines(otherLogs.filePath(QStringLiteral("Pob.log")));
    QCOMPARE(file.size(), 1);
    QVERIFY(file.first().endsWith(QStringLiteral("[Pob] Start service Pob (v4782)")));
}

QTEST_GUILESS_MAIN(TestLogger)
#include "tst_logger.moc"
