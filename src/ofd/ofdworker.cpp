// The service's end of the link protocol for one register: handshake, channel table, relaying and pacing.
#include "ofdworker.h"

#include "settings.h"
#include "utils.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>

namespace {

// Channel records carry the channel number in the low nibble of their code.
constexpr unsigned char CHANNEL_MASK = 0x0F;
constexpr unsigned char GROUP_MASK = 0xF0;

QString registerLogLine(const QByteArray &value)
{
    const QString rest = baToString(value.mid(1));
    switch (static_cast<unsigned char>(value.at(0))) {
    case 1: return QStringLiteral("Начало передачи сообщения в ФН: [%1]").arg(rest);
    case 2: return QStringLiteral("Продолжение передачи сообщения в ФН: [%1]").arg(rest);
    case 3: return QStringLiteral("Начало приема сообщения от ФН: [%1]").arg(rest);
    case 4: return QStringLiteral("Продолжение приема сообщения от ФН: [%1]").arg(rest);
    case 5:
        if (value.size() < 2)
            return QStringLiteral("Неизвестная ошибка в процессе обмена с ФН");
        return QStringLiteral("Ошибка в процессе обмена с ФН [%1]")
            .arg(QString::number(static_cast<unsigned char>(value.at(1)), 16).rightJustified(2, QLatin1Char('0')).toUpper());
    default: return QString();
    }
}

} // namespace

OfdWorker::OfdWorker(const QString &name, const Timing &timing)
    : m_name(name)
    , m_debugLoggerName(QStringLiteral("Debug-") + name)
    , m_timing(timing)
    , m_log(QStringLiteral("Ofd-") + name)
    , m_debugLog(m_debugLoggerName)
{
    setObjectName(QStringLiteral("Ofd-") + name);
    Logger::attachDebugFile(Settings::loadSettings().logsDir);
    reinitTcpWorker(0);
    reinitTcpWorker(1);
    pause();
}

OfdWorker::~OfdWorker()
{
    stop();
    // The connection workers live on threads of their own: end each thread
    // first (its close() runs there as it finishes), then delete the worker.
    for (WorkerDescriptor &channel : m_channels) {
        channel.worker->cancel();
        channel.thread->quit();
        channel.thread->wait();
        channel.worker->disconnect(this);
        delete channel.worker;
        channel.worker = nullptr;
    }
}

void OfdWorker::reinitTcpWorker(int channel)
{
    auto *worker = new TcpWorker(QStringLiteral("TCP%1-%2").arg(channel).arg(m_name), nullptr, m_timing.tcp);
    auto *thread = new QThread(this);
    worker->moveToThread(thread);
    connect(thread, &QThread::started, worker, &TcpWorker::open);
    connect(thread, &QThread::finished, worker, &TcpWorker::close);
    connect(worker, &TcpWorker::connectionStateChanged, this, &OfdWorker::onConnectionStateChanged);
    connect(this, channel == 0 ? &OfdWorker::sendToTcp0 : &OfdWorker::sendToTcp1, worker, &TcpWorker::write);

    WorkerDescriptor descriptor;
    descriptor.worker = worker;
    descriptor.thread = thread;
    descriptor.stateCmd = LNK_TLV_RX_CONNECT_STATE0 + channel;
    m_channels.insert(channel, descriptor);
}

void OfdWorker::start()
{
    int sleepMs = m_timing.waitingSleepMs;
    while (!m_stopRequested) {
        m_workLock.lock();
        m_inIteration = true;
        const bool goOn = iterate(sleepMs);
        m_inIteration = false;
        m_workLock.unlock();
        if (!goOn)
            break;
    }
    emit finished();
}

bool OfdWorker::iterate(int &sleepMs)
{
    if (m_paused) {
        msleep(m_timing.pausedSleepMs);
        return true;
    }
    QCoreApplication::processEvents();
    if (m_stopRequested)
        return false;
    msleep(sleepMs);
    if (m_stopRequested)
        return false;

    if (m_waitForVersion)
        sendVersionRequest();

    for (int channel = 0; channel < 2; ++channel) {
        WorkerDescriptor &descriptor = m_channels[channel];
        if (descriptor.packetSize == 0)
            continue;
        const QByteArray bytes = descriptor.worker->read(descriptor.packetSize);
        if (!bytes.isEmpty()) {
            send(TlvField(LNK_TLV_RX_DATA0 + channel, bytes));
            descriptor.packetSize = 0;
        }
    }
    // A lost channel is reported only once the register has been handed
    // everything that connection received.
    for (int channel = 0; channel < 2; ++channel) {
        WorkerDescriptor &descriptor = m_channels[channel];
        if (descriptor.connectionLost && !descriptor.worker->hasData()) {
            send(TlvField(descriptor.stateCmd, QByteArray(1, '\x00')));
            descriptor.connectionLost = false;
        }
    }

    TlvField field;
    while (recv(field)) {
        reinitTimer();
        process(field);
    }

    sleepMs = m_waitForVersion ? m_timing.waitingSleepMs : m_timing.runningSleepMs;
    return true;
}

bool OfdWorker::recv(TlvField &field)
{
    // While the device link is down the buffer holds only bytes from before
    // the loss, which unpause() drops.
    if (m_paused)
        return false;
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        TlvCodec::Result result;
        {
            QMutexLocker locker(&m_bufferLock);
            result = m_codec.take(m_buffer, field);
        }
        if (result == TlvCodec::Complete)
            return true;
        if (result == TlvCodec::NeedMore)
            return false;
        // A stop request does not wait out the rest of a split record.
        if (clock.elapsed() >= m_timing.recordWaitMs || m_stopRequested) {
            m_log.error(QStringLiteral("%1 != %2").arg(m_codec.collected()).arg(m_codec.expected()));
            m_codec.drop();
            return false;
        }
        QCoreApplication::processEvents();
        msleep(1);
        // A lost link makes the begun record stale; unpause() may already
        // have given it up with the rest of the bytes from before the loss.
        if (m_paused || !m_codec.inRecord()) {
            m_codec.drop();
            return false;
        }
    }
}

void OfdWorker::process(const TlvField &field)
{
    m_log.info(QStringLiteral("Command <-- %1").arg(cmdToStr(field.cmd)));
    if (m_waitForVersion) {
        if (field.cmd != LNK_TLV_TX_RESPONSE_VERSION) {
            m_log.error(QStringLiteral("Command ignored, wait for version"));
        } else if (field.data.isEmpty()) {
            m_log.error(QStringLiteral("Invalid version"));
        } else if (static_cast<unsigned char>(field.data.at(0)) > PROTOCOL_VERSION) {
            m_log.error(QStringLiteral("Invalid version - %1").arg(static_cast<unsigned char>(field.data.at(0))));
        } else {
            m_waitForVersion = false;
            reinitTimer();
        }
    } else if (field.cmd == LNK_TLV_TX_REQUEST_VERSION) {
        send(TlvField(LNK_TLV_RX_RESPONSE_VERSION, QByteArray(1, char(PROTOCOL_VERSION))));
    } else {
        processChannelRecord(field);
    }

    if (field.cmd == LNK_TLV_TX_LOG)
        writeRegisterLog(field);
}

void OfdWorker::processChannelRecord(const TlvField &field)
{
    const int channel = field.cmd & CHANNEL_MASK;
    if (channel > 1)
        return;
    const unsigned char group = field.cmd & GROUP_MASK;
    WorkerDescriptor &descriptor = m_channels[channel];

    switch (group) {
    case LNK_TLV_TX_PACKET_SIZE0:
        // An empty grant grants nothing; it still replaces an earlier one.
        descriptor.packetSize = field.data.isEmpty() ? 0 : static_cast<unsigned char>(field.data.at(0));
        break;
    case LNK_TLV_TX_PORT0:
        if (field.data.size() < 2) {
            m_log.error(QStringLiteral("Port ignored, too short: %1").arg(baToString(field.data)));
            break;
        }
        descriptor.worker->setPort(static_cast<unsigned char>(field.data.at(0))
                                   + 256 * static_cast<unsigned char>(field.data.at(1)));
        break;
    case LNK_TLV_TX_CONNECT0: {
        descriptor.connectionLost = false;
        const int end = field.data.indexOf('\0');
        descriptor.worker->setAddress(QString::fromUtf8(end < 0 ? field.data : field.data.left(end)));
        m_log.info(QStringLiteral("Connect to %1:%2").arg(descriptor.worker->address()).arg(descriptor.worker->port()));
        descriptor.thread->start();
        break;
    }
    case LNK_TLV_TX_CONNECT0_CLOSE:
        // Both channels cancel an attempt in progress, so the close does not
        // wait out the remaining addresses.
        descriptor.worker->cancel();
        descriptor.thread->quit();
        descriptor.thread->wait();
        // The ended connection's state reports are queued to this thread; take
        // them now, so that a CONNECT right behind this record is not undone
        // by a stale Disconnected.
        QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
        break;
    case LNK_TLV_TX_DATA0:
        if (descriptor.connectionLost) {
            m_log.info(QStringLiteral("No write, connection lost"));
            break;
        }
        descriptor.worker->addWritedSize(int(field.data.size()));
        if (channel == 0)
            emit sendToTcp0(field.data);
        else
            emit sendToTcp1(field.data);
        break;
    default:
        break;
    }
}

void OfdWorker::writeRegisterLog(const TlvField &field)
{
    m_debugLog.info(baToString(field.data));
    if (field.data.isEmpty())
        return;
    const QString line = registerLogLine(field.data);
    if (!line.isEmpty())
        m_debugLog.info(line);
}

void OfdWorker::send(const TlvField &field)
{
    m_log.info(QStringLiteral("Command --> %1").arg(cmdToStr(field.cmd)));
    emit sendData(tlvEncode(field));
}

void OfdWorker::sendVersionRequest()
{
    send(TlvField(LNK_TLV_RX_REQUEST_VERSION, QByteArray()));
    reinitTimer();
}

void OfdWorker::reinitTimer()
{
    if (!m_versionTimer) {
        m_versionTimer = new QTimer(this);
        connect(m_versionTimer, &QTimer::timeout, this, &OfdWorker::sendVersionRequest);
    }
    // Restarting counts the interval afresh from now.
    m_versionTimer->start(m_timing.versionRequestMs);
}

void OfdWorker::onConnectionStateChanged(TcpWorker::ConnectionState state)
{
    const auto *worker = sender();
    for (WorkerDescriptor &descriptor : m_channels) {
        if (descriptor.worker != worker)
            continue;
        if (state == TcpWorker::Connected) {
            send(TlvField(descriptor.stateCmd, QByteArray(1, '\x01')));
        } else {
            // The register learns of it in the loop, after the unread bytes.
            descriptor.connectionLost = true;
            descriptor.thread->quit();
        }
        return;
    }
}

void OfdWorker::onDataReceived(const QByteArray &data)
{
    QMutexLocker locker(&m_bufferLock);
    m_buffer.append(data);
}

bool OfdWorker::calledFromIteration() const
{
    return m_inIteration && QThread::currentThread() == thread();
}

void OfdWorker::pause()
{
    m_log.info(QStringLiteral("pause"));
    m_paused = true;
    const bool locked = !calledFromIteration() && m_workLock.tryLock(m_timing.pauseLockWaitMs);
    m_waitForVersion = true;
    for (WorkerDescriptor &descriptor : m_channels) {
        descriptor.packetSize = 0;
        descriptor.connectionLost = false;
        descriptor.thread->quit();
    }
    if (locked)
        m_workLock.unlock();
}

void OfdWorker::unpause()
{
    m_log.info(QStringLiteral("continue"));
    {
        QMutexLocker locker(&m_bufferLock);
        m_buffer.clear();
    }
    m_codec.drop();
    m_paused = false;
}

void OfdWorker::stop()
{
    m_stopRequested = true;
    // Inside an iteration on this thread the lock is this thread's own: the
    // loop ends at its next check, right after this event processing.
    if (calledFromIteration())
        return;
    m_workLock.lock();
    m_workLock.unlock();
}
