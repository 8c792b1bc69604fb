// Named loggers made on demand, all writing through the service's shared appenders.
#pragma once

#include <QString>
#include <memory>
#include <spdlog/common.h>

namespace spdlog {
class logger;
class formatter;
}

// One logger per object name. Lines of every logger reach the root appenders
// (the console in console mode, Pob.log), except those of loggers whose name
// begins with "Debug-": they reach only the debug appenders (Debug.log and the
// console), never the main log.
class Logger
{
public:
    explicit Logger(const QString &name);

    void trace(const QString &message) const;
    void debug(const QString &message) const;
    void info(const QString &message) const;
    void warn(const QString &message) const;
    void error(const QString &message) const;

    QString name() const;

    // The layout "%d %-5p [%c] %m%n": local time with milliseconds, the level
    // in upper case padded to five, the logger name in brackets, the message.
    static std::unique_ptr<spdlog::formatter> layout();

    // Appenders; each gets the layout when it is added.
    static void addRootSink(const spdlog::sink_ptr &sink);
    static void addDebugSink(const spdlog::sink_ptr &sink);
    static void removeSink(const spdlog::sink_ptr &sink);

    // The service's set-up: the console appender in console mode, then the
    // daily-rolling "Pob.log" in logsDir.
    static void initRoot(bool consoleMode, const QString &logsDir);
    // The daily-rolling "Debug.log" in logsDir behind every "Debug-" logger;
    // made once per directory and shared, so the file rolls over only once.
    static void attachDebugFile(const QString &logsDir);

private:
    std::shared_ptr<spdlog::logger> m_logger;
};
