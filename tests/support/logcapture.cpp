// Captures the lines the service logs, in the exact layout, so tests can look for them.
#include "logcapture.h"

#include "logger.h"

#include <QDeadlineTimer>
#include <QTest>

class LogCapture::Sink : public spdlog::sinks::base_sink<std::mutex>
{
public:
    QStringList lines() const
    {
        QMutexLocker locker(&m_linesLock);
        return m_lines;
    }
    void clear()
    {
        QMutexLocker locker(&m_linesLock);
        m_lines.clear();
    }

protected:
    void sink_it_(const spdlog::details::log_msg &msg) override
    {
        spdlog::memory_buf_t formatted;
        formatter_->format(msg, formatted);
        QString line = QString::fromUtf8(formatted.data(), int(formatted.size()));
        if (line.endsWith(QLatin1Char('\n')))
            line.chop(1);
        QMutexLocker locker(&m_linesLock);
        m_lines.append(line);
    }
    void flush_() override {}

private:
    mutable QMutex m_linesLock;
    QStringList m_lines;
};

LogCapture::LogCapture(Scope scope)
    : m_sink(std::make_shared<Sink>())
{
    if (scope == Root || scope == Both)
        Logger::addRootSink(m_sink);
    if (scope == Debug || scope == Both)
        Logger::addDebugSink(m_sink);
}

LogCapture::~LogCapture()
{
    Logger::removeSink(m_sink);
}

QStringList LogCapture::lines() const
{
    return m_sink->lines();
}

QStringList LogCapture::messages(const QString &logger) const
{
    const QString tag = QStringLiteral("[%1] ").arg(logger);
    QStringList result;
    for (const QString &line : m_sink->lines()) {
        const int at = line.indexOf(tag);
        if (at >= 0)
            result.append(line.mid(at + tag.size()));
    }
    return result;
}

bool LogCapture::contains(const QString &logger, const QString &message) const
{
    return messages(logger).contains(message);
}

bool LogCapture::waitFor(const QString &logger, const QString &message, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    while (!contains(logger, message)) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(10);
    }
    return true;
}

void LogCapture::clear()
{
    m_sink->clear();
}
