// The service log's file appender: a new file every interval, rolled files zipped in the background and pruned.
#include "dailyrollingfileappender.h"

#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QtConcurrent/QtConcurrentRun>
#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipnewinfo.h>
#include <cstdio>

namespace {

const char *const FREQUENCY_NAMES[] = {
    "MINUTELY_ROLLOVER", "HOURLY_ROLLOVER", "HALFDAILY_ROLLOVER",
    "DAILY_ROLLOVER", "WEEKLY_ROLLOVER", "MONTHLY_ROLLOVER",
};

const char *const PATTERNS[] = {
    "'.'yyyy-MM-dd-hh-mm", "'.'yyyy-MM-dd-hh", "'.'yyyy-MM-dd-a",
    "'.'yyyy-MM-dd", "'.'yyyy-ww", "'.'yyyy-MM",
};

// Entries shorter than this are stored: deflating them would only add bytes.
constexpr qint64 DEFLATE_MIN_SIZE = 64;

QString number(int value, int width)
{
    return QStringLiteral("%1").arg(value, width, 10, QLatin1Char('0'));
}

} // namespace

DailyRollingFileAppender::DailyRollingFileAppender(Clock clock)
    : m_clock(std::move(clock))
{
}

DailyRollingFileAppender::DailyRollingFileAppender(const QString &fileName, const QString &datePattern, Clock clock)
    : m_clock(std::move(clock))
    , m_fileName(fileName)
    , m_datePattern(datePattern)
{
}

DailyRollingFileAppender::~DailyRollingFileAppender()
{
    QList<QFuture<void>> tasks;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closeFile();
        tasks.swap(m_zipTasks);
    }
    for (QFuture<void> &task : tasks)
        task.waitForFinished();
}

QString DailyRollingFileAppender::name() const
{
    std::lock_guard<std::mutex> lock(const_cast<std::mutex &>(mutex_));
    return m_name;
}

void DailyRollingFileAppender::setName(const QString &name)
{
    std::lock_guard<std::mutex> lock(mutex_);
    m_name = name;
}

QString DailyRollingFileAppender::fileName() const
{
    std::lock_guard<std::mutex> lock(const_cast<std::mutex &>(mutex_));
    return m_fileName;
}

void DailyRollingFileAppender::setFileName(const QString &fileName)
{
    std::lock_guard<std::mutex> lock(mutex_);
    m_fileName = fileName;
}

bool DailyRollingFileAppender::appendFile() const
{
    std::lock_guard<std::mutex> lock(const_cast<std::mutex &>(mutex_));
    return m_appendFile;
}

void DailyRollingFileAppender::setAppendFile(bool append)
{
    std::lock_guard<std::mutex> lock(mutex_);
    m_appendFile = append;
}

QString DailyRollingFileAppender::datePattern() const
{
    std::lock_guard<std::mutex> lock(const_cast<std::mutex &>(mutex_));
    return m_datePattern;
}

void DailyRollingFileAppender::setDatePattern(const QString &pattern)
{
    std::lock_guard<std::mutex> lock(mutex_);
    m_datePattern = pattern;
}

void DailyRollingFileAppender::setDatePattern(DatePattern pattern)
{
    const int index = (pattern >= MINUTELY_ROLLOVER && pattern <= MONTHLY_ROLLOVER) ? pattern : DAILY_ROLLOVER;
    setDatePattern(QString::fromLatin1(PATTERNS[index]));
}

int DailyRollingFileAppender::maxBackupIndex() const
{
    std::lock_guard<std::mutex> lock(const_cast<std::mutex &>(mutex_));
    return m_maxBackupIndex;
}

void DailyRollingFileAppender::setMaxBackupIndex(int count)
{
    std::lock_guard<std::mutex> lock(mutex_);
    m_maxBackupIndex = count;
}

bool DailyRollingFileAppender::zip() const
{
    std::lock_guard<std::mutex> lock(const_cast<std::mutex &>(mutex_));
    return m_zip;
}

void DailyRollingFileAppender::setZip(bool zip)
{
    std::lock_guard<std::mutex> lock(mutex_);
    m_zip = zip;
}

QString DailyRollingFileAppender::frequencyToString() const
{
    std::lock_guard<std::mutex> lock(const_cast<std::mutex &>(mutex_));
    return QString::fromLatin1(FREQUENCY_NAMES[m_frequency]);
}

void DailyRollingFileAppender::activateOptions()
{
    std::lock_guard<std::mutex> lock(mutex_);
    const QFileInfo existing(m_fileName);
    const QDateTime lastModified = existing.exists() ? existing.lastModified() : QDateTime();

    computeFrequency();
    if (m_activeDatePattern.isEmpty())
        return;
    computeRollOverTime();
    closeFile();

    // A file last written in an earlier interval is moved aside under that
    // interval's name before anything is opened, so that no mode can truncate it.
    const QDateTime intervalStart = addInterval(m_rollOverTime, -1);
    if (lastModified.isValid() && lastModified < intervalStart)
        rollOver(lastModified);
    if (!m_file.isOpen())
        openFile();
}

void DailyRollingFileAppender::sink_it_(const spdlog::details::log_msg &msg)
{
    if (m_activeDatePattern.isEmpty()) {
        reportError(QStringLiteral("Use of appender '%1' without having a valid date pattern set").arg(m_name));
        return;
    }
    // An event at the very end of the interval already belongs to the next one.
    if (m_clock() >= m_rollOverTime)
        rollOver(QDateTime());
    if (!m_file.isOpen())
        return;
    spdlog::memory_buf_t formatted;
    formatter_->format(msg, formatted);
    m_file.write(formatted.data(), qint64(formatted.size()));
}

void DailyRollingFileAppender::flush_()
{
    if (m_file.isOpen())
        m_file.flush();
}

void DailyRollingFileAppender::computeFrequency()
{
    m_activeDatePattern.clear();
    const QDateTime reference(QDate(1999, 1, 1), QTime(0, 0));
    const QString referenceText = formatDateTime(reference, m_datePattern);
    const QDateTime candidates[] = {
        reference.addSecs(60), reference.addSecs(3600), reference.addSecs(43200),
        reference.addDays(1), reference.addDays(7), reference.addMonths(1),
    };
    for (int i = MINUTELY_ROLLOVER; i <= MONTHLY_ROLLOVER; ++i) {
        if (formatDateTime(candidates[i], m_datePattern) != referenceText) {
            m_frequency = DatePattern(i);
            m_activeDatePattern = m_datePattern;
            return;
        }
    }
    reportError(QStringLiteral("The pattern '%1' does not specify a frequency for appender '%2'").arg(m_datePattern, m_name));
}

void DailyRollingFileAppender::computeRollOverTime()
{
    const QDateTime now = m_clock();
    const QDate today = now.date();
    const QTime time = now.time();
    QDateTime start;
    switch (m_frequency) {
    case MINUTELY_ROLLOVER: start = QDateTime(today, QTime(time.hour(), time.minute())); break;
    case HOURLY_ROLLOVER: start = QDateTime(today, QTime(time.hour(), 0)); break;
    case HALFDAILY_ROLLOVER: start = QDateTime(today, QTime(time.hour() < 12 ? 0 : 12, 0)); break;
    case DAILY_ROLLOVER: start = QDateTime(today, QTime(0, 0)); break;
    // Weeks start on Sunday; dayOfWeek() counts Monday as 1 and Sunday as 7.
    case WEEKLY_ROLLOVER: start = QDateTime(today.addDays(-(today.dayOfWeek() % 7)), QTime(0, 0)); break;
    case MONTHLY_ROLLOVER: start = QDateTime(QDate(today.year(), today.month(), 1), QTime(0, 0)); break;
    }
    m_rollOverTime = addInterval(start, 1);
    m_rollOverSuffix = formatDateTime(start, m_activeDatePattern);
}

void DailyRollingFileAppender::rollOver(const QDateTime &time)
{
    QString suffix;
    if (time.isValid()) {
        suffix = formatDateTime(time, m_activeDatePattern);
    } else {
        suffix = m_rollOverSuffix;
        computeRollOverTime();
        if (m_rollOverSuffix == suffix)
            return;
    }

    closeFile();
    prune();

    // A roll-over that cannot move the file aside keeps writing to the current
    // file: losing every later line would be worse than a long file.
    const QString target = m_fileName + suffix;
    if (QFileInfo::exists(target) && !QFile::remove(target)) {
        reportError(QStringLiteral("Unable to remove file '%1' for appender '%2'").arg(target, m_name));
        openFile();
        return;
    }
    if (!QFile::rename(m_fileName, target)) {
        reportError(QStringLiteral("Unable to rename file '%1' to '%2' for appender '%3'").arg(m_fileName, target, m_name));
        openFile();
        return;
    }
    if (m_zip) {
        m_zipTasks.removeIf([](const QFuture<void> &task) { return task.isFinished(); });
        m_zipTasks.append(QtConcurrent::run([target] { zip(target); }));
    }
    openFile();
}

void DailyRollingFileAppender::zip(const QString &fileName)
{
    const QFileInfo info(fileName);
    QuaZip archive(info.absoluteFilePath() + QStringLiteral(".zip"));
    if (!archive.open(QuaZip::mdCreate))
        return;
    QFile rolled(fileName);
    if (!rolled.open(QIODevice::ReadOnly)) {
        archive.close();
        return;
    }
    const QByteArray content = rolled.readAll();
    rolled.close();

    QuaZipNewInfo entryInfo(info.fileName(), fileName);
    entryInfo.setPermissions(rolled.permissions());
    QuaZipFile entry(&archive);
    const int method = content.size() >= DEFLATE_MIN_SIZE ? Z_DEFLATED : 0;
    bool complete = entry.open(QIODevice::WriteOnly, entryInfo, nullptr, 0, method, Z_DEFAULT_COMPRESSION)
        && entry.write(content) == content.size();
    entry.close();
    complete = complete && entry.getZipError() == ZIP_OK;
    archive.close();
    complete = complete && archive.getZipError() == ZIP_OK;
    // Only a complete archive replaces the rolled file (a full disk must not cost the log).
    if (complete)
        QFile::remove(fileName);
}

QDateTime DailyRollingFileAppender::addInterval(const QDateTime &time, int count) const
{
    switch (m_frequency) {
    case MINUTELY_ROLLOVER: return time.addSecs(60 * count);
    case HOURLY_ROLLOVER: return time.addSecs(3600 * count);
    case HALFDAILY_ROLLOVER: return time.addSecs(43200 * count);
    case DAILY_ROLLOVER: return time.addDays(count);
    case WEEKLY_ROLLOVER: return time.addDays(7 * count);
    case MONTHLY_ROLLOVER: return time.addMonths(count);
    }
    return time;
}

bool DailyRollingFileAppender::openFile()
{
    const QFileInfo info(m_fileName);
    QDir().mkpath(info.absolutePath());
    m_file.setFileName(m_fileName);
    const QIODevice::OpenMode mode = QIODevice::WriteOnly | (m_appendFile ? QIODevice::Append : QIODevice::Truncate);
    if (m_file.open(mode)) {
        m_openFailureReported = false;
        return true;
    }
    if (!m_openFailureReported) {
        reportError(QStringLiteral("Unable to open file '%1' for appender '%2': %3").arg(m_fileName, m_name, m_file.errorString()));
        m_openFailureReported = true;
    }
    return false;
}

void DailyRollingFileAppender::closeFile()
{
    if (m_file.isOpen())
        m_file.close();
}

void DailyRollingFileAppender::prune()
{
    const QFileInfo info(m_fileName);
    QDir dir = info.absoluteDir();
    const QStringList rolled = dir.entryList({info.fileName() + QStringLiteral(".*")},
                                             QDir::Files | QDir::NoSymLinks | QDir::Hidden, QDir::Name);
    // A limit below one would reach past the list; nothing is left then.
    const qsizetype excess = qMin(rolled.size(), rolled.size() - m_maxBackupIndex + 1);
    for (qsizetype i = 0; i < excess; ++i)
        dir.remove(rolled.at(i));
}

void DailyRollingFileAppender::reportError(const QString &message) const
{
    std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
    std::fflush(stderr);
}

QString DailyRollingFileAppender::formatDateTime(const QDateTime &time, const QString &pattern)
{
    const QDate date = time.date();
    const QTime clock = time.time();
    const QLocale c = QLocale::c();
    QString out;
    const qsizetype n = pattern.size();
    qsizetype i = 0;
    while (i < n) {
        const QChar ch = pattern.at(i);
        if (ch == QLatin1Char('\'')) {
            // Quoted literal; two quotes in a row stand for one quote.
            ++i;
            if (i < n && pattern.at(i) == QLatin1Char('\'')) {
                out += QLatin1Char('\'');
                ++i;
                continue;
            }
            while (i < n) {
                if (pattern.at(i) == QLatin1Char('\'')) {
                    if (i + 1 < n && pattern.at(i + 1) == QLatin1Char('\'')) {
                        out += QLatin1Char('\'');
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                out += pattern.at(i++);
            }
            continue;
        }
        qsizetype j = i;
        while (j < n && pattern.at(j) == ch)
            ++j;
        const int len = int(j - i);
        switch (ch.unicode()) {
        case 'y': out += len >= 4 ? number(date.year(), 4) : number(date.year() % 100, 2); break;
        case 'M':
            out += len >= 4 ? c.monthName(date.month()) : len == 3 ? c.monthName(date.month(), QLocale::ShortFormat)
                                                                   : number(date.month(), len);
            break;
        case 'd':
            out += len >= 4 ? c.dayName(date.dayOfWeek()) : len == 3 ? c.dayName(date.dayOfWeek(), QLocale::ShortFormat)
                                                                     : number(date.day(), len);
            break;
        case 'h':
        case 'H': out += number(clock.hour(), qMin(len, 2)); break;
        case 'm': out += number(clock.minute(), qMin(len, 2)); break;
        case 's': out += number(clock.second(), qMin(len, 2)); break;
        case 'z': out += len >= 3 ? number(clock.msec(), 3) : QString::number(clock.msec()); break;
        case 'w': out += number(date.weekNumber(), qMin(len, 2)); break;
        case 'a': out += clock.hour() < 12 ? QStringLiteral("AM") : QStringLiteral("PM"); break;
        default: out += pattern.mid(i, len); break;
        }
        i = j;
    }
    return out;
}
