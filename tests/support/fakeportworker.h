// A scripted port worker: the test plays the register's side of a link through it.
#pragma once

#include "iworker.h"

#include <QByteArray>
#include <QMutex>
#include <QThread>
#include <atomic>

// Event-driven: start() returns at once and the worker lives on its thread's
// event loop. Every call below is safe from the test thread; the signals are
// emitted on the worker's own thread, as a real port worker emits them.
class FakePortWorker : public IPortWorker
{
    Q_OBJECT
public:
    explicit FakePortWorker(const QString &name = QStringLiteral("fake"));
    ~FakePortWorker() override;

    void feed(const QByteArray &bytes);  // the register sends bytes
    void linkUp();                       // portConnectionEstablished()
    void linkDown();                     // portConnectionLost()
    void finish();                       // the worker gives up by itself

    QByteArray written() const;          // everything given to onOfdDataReceived
    QByteArray takeWritten();            // the same, and forgets it
    // Waits (processing the test thread's events) until at least n bytes were written.
    bool waitForWritten(int n, int timeoutMs = 5000) const;

    bool hasStarted() const { return m_started; }
    int stopCalls() const { return m_stopCalls; }
    QThread *startThread() const { return m_startThread; }

    // Set when any FakePortWorker is destroyed; lets tests see pairs wind down.
    static std::atomic<int> destroyedCount;

signals:
    void finished();
    void portDataReceived(QByteArray data);
    void portConnectionLost();
    void portConnectionEstablished();

public slots:
    void start() override;
    void stop() override;
    void onOfdDataReceived(const QByteArray &data) override;

private:
    void endOnce();

    mutable QMutex m_lock;
    QByteArray m_written;
    std::atomic<bool> m_started {false};
    std::atomic<bool> m_ended {false};
    std::atomic<int> m_stopCalls {0};
    std::atomic<QThread *> m_startThread {nullptr};
};
