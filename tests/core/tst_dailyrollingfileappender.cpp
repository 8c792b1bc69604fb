// Roll-over, pruning and archiving of the daily-rolling log file, driven by an injected clock.
#include "dailyrollingfileappender.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipfileinfo.h>
#include <spdlog/logger.h>

namespace {

QDateTime at(const char *text)
{
    return QDateTime::fromString(QString::fromLatin1(text), QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void writeFile(const QString &path, const QByteArray &content, const QDateTime &modified = QDateTime())
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    file.write(content);
    file.flush();  // a later flush would stamp the file with the real time again
    if (modified.isValid())
        QVERIFY(file.setFileTime(modified, QFileDevice::FileModificationTime));
}

// An appender on "<tmp>/logs/Pob.log" (the directory does not exist yet),
// writing bare messages, with a clock the test sets.
struct Fixture
{
    QTemporaryDir tmp;
    QDateTime now;
    std::shared_ptr<DailyRollingFileAppender> appender;
    std::shared_ptr<spdlog::logger> logger;

    QString logsDir() const { return tmp.path() + QStringLiteral("/logs"); }
    QString path(const QString &name = QString()) const { return logsDir() + QStringLiteral("/Pob.log") + name; }

    void make(const QString &pattern, bool zip, int maxBackupIndex = 14)
    {
        appender = std::make_shared<DailyRollingFileAppender>(path(), pattern, [this] { return now; });
        appender->set_pattern("%v");
        appender->setAppendFile(true);
        appender->setZip(zip);
        appender->setMaxBackupIndex(maxBackupIndex);
        appender->setName(QStringLiteral("file"));
        appender->activateOptions();
        logger = std::make_shared<spdlog::logger>("test", appender);
    }
    void make(DailyRollingFileAppender::DatePattern pattern, bool zip, int maxBackupIndex = 14)
    {
        DailyRollingFileAppender probe;
        probe.setDatePattern(pattern);
        make(probe.datePattern(), zip, maxBackupIndex);
    }
    void write(const QDateTime &time, const QByteArray &line)
    {
        now = time;
        logger->info(std::string(line.constData(), size_t(line.size())));
        logger->flush();
    }
    // Destroying the appender waits for its archiving.
    void finish()
    {
        logger.reset();
        appender.reset();
    }
    QStringList rolledFiles() const
    {
        QStringList names = QDir(logsDir()).entryList({QStringLiteral("Pob.log.*")}, QDir::Files, QDir::Name);
        return names;
    }
};

} // namespace

class TestDailyRollingFileAppender : public QObject
{
    Q_OBJECT

private slots:
    void datePatterns_data();
    void datePatterns();
    void patternWithoutIntervalRefusesLines();
    void formatting_data();
    void formatting();
    void rollOver_data();
    void rollOver();
    void staleFileAtActivation_data();
    void staleFileAtActivation();
    void archive_data();
    void archive();
    void prune_data();
    void prune();
    void destructorWaitsForEveryArchive();
    void failedRollOverKeepsLogging();
};

void TestDailyRollingFileAppender::datePatterns_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("frequency");
    QTest::newRow("minutely") << 0 << "'.'yyyy-MM-dd-hh-mm" << "MINUTELY_ROLLOVER";
    QTest::newRow("hourly") << 1 << "'.'yyyy-MM-dd-hh" << "HOURLY_ROLLOVER";
    QTest::newRow("half-daily") << 2 << "'.'yyyy-MM-dd-a" << "HALFDAILY_ROLLOVER";
    QTest::newRow("daily") << 3 << "'.'yyyy-MM-dd" << "DAILY_ROLLOVER";
    QTest::newRow("weekly") << 4 << "'.'yyyy-ww" << "WEEKLY_ROLLOVER";
    QTest::newRow("monthly") << 5 << "'.'yyyy-MM" << "MONTHLY_ROLLOVER";
    QTest::newRow("unknown value is daily") << 42 << "'.'yyyy-MM-dd" << "DAILY_ROLLOVER";
}

void TestDailyRollingFileAppender::datePatterns()
{
    QFETCH(int, value);
    QFETCH(QString, pattern);
    QFETCH(QString, frequency);
    Fixture f;
    f.now = at("2016-03-01 10:00:00.000");
    DailyRollingFileAppender probe;
    probe.setDatePattern(DailyRollingFileAppender::DatePattern(value));
    QCOMPARE(probe.datePattern(), pattern);
    f.make(pattern, false);
    QCOMPARE(f.appender->frequencyToString(), frequency);
    QCOMPARE(f.appender->maxBackupIndex(), 14);
    QCOMPARE(DailyRollingFileAppender().maxBackupIndex(), 1);
}

void TestDailyRollingFileAppender::patternWithoutIntervalRefusesLines()
{
    Fixture f;
    f.now = at("2016-03-01 10:00:00.000");
    f.make(QStringLiteral("'.log'"), false);
    f.write(f.now, "lost");
    QVERIFY(!QFile::exists(f.path()));
}

void TestDailyRollingFileAppender::formatting_data()
{
    QTest::addColumn<QDateTime>("time");
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("text");
    QTest::newRow("quoted dot, date") << at("2016-03-01 14:07:55.120") << "'.'yyyy-MM-dd" << ".2016-03-01";
    QTest::newRow("minutes") << at("2016-03-01 04:07:55.120") << "'.'yyyy-MM-dd-hh-mm" << ".2016-03-01-04-07";
    QTest::newRow("morning") << at("2016-03-01 11:59:59.999") << "'.'yyyy-MM-dd-a" << ".2016-03-01-AM";
    QTest::newRow("afternoon") << at("2016-03-01 12:00:00.000") << "'.'yyyy-MM-dd-a" << ".2016-03-01-PM";
    QTest::newRow("week number padded") << at("2016-02-28 00:00:00.000") << "'.'yyyy-ww" << ".2016-08";
    QTest::newRow("escaped quote, millis") << at("2016-03-01 14:07:55.020") << "'it''s' ss.zzz" << "it's 55.020";
}

void TestDailyRollingFileAppender::formatting()
{
    QFETCH(QDateTime, time);
    QFETCH(QString, pattern);
    QFETCH(QString, text);
    QCOMPARE(DailyRollingFileAppender::formatDateTime(time, pattern), text);
}

void TestDailyRollingFileAppender::rollOver_data()
{
    QTest::addColumn<int>("pattern");
    QTest::addColumn<QDateTime>("first");
    QTest::addColumn<QDateTime>("second");
    QTest::addColumn<QString>("suffix");  // empty: no roll-over
    QTest::newRow("daily, across midnight") << 3 << at("2016-03-01 23:59:59.999") << at("2016-03-02 00:00:00.000") << ".2016-03-01";
    QTest::newRow("daily, silent 23:50 to 01:10") << 3 << at("2016-03-01 23:50:00.000") << at("2016-03-02 01:10:00.000") << ".2016-03-01";
    QTest::newRow("daily, same day") << 3 << at("2016-03-01 00:00:00.000") << at("2016-03-01 23:59:59.999") << "";
    QTest::newRow("weekly, Saturday to Sunday") << 4 << at("2016-03-05 12:00:00.000") << at("2016-03-06 00:00:01.000") << ".2016-08";
    QTest::newRow("weekly, Sunday to Saturday") << 4 << at("2016-03-06 00:00:01.000") << at("2016-03-12 23:59:59.000") << "";
    QTest::newRow("monthly, leap day") << 5 << at("2016-02-29 10:00:00.000") << at("2016-03-01 00:00:01.000") << ".2016-02";
    QTest::newRow("half-daily, noon") << 2 << at("2016-03-01 11:59:00.000") << at("2016-03-01 12:00:01.000") << ".2016-03-01-AM";
    QTest::newRow("hourly") << 1 << at("2016-03-01 14:59:59.000") << at("2016-03-01 15:00:00.000") << ".2016-03-01-14";
    QTest::newRow("minutely") << 0 << at("2016-03-01 14:07:30.000") << at("2016-03-01 14:08:00.000") << ".2016-03-01-14-07";
}

void TestDailyRollingFileAppender::rollOver()
{
    QFETCH(int, pattern);
    QFETCH(QDateTime, first);
    QFETCH(QDateTime, second);
    QFETCH(QString, suffix);
    Fixture f;
    f.now = first;
    f.make(DailyRollingFileAppender::DatePattern(pattern), false);
    f.write(first, "first");
    f.write(second, "second");
    if (suffix.isEmpty()) {
        QCOMPARE(readFile(f.path()), QByteArray("first\nsecond\n"));
        QCOMPARE(f.rolledFiles(), QStringList());
    } else {
        QCOMPARE(f.rolledFiles(), QStringList(QStringLiteral("Pob.log") + suffix));
        QCOMPARE(readFile(f.path(suffix)), QByteArray("first\n"));
        QCOMPARE(readFile(f.path()), QByteArray("second\n"));
    }
}

void TestDailyRollingFileAppender::staleFileAtActivation_data()
{
    QTest::addColumn<QDateTime>("modified");
    QTest::addColumn<QString>("suffix");  // empty: the file is continued
    QTest::newRow("last written days ago") << at("2016-03-01 10:00:00.000") << ".2016-03-01";
    QTest::newRow("last written yesterday evening") << at("2016-03-04 23:59:00.000") << ".2016-03-04";
    QTest::newRow("last written earlier today") << at("2016-03-05 00:30:00.000") << "";
}

void TestDailyRollingFileAppender::staleFileAtActivation()
{
    QFETCH(QDateTime, modified);
    QFETCH(QString, suffix);
    Fixture f;
    QVERIFY(QDir().mkpath(f.logsDir()));
    writeFile(f.path(), "old\n", modified);
    f.now = at("2016-03-05 09:00:00.000");
    f.make(DailyRollingFileAppender::DAILY_ROLLOVER, false);
    f.write(f.now, "new");
    if (suffix.isEmpty()) {
        QCOMPARE(readFile(f.path()), QByteArray("old\nnew\n"));
        QCOMPARE(f.rolledFiles(), QStringList());
    } else {
        QCOMPARE(readFile(f.path(suffix)), QByteArray("old\n"));
        QCOMPARE(readFile(f.path()), QByteArray("new\n"));
    }
}

void TestDailyRollingFileAppender::archive_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("method");
    QTest::newRow("62 bytes + line end: stored") << QByteArray(62, 'a') << 0;
    QTest::newRow("63 bytes + line end: deflated") << QByteArray(63, 'a') << int(Z_DEFLATED);
    QTest::newRow("long: deflated") << QByteArray("2016-03-01 23:59:59.000 INFO  [USB-1] read: 0A 1B (2 bytes)").repeated(50) << int(Z_DEFLATED);
}

void TestDailyRollingFileAppender::archive()
{
    QFETCH(QByteArray, line);
    QFETCH(int, method);
    Fixture f;
    f.now = at("2016-03-01 23:00:00.000");
    f.make(DailyRollingFileAppender::DAILY_ROLLOVER, true);
    f.write(f.now, line);
    const QFile::Permissions permissions = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup;
    QVERIFY(QFile::setPermissions(f.path(), permissions));
    f.write(at("2016-03-02 00:00:01.000"), "next day");
    f.finish();

    QCOMPARE(f.rolledFiles(), QStringList(QStringLiteral("Pob.log.2016-03-01.zip")));
    QCOMPARE(readFile(f.path()), QByteArray("next day\n"));
    QuaZip zip(f.path(QStringLiteral(".2016-03-01.zip")));
    QVERIFY(zip.open(QuaZip::mdUnzip));
    QCOMPARE(zip.getFileNameList(), QStringList(QStringLiteral("Pob.log.2016-03-01")));
    QVERIFY(zip.goToFirstFile());
    QuaZipFileInfo64 info;
    QVERIFY(zip.getCurrentFileInfo(&info));
    QCOMPARE(int(info.method), method);
    QCOMPARE(info.getPermissions(), permissions);
    QuaZipFile entry(&zip);
    QVERIFY(entry.open(QIODevice::ReadOnly));
    QCOMPARE(entry.readAll(), line + '\n');
}

void TestDailyRollingFileAppender::prune_data()
{
    QTest::addColumn<QStringList>("existing");
    QTest::addColumn<bool>("zip");
    QTest::addColumn<QStringList>("remaining");
    QStringList zipped, plain, mixed;
    for (int day = 16; day <= 29; ++day) {
        const QString name = QStringLiteral("Pob.log.2016-02-%1").arg(day);
        zipped << name + QStringLiteral(".zip");
        plain << name;
        mixed << (day % 2 ? name : name + QStringLiteral(".zip"));
    }
    QTest::newRow("fourteen archives") << zipped << true << (zipped.mid(1) << QStringLiteral("Pob.log.2016-03-01.zip"));
    QTest::newRow("zip off: plain files") << plain << false << (plain.mid(1) << QStringLiteral("Pob.log.2016-03-01"));
    QTest::newRow("plain and zipped count alike") << mixed << true << (mixed.mid(1) << QStringLiteral("Pob.log.2016-03-01.zip"));
    QTest::newRow("room left: nothing deleted") << zipped.mid(5) << true << (zipped.mid(5) << QStringLiteral("Pob.log.2016-03-01.zip"));
}

void TestDailyRollingFileAppender::prune()
{
    QFETCH(QStringList, existing);
    QFETCH(bool, zip);
    QFETCH(QStringList, remaining);
    Fixture f;
    QVERIFY(QDir().mkpath(f.logsDir()));
    for (const QString &name : existing)
        writeFile(f.logsDir() + QLatin1Char('/') + name, "x");
    f.now = at("2016-03-01 23:00:00.000");
    f.make(DailyRollingFileAppender::DAILY_ROLLOVER, zip);
    f.write(f.now, "day");
    f.write(at("2016-03-02 00:00:01.000"), "next day");
    f.finish();
    remaining.sort();
    QCOMPARE(f.rolledFiles(), remaining);
}

void TestDailyRollingFileAppender::destructorWaitsForEveryArchive()
{
    Fixture f;
    f.now = at("2016-03-01 10:00:00.000");
    f.make(DailyRollingFileAppender::MINUTELY_ROLLOVER, true);
    const QByteArray bulk = QByteArray("0123456789abcdef", 16).repeated(64 * 1024);
    QStringList expected;
    for (int minute = 0; minute < 6; ++minute) {
        f.write(f.now.addSecs(60), bulk);
        expected << QStringLiteral("Pob.log.2016-03-01-10-%1.zip").arg(minute + 1, 2, 10, QLatin1Char('0'));
    }
    expected.removeLast();
    expected.prepend(QStringLiteral("Pob.log.2016-03-01-10-00.zip"));
    f.finish();
    QCOMPARE(f.rolledFiles(), expected);
}

void TestDailyRollingFileAppender::failedRollOverKeepsLogging()
{
    Fixture f;
    QVERIFY(QDir().mkpath(f.path(QStringLiteral(".2016-03-01/blocker"))));
    f.now = at("2016-03-01 23:00:00.000");
    f.make(DailyRollingFileAppender::DAILY_ROLLOVER, false);
    f.write(f.now, "before");
    f.write(at("2016-03-02 00:00:01.000"), "after");
    QCOMPARE(readFile(f.path()), QByteArray("before\nafter\n"));
}

QTEST_GUILESS_MAIN(TestDailyRollingFileAppender)
#include "tst_dailyrollingfileappender.moc"
