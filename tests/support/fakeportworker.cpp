// A scripted port worker: the test plays the register's side of a link through it.
#include "fakeportworker.h"

#include <QDeadlineTimer>
#include <QTest>

std::atomic<int> FakePortWorker::destroyedCount {0};

FakePortWorker::FakePortWorker(const QString &name)
{
    setObjectName(name);
}

FakePortWorker::~FakePortWorker()
{
    ++destroyedCount;
}

void FakePortWorker::feed(const QByteArray &bytes)
{
    QMetaObject::invokeMethod(this, [this, bytes] { emit portDataReceived(bytes); }, Qt::QueuedConnection);
}

void FakePortWorker::linkUp()
{
    QMetaObject::invokeMethod(this, [this] { emit portConnectionEstablished(); }, Qt::QueuedConnection);
}

void FakePortWorker::linkDown()
{
    QMetaObject::invokeMethod(this, [this] { emit portConnectionLost(); }, Qt::QueuedConnection);
}

void FakePortWorker::finish()
{
    QMetaObject::invokeMethod(this, [this] { endOnce(); }, Qt::QueuedConnection);
}

QByteArray FakePortWorker::written() const
{
    QMutexLocker locker(&m_lock);
    return m_written;
}

QByteArray FakePortWorker::takeWritten()
{
    QMutexLocker locker(&m_lock);
    QByteArray bytes;
    bytes.swap(m_written);
    return bytes;
}

bool FakePortWorker::waitForWritten(int n, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    while (written().size() < n) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(5);
    }
    return true;
}

void FakePortWorker::start()
{
    m_startThread = QThread::currentThread();
    m_started = true;
}

void FakePortWorker::stop()
{
    ++m_stopCalls;
    QMetaObject::invokeMethod(this, [this] { endOnce(); }, Qt::QueuedConnection);
}

void FakePortWorker::onOfdDataReceived(const QByteArray &data)
{
    QMutexLocker locker(&m_lock);
    m_written += data;
}

void FakePortWorker::endOnce()
{
    if (!m_ended.exchange(true))
        emit finished();
}
