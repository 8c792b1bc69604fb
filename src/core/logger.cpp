// Named loggers made on demand, all writing through the service's shared appenders.
#include "logger.h"

#include "dailyrollingfileappender.h"

#include <QDateTime>
#include <QMutex>
#include <QMutexLocker>
#include <spdlog/formatter.h>
#include <spdlog/logger.h>
#include <spdlog/sinks/dist_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <QDir>
#include <unordered_map>

namespace {

const char DEBUG_PREFIX[] = "Debug-";

class LayoutFormatter : public spdlog::formatter
{
public:
    void format(const spdlog::details::log_msg &msg, spdlog::memory_buf_t &dest) override
    {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(msg.time.time_since_epoch()).count();
        const QByteArray stamp = QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz")).toLatin1();
        dest.append(stamp.constData(), stamp.constData() + stamp.size());
        dest.push_back(' ');
        const char *level = levelName(msg.level);
        dest.append(level, level + 5);
        dest.push_back(' ');
        dest.push_back('[');
        dest.append(msg.logger_name.data(), msg.logger_name.data() + msg.logger_name.size());
        dest.push_back(']');
        dest.push_back(' ');
        dest.append(msg.payload.data(), msg.payload.data() + msg.payload.size());
        dest.push_back('\n');
    }

    std::unique_ptr<spdlog::formatter> clone() const override
    {
        return std::make_unique<LayoutFormatter>();
    }

private:
    static const char *levelName(spdlog::level::level_enum level)
    {
        switch (level) {
        case spdlog::level::trace: return "TRACE";
        case spdlog::level::debug: return "DEBUG";
        case spdlog::level::info: return "INFO ";
        case spdlog::level::warn: return "WARN ";
        case spdlog::level::err: return "ERROR";
        case spdlog::level::critical: return "FATAL";
        default: return "OFF  ";
        }
    }
};

struct Registry
{
    std::shared_ptr<spdlog::sinks::dist_sink_mt> root = std::make_shared<spdlog::sinks::dist_sink_mt>();
    std::shared_ptr<spdlog::sinks::dist_sink_mt> debug = std::make_shared<spdlog::sinks::dist_sink_mt>();
    QMutex lock;
    std::unordered_map<std::string, std::shared_ptr<spdlog::logger>> loggers;
};

Registry &registry()
{
    static Registry r;
    return r;
}

std::shared_ptr<spdlog::logger> loggerFor(const QString &name)
{
    Registry &r = registry();
    const std::string key = name.toStdString();
    QMutexLocker locker(&r.lock);
    auto it = r.loggers.find(key);
    if (it != r.loggers.end())
        return it->second;
    const bool isDebug = name.startsWith(QLatin1String(DEBUG_PREFIX));
    auto logger = std::make_shared<spdlog::logger>(key, isDebug ? r.debug : r.root);
    // The service logs everything from DEBUG up, and every line reaches its file at once.
    logger->set_level(spdlog::level::trace);
    logger->flush_on(spdlog::level::trace);
    r.loggers.emplace(key, logger);
    return logger;
}

void log(const std::shared_ptr<spdlog::logger> &logger, spdlog::level::level_enum level, const QString &message)
{
    const QByteArray utf8 = message.toUtf8();
    logger->log(spdlog::source_loc{}, level, spdlog::string_view_t(utf8.constData(), size_t(utf8.size())));
}

} // namespace

Logger::Logger(const QString &name)
    : m_logger(loggerFor(name))
{
}

void Logger::trace(const QString &message) const { log(m_logger, spdlog::level::trace, message); }
void Logger::debug(const QString &message) const { log(m_logger, spdlog::level::debug, message); }
void Logger::info(const QString &message) const { log(m_logger, spdlog::level::info, message); }
void Logger::warn(const QString &message) const { log(m_logger, spdlog::level::warn, message); }
void Logger::error(const QString &message) const { log(m_logger, spdlog::level::err, message); }

QString Logger::name() const
{
    return QString::fromStdString(m_logger->name());
}

std::unique_ptr<spdlog::formatter> Logger::layout()
{
    return std::make_unique<LayoutFormatter>();
}

void Logger::addRootSink(const spdlog::sink_ptr &sink)
{
    sink->set_formatter(layout());
    registry().root->add_sink(sink);
}

void Logger::addDebugSink(const spdlog::sink_ptr &sink)
{
    sink->set_formatter(layout());
    registry().debug->add_sink(sink);
}

void Logger::removeSink(const spdlog::sink_ptr &sink)
{
    registry().root->remove_sink(sink);
    registry().debug->remove_sink(sink);
}

namespace {

// Daily roll-over, appended to across restarts, two weeks of zipped history.
std::shared_ptr<DailyRollingFileAppender> rollingFile(const QString &name, const QString &logsDir, const QString &fileName)
{
    auto appender = std::make_shared<DailyRollingFileAppender>();
    appender->setFileName(logsDir + QDir::separator() + fileName);
    appender->setDatePattern(DailyRollingFileAppender::DAILY_ROLLOVER);
    appender->setAppendFile(true);
    appender->setMaxBackupIndex(14);
    appender->setZip(true);
    appender->setName(name);
    appender->activateOptions();
    return appender;
}

} // namespace

void Logger::initRoot(bool consoleMode, const QString &logsDir)
{
    if (consoleMode) {
        // One console appender for the main and the debug loggers alike.
        const auto console = std::make_shared<spdlog::sinks::stdout_sink_mt>();
        addRootSink(console);
        addDebugSink(console);
    }
    addRootSink(rollingFile(QStringLiteral("file"), logsDir, QStringLiteral("Pob.log")));
}

void Logger::attachDebugFile(const QString &logsDir)
{
    static QMutex lock;
    static QStringList attached;
    QMutexLocker locker(&lock);
    // "logs" and "./logs/" are one directory and so one Debug.log.
    const QString dir = QDir::cleanPath(QDir(logsDir).absolutePath());
    if (attached.contains(dir))
        return;
    attached.append(dir);
    addDebugSink(rollingFile(QStringLiteral("debug"), logsDir, QStringLiteral("Debug.log")));
}
