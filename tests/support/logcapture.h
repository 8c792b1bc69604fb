// Captures the lines the service logs, in the exact layout, so tests can look for them.
#pragma once

#include <QMutex>
#include <QStringList>
#include <memory>
#include <spdlog/sinks/base_sink.h>

// Attached to the root appenders (and optionally the debug ones) for the
// lifetime of the object.
class LogCapture
{
public:
    enum Scope { Root, Debug, Both };
    explicit LogCapture(Scope scope = Root);
    ~LogCapture();

    QStringList lines() const;
    // Lines logged by one logger, message part only (after "[name] ").
    QStringList messages(const QString &logger) const;
    bool contains(const QString &logger, const QString &message) const;
    // Waits (processing events) until the message appears or the time is up.
    bool waitFor(const QString &logger, const QString &message, int timeoutMs = 5000) const;
    void clear();

private:
    class Sink;
    std::shared_ptr<Sink> m_sink;
};
