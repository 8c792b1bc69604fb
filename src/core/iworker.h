// The worker interfaces: every register is served by a port worker paired with an exchange worker.
#pragma once

#include <QByteArray>
#include <QObject>

// A worker runs on a thread of its own. Each implementation declares the
// signal finished(), emitted once in its own thread when its work has ended.
class IWorker : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    ~IWorker() override;

public slots:
    // Runs the work; invoked in the worker's thread when that thread starts.
    virtual void start() = 0;
    // Records a stop request; may be called from any thread, more than once.
    virtual void stop() = 0;
};

// A port worker owns the line to one register. Each implementation declares
// the signals finished(), portDataReceived(QByteArray), portConnectionLost()
// and portConnectionEstablished().
class IPortWorker : public IWorker
{
    Q_OBJECT
public:
    using IWorker::IWorker;
    ~IPortWorker() override;

public slots:
    // Link-protocol bytes to be written to the register, in order.
    virtual void onOfdDataReceived(const QByteArray &data) = 0;
};
