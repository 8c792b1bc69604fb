// Pairs every port worker with its exchange worker on threads of their own, and stops the pairs again.
#include "workerlinks.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

namespace {

// A child of the port worker, so it lives and dies on the worker's thread:
// the worker's finished() reaches it directly, before the worker's deferred
// deletion can run, and takes the worker off the live list.
class PortWatch : public QObject
{
    Q_OBJECT
public:
    PortWatch(IPortWorker *worker, std::shared_ptr<WorkerLinks::LiveList> live)
        : QObject(worker)
        , m_worker(worker)
        , m_live(std::move(live))
    {
    }

public slots:
    void portWorkerFinished()
    {
        QMutexLocker locker(&m_live->lock);
        m_live->portWorkers.removeAll(m_worker);
    }

private:
    IPortWorker *m_worker;
    std::shared_ptr<WorkerLinks::LiveList> m_live;
};

} // namespace

WorkerLinks::WorkerLinks(QObject *parent)
    : QObject(parent)
    , m_live(std::make_shared<LiveList>())
{
}

WorkerLinks::~WorkerLinks() = default;

QThread *WorkerLinks::makeThread(IWorker *worker)
{
    auto *thread = new QThread;
    worker->moveToThread(thread);
    connect(thread, SIGNAL(started()), worker, SLOT(start()));
    connect(thread, SIGNAL(finished()), worker, SLOT(stop()));
    connect(worker, SIGNAL(finished()), thread, SLOT(quit()));
    connect(worker, SIGNAL(finished()), worker, SLOT(deleteLater()));
    connect(thread, SIGNAL(finished()), thread, SLOT(deleteLater()));
    // A thread object's deferred deletion runs in the thread that owns the
    // object; a linking thread without an event loop would never run it.
    if (thread->thread() != this->thread())
        thread->moveToThread(this->thread());
    QMutexLocker locker(&m_threadsLock);
    // Pairs come and go for as long as the service runs (hotplug).
    m_threads.removeAll(QPointer<QThread>());
    m_threads.append(thread);
    return thread;
}

void WorkerLinks::link(IPortWorker *portWorker, IWorker *ofdWorker)
{
    auto *watch = new PortWatch(portWorker, m_live);
    connect(portWorker, SIGNAL(finished()), watch, SLOT(portWorkerFinished()), Qt::DirectConnection);
    QThread *portThread = makeThread(portWorker);
    QThread *ofdThread = makeThread(ofdWorker);

    connect(ofdWorker, SIGNAL(sendData(QByteArray)), portWorker, SLOT(onOfdDataReceived(QByteArray)));
    connect(portWorker, SIGNAL(portDataReceived(QByteArray)), ofdWorker, SLOT(onDataReceived(QByteArray)));
    connect(portWorker, SIGNAL(finished()), ofdWorker, SLOT(stop()));
    connect(ofdWorker, SIGNAL(finished()), portWorker, SLOT(stop()));
    connect(portWorker, SIGNAL(portConnectionLost()), ofdWorker, SLOT(pause()));
    connect(portWorker, SIGNAL(portConnectionEstablished()), ofdWorker, SLOT(unpause()));

    ofdThread->start();
    {
        QMutexLocker locker(&m_live->lock);
        m_live->portWorkers.append(portWorker);
    }
    portThread->start();
}

void WorkerLinks::stopAll()
{
    QMutexLocker locker(&m_live->lock);
    for (IPortWorker *worker : std::as_const(m_live->portWorkers))
        worker->stop();
}

QList<IPortWorker *> WorkerLinks::livePortWorkers() const
{
    QMutexLocker locker(&m_live->lock);
    return m_live->portWorkers;
}

bool WorkerLinks::waitForAll(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        {
            QMutexLocker locker(&m_threadsLock);
            m_threads.removeAll(QPointer<QThread>());
            if (m_threads.isEmpty())
                return true;
        }
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QThread::msleep(2);
    }
}

#include "workerlinks.moc"
