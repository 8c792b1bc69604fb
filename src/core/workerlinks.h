// Pairs every port worker with its exchange worker on threads of their own, and stops the pairs again.
#pragma once

#include "iworker.h"

#include <QList>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <memory>

class WorkerLinks : public QObject
{
    Q_OBJECT
public:
    explicit WorkerLinks(QObject *parent = nullptr);
    ~WorkerLinks() override;

    // Puts each worker on a thread of its own, connects the pair (data, link
    // state and the end of either reach the other) and starts the exchange
    // worker's thread, then the port worker's. The exchange worker must offer
    // the signals sendData(QByteArray) and finished() and the slots
    // onDataReceived(QByteArray), pause() and unpause(). May be called from
    // any thread; the threads' objects are deleted by this object's thread.
    void link(IPortWorker *portWorker, IWorker *ofdWorker);

    // Calls stop() directly on every port worker that has not finished yet,
    // in the order the pairs were linked. Returns without waiting. The list
    // stays locked meanwhile, so that no worker can finish and be deleted
    // in between: a worker's stop() must not wait for its own thread.
    void stopAll();

    // The port workers that have not finished yet, in link order. A worker is
    // dropped the moment it emits finished(), before it can be deleted.
    QList<IPortWorker *> livePortWorkers() const;

    // Processes the calling thread's events until every linked pair's threads
    // have finished and been deleted, or the time is up; true when all have.
    // Meant for the thread this object lives in, after stopAll().
    bool waitForAll(int timeoutMs);

    // The port workers, shared with the watches that drop each worker as it
    // finishes; the watches may outlive this object.
    struct LiveList
    {
        QMutex lock;
        QList<IPortWorker *> portWorkers;
    };

private:
    QThread *makeThread(IWorker *worker);

    std::shared_ptr<LiveList> m_live;
    mutable QMutex m_threadsLock;
    QList<QPointer<QThread>> m_threads;
};
