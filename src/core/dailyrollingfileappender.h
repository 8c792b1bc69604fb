// The service log's file appender: a new file every interval, rolled files zipped in the background and pruned.
#pragma once

#include <QDateTime>
#include <QFile>
#include <QFuture>
#include <QList>
#include <QString>
#include <functional>
#include <mutex>
#include <spdlog/sinks/base_sink.h>

// Writes formatted lines to one file. The first line written after the end of
// the current interval moves the file aside under the name of the interval
// (file name + date suffix), removes the oldest rolled files so that at most
// maxBackupIndex remain, packs the moved file into "<name>.zip" on Qt's global
// thread pool and starts a fresh file. The sink's mutex is the appender's lock:
// every member below is read and written under it.
class DailyRollingFileAppender : public spdlog::sinks::base_sink<std::mutex>
{
public:
    enum DatePattern {
        MINUTELY_ROLLOVER = 0,
        HOURLY_ROLLOVER,
        HALFDAILY_ROLLOVER,
        DAILY_ROLLOVER,
        WEEKLY_ROLLOVER,
        MONTHLY_ROLLOVER
    };

    using Clock = std::function<QDateTime()>;

    explicit DailyRollingFileAppender(Clock clock = &QDateTime::currentDateTime);
    DailyRollingFileAppender(const QString &fileName, const QString &datePattern,
                             Clock clock = &QDateTime::currentDateTime);
    // Closes the file, then waits for every archiving task this appender started.
    ~DailyRollingFileAppender() override;

    QString name() const;
    void setName(const QString &name);
    QString fileName() const;
    void setFileName(const QString &fileName);
    bool appendFile() const;
    void setAppendFile(bool append);

    QString datePattern() const;
    void setDatePattern(const QString &pattern);
    // Any value outside the enum selects DAILY_ROLLOVER.
    void setDatePattern(DatePattern pattern);
    int maxBackupIndex() const;
    void setMaxBackupIndex(int count);
    bool zip() const;
    void setZip(bool zip);

    // Name of the interval in force, e.g. "DAILY_ROLLOVER".
    QString frequencyToString() const;

    // Derives the interval from the date pattern, opens the file and rolls a
    // file left over from an earlier interval aside at once. An appender whose
    // pattern gives no interval stays inactive and refuses every line.
    void activateOptions();

    // Date formatting of the date patterns: Qt-style fields (yyyy, MM, dd, hh,
    // mm, ss, zzz), quoted literals ('.'), "ww" the week of the year and "a"
    // the AM/PM marker.
    static QString formatDateTime(const QDateTime &time, const QString &pattern);

protected:
    void sink_it_(const spdlog::details::log_msg &msg) override;
    void flush_() override;

    // Callers hold the appender's lock.
    void computeFrequency();
    void computeRollOverTime();
    void rollOver(const QDateTime &time);
    // Packs fileName into fileName + ".zip" and deletes it once the archive is
    // complete; runs on a pool thread and touches no member.
    static void zip(const QString &fileName);

private:
    QDateTime addInterval(const QDateTime &time, int count) const;
    bool openFile();
    void closeFile();
    void prune();
    void reportError(const QString &message) const;

    Clock m_clock;
    QString m_name;
    QString m_fileName;
    bool m_appendFile = false;
    QFile m_file;
    bool m_openFailureReported = false;

    QString m_datePattern;
    DatePattern m_frequency = DAILY_ROLLOVER;
    QString m_activeDatePattern;
    QDateTime m_rollOverTime;
    QString m_rollOverSuffix;
    int m_maxBackupIndex = 1;
    bool m_zip = false;
    QList<QFuture<void>> m_zipTasks;
};
