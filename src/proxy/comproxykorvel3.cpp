// Serial proxy between the cash-register software and a register speaking protocol version 3.
#include "comproxykorvel3.h"

#include "utils.h"

#include <QDeadlineTimer>
#include <QMutexLocker>
#include <QTimer>
#include <initializer_list>

namespace {

constexpr int APP_BAUD_RATE = 115200;
constexpr quint8 NO_ID = 0xFF;

// Transport ids: the software's range and the register's own (asynchronous) packets.
constexpr quint8 LAST_SOFTWARE_ID = 0xDF;
constexpr quint8 ASYNC_ID = 0xF0;

// Transport commands.
constexpr char CMD_ADD = char(0xC1);
constexpr char CMD_ACK = char(0xC2);
constexpr char CMD_REQ = char(0xC3);
constexpr quint8 CMD_ABORT = 0xC4;

// Flag byte of an Add: the wait task or a data task.
constexpr char FLAG_DATA_TASK = char(0x00);
constexpr char FLAG_WAIT_TASK = char(0x05);

// The wait task alternates between these two task ids.
constexpr quint8 WAIT_TASK_A = 0xE5;
constexpr quint8 WAIT_TASK_B = 0xE6;
// Every task id the proxy may have left in the register, acknowledged on
// every (re)connection and before the software's Abort.
constexpr quint8 FIRST_OWN_TASK = 0xE0;
constexpr quint8 LAST_OWN_TASK = 0xE6;

// Command code of OFD data, and the leading bytes of the register's payloads.
constexpr quint8 CMD_OFD_DATA = 0xDA;
constexpr quint8 ASYNC_TASK_DATA = 0xA6;
constexpr quint8 ASYNC_RESULT = 0xA3;
constexpr quint8 REQ_RESULT = 0xB3;

// Add header in front of a data task's command: command, flag, task id, prefix.
constexpr int ADD_HEADER_SIZE = 5;
constexpr int OFD_CHUNK_MAX = Korvel3Codec::MAX_PAYLOAD - ADD_HEADER_SIZE - 1;

QByteArray bytesOf(std::initializer_list<char> bytes)
{
    return QByteArray(bytes.begin(), qsizetype(bytes.size()));
}

quint8 byteAt(const QByteArray &bytes, int index)
{
    return index < bytes.size() ? quint8(bytes.at(index)) : 0;
}

} // namespace

ComProxyKorvel3::ComProxyKorvel3(const SarnSettings &settings, const Timing &timing)
    : m_timing(timing)
    , m_log(QStringLiteral("ComProxy3-") + settings.id)
    , m_settings(settings)
{
    setObjectName(QStringLiteral("ComProxy3-") + settings.id);
}

ComProxyKorvel3::~ComProxyKorvel3()
{
    stop();
}

void ComProxyKorvel3::stop()
{
    m_stopRequested = true;
}

bool ComProxyKorvel3::pause(int ms)
{
    const QDeadlineTimer deadline(ms);
    while (!m_stopRequested) {
        if (deadline.hasExpired())
            return true;
        msleep(MSLEEP_SLICE_MS);
    }
    return false;
}

void ComProxyKorvel3::start()
{
    m_lastReqId = NO_ID;
    m_lastAbortId = NO_ID;
    m_asyncTaskId = NO_ID;
    m_devPort = new QSerialPort(this);
    m_appPort = new QSerialPort(this);
    m_appLock = std::make_unique<QRecursiveMutex>();
    m_devLock = std::make_unique<QRecursiveMutex>();
    // Connected once: both ports keep their signals blocked while they are
    // being (re)opened.
    connect(m_devPort, &QSerialPort::readyRead, this, &ComProxyKorvel3::readFromDev);
    connect(m_devPort, &QSerialPort::errorOccurred, this, &ComProxyKorvel3::devError);
    connect(m_appPort, &QSerialPort::readyRead, this, &ComProxyKorvel3::readFromSoft);
    connect(m_appPort, &QSerialPort::errorOccurred, this, &ComProxyKorvel3::appError);

    int delay = m_timing.loopDelayMs;
    while (pause(delay)) {
        if (!m_devPort->isOpen() || m_devReconnect) {
            if (connectDevPort() && !m_stopRequested)
                greetRegister();
        }
        if (!m_devPort->isOpen()) {
            delay = m_timing.reopenDelayMs;
            continue;
        }
        m_devReconnect = false;
        if (!m_appPort->isOpen() || m_appReconnect)
            connectAppPort();
        if (!m_appPort->isOpen()) {
            delay = m_timing.reopenDelayMs;
            continue;
        }
        m_appReconnect = false;
        delay = m_timing.loopDelayMs;
    }
    // Timers and ports belong to this thread: both are shut here, not by
    // whoever asked for the stop.
    if (m_asyncTimer)
        m_asyncTimer->stop();
    if (m_connectionTimer)
        m_connectionTimer->stop();
    closePorts();
    emit finished();
}

void ComProxyKorvel3::closePorts()
{
    // Closing a port that is not open reports NotOpenError, which would read
    // as a lost register.
    {
        QMutexLocker locker(m_appLock.get());
        if (m_appPort->isOpen())
            m_appPort->close();
    }
    QMutexLocker locker(m_devLock.get());
    if (m_devPort->isOpen())
        m_devPort->close();
}

bool ComProxyKorvel3::connectDevPort()
{
    QMutexLocker locker(m_devLock.get());
    m_devPort->blockSignals(true);
    m_devPort->close();
    // The register needs time after its line was dropped; a stop request cuts
    // the wait short and leaves the port closed.
    if (pause(m_timing.settleMs)) {
        m_log.info(QStringLiteral("Open %1...").arg(m_settings.devPortName));
        m_devPort->setPortName(m_settings.devPortName);
        m_devPort->setBaudRate(m_settings.devBaudRate, QSerialPort::AllDirections);
        if (m_devPort->open(QIODevice::ReadWrite)) {
            m_log.info(QStringLiteral("OK"));
            // Whatever the register sends while it settles is discarded.
            pause(m_timing.settleMs);
            m_devPort->clear(QSerialPort::AllDirections);
        } else {
            m_log.error(m_devPort->errorString());
        }
    }
    m_devPort->blockSignals(false);
    m_devParser.clear();
    return m_devPort->isOpen();
}

bool ComProxyKorvel3::connectAppPort()
{
    QMutexLocker locker(m_appLock.get());
    m_appPort->blockSignals(true);
    m_appPort->close();
    m_log.info(QStringLiteral("Open %1...").arg(m_settings.appPortName));
    m_appPort->setPortName(m_settings.appPortName);
    // The software's end always runs at 115200, whatever the settings say.
    m_appPort->setBaudRate(APP_BAUD_RATE, QSerialPort::AllDirections);
    if (m_appPort->open(QIODevice::ReadWrite))
        m_log.info(QStringLiteral("OK"));
    else
        m_log.error(m_appPort->errorString());
    m_appPort->blockSignals(false);
    m_appParser.clear();
    return true;
}

void ComProxyKorvel3::greetRegister()
{
    sendAcksForOwnTasks();
    sendAbort();
    reinitWaitAsync();
    restartTimer(m_asyncTimer, m_timing.waitTaskPollMs, &ComProxyKorvel3::updateAsyncRequest);
    restartTimer(m_connectionTimer, m_timing.watchdogMs, &ComProxyKorvel3::doReconnect);
}

void ComProxyKorvel3::restartTimer(QTimer *&timer, int intervalMs, void (ComProxyKorvel3::*slot)())
{
    if (!timer) {
        timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, slot);
    }
    timer->start(intervalMs);
}

void ComProxyKorvel3::readFromSoft()
{
    QMutexLocker appLocker(m_appLock.get());
    const QByteArray bytes = m_appPort->readAll();
    dropStalePacket(m_appParser, m_appLastByte);
    for (const char c : bytes) {
        switch (m_appParser.putByte(quint8(c))) {
        case Korvel3Parser::Pending:
            break;
        case Korvel3Parser::Complete: {
            QMutexLocker devLocker(m_devLock.get());
            forwardSoftPacket();
            m_appParser.clear();
            break;
        }
        case Korvel3Parser::Malformed:
            dropPacket(m_appParser, QStringLiteral("broken"));
            break;
        }
    }
}

void ComProxyKorvel3::forwardSoftPacket()
{
    const bool isAbort = byteAt(m_appParser.packet().data, 0) == CMD_ABORT;
    // The register drops every task when the software aborts; the proxy's own
    // tasks are acknowledged first and its wait task set up again afterwards.
    if (isAbort)
        sendAcksForOwnTasks();
    m_log.info(QStringLiteral("--> ") + Korvel3Codec::packetToString(m_appParser.packet()));
    write(m_devPort, m_appParser.raw());
    if (isAbort)
        reinitWaitAsync();
}

void ComProxyKorvel3::readFromDev()
{
    QMutexLocker locker(m_devLock.get());
    if (m_firstDataPending) {
        m_firstDataPending = false;
        emit portConnectionEstablished();
    }
    restartTimer(m_connectionTimer, m_timing.watchdogMs, &ComProxyKorvel3::doReconnect);
    const QByteArray bytes = m_devPort->readAll();
    dropStalePacket(m_devParser, m_devLastByte);
    for (const char c : bytes) {
        switch (m_devParser.putByte(quint8(c))) {
        case Korvel3Parser::Pending:
            break;
        case Korvel3Parser::Complete:
            routeDevPacket();
            m_devParser.clear();
            break;
        case Korvel3Parser::Malformed:
            dropPacket(m_devParser, QStringLiteral("broken"));
            break;
        }
    }
}

void ComProxyKorvel3::routeDevPacket()
{
    const PacketInfo &packet = m_devParser.packet();
    const QByteArray &d = packet.data;
    if (packet.id == ASYNC_ID) {
        QByteArray ofdData;
        bool isOfd = false;
        if (d.size() >= 3 && byteAt(d, 0) == ASYNC_TASK_DATA && byteAt(d, 2) == CMD_OFD_DATA) {
            ofdData = d.mid(3);
            isOfd = true;
        } else if (d.size() >= 2 && byteAt(d, 0) == ASYNC_RESULT && byteAt(d, 1) == CMD_OFD_DATA) {
            ofdData = d.mid(2);
            isOfd = true;
        }
        if (isOfd) {
            emit portDataReceived(ofdData);
            m_log.debug(QStringLiteral("<o- ") + Korvel3Codec::packetToString(packet));
            reinitWaitAsync();
            return;
        }
    }
    if (packet.id <= LAST_SOFTWARE_ID || packet.id == ASYNC_ID) {
        QMutexLocker appLocker(m_appLock.get());
        write(m_appPort, m_devParser.raw());
        m_log.info(QStringLiteral("<-- ") + Korvel3Codec::packetToString(packet));
        return;
    }
    m_log.debug(QStringLiteral("<o- ") + Korvel3Codec::packetToString(packet));
    const bool hasFirst = !d.isEmpty();
    if (packet.id == m_lastAbortId) {
        m_lastAbortId = NO_ID;
        if (hasFirst && byteAt(d, 0) == ASYNC_RESULT)
            reinitWaitAsync();
    } else if (packet.id == m_lastReqId) {
        m_lastReqId = NO_ID;
        if (hasFirst && byteAt(d, 0) == REQ_RESULT) {
            emit portConnectionLost();
            reinitWaitAsync();
            emit portConnectionEstablished();
        }
    }
}

void ComProxyKorvel3::dropStalePacket(Korvel3Parser &parser, QElapsedTimer &lastByte)
{
    if (parser.inPacket() && lastByte.isValid() && lastByte.elapsed() > m_timing.packetGapMs) {
        dropPacket(parser, QStringLiteral("incomplete"));
        parser.clear();
    }
    lastByte.start();
}

void ComProxyKorvel3::dropPacket(const Korvel3Parser &parser, const QString &what)
{
    m_log.error(QStringLiteral("drop %1 packet %2").arg(what, baToString(parser.raw())));
}

void ComProxyKorvel3::reinitWaitAsync()
{
    if (m_asyncTaskId != NO_ID)
        sendAckAsync();
    m_asyncTaskId = m_asyncTaskId == WAIT_TASK_A ? WAIT_TASK_B : WAIT_TASK_A;
    sendAddAsync();
}

void ComProxyKorvel3::updateAsyncRequest()
{
    if (m_asyncTaskId != NO_ID) {
        m_log.info(QStringLiteral("reinit async on timer"));
        sendReq(m_asyncTaskId);
    }
    restartTimer(m_asyncTimer, m_timing.waitTaskPollMs, &ComProxyKorvel3::updateAsyncRequest);
}

void ComProxyKorvel3::doReconnect()
{
    emit portConnectionLost();
    m_devReconnect = true;
}

void ComProxyKorvel3::devError(QSerialPort::SerialPortError error)
{
    QMutexLocker locker(m_devLock.get());
    m_log.error(QStringLiteral("dev error %1").arg(serialErrorNumber(error)));
    if (error == QSerialPort::NoError || error == QSerialPort::UnsupportedOperationError)
        return;
    emit portConnectionLost();
    m_devReconnect = true;
}

void ComProxyKorvel3::appError(QSerialPort::SerialPortError error)
{
    QMutexLocker locker(m_appLock.get());
    m_log.error(QStringLiteral("app error %1").arg(serialErrorNumber(error)));
    if (error != QSerialPort::NoError)
        m_appReconnect = true;
}

void ComProxyKorvel3::onOfdDataReceived(const QByteArray &data)
{
    if (!m_devPort)
        return;
    // OFD records are far shorter than a packet; anything longer is split so
    // that no length field overflows and nothing is lost.
    qsizetype offset = 0;
    do {
        sendAdd(char(CMD_OFD_DATA) + data.mid(offset, OFD_CHUNK_MAX));
        offset += OFD_CHUNK_MAX;
    } while (offset < data.size());
}

void ComProxyKorvel3::sendAdd(const QByteArray &data)
{
    QByteArray payload;
    payload.append(CMD_ADD);
    payload.append(FLAG_DATA_TASK);
    payload.append(char(Korvel3Codec::nextTaskID()));
    payload.append(m_commandPrefix);
    payload.append(data);
    sendOwn(payload);
}

void ComProxyKorvel3::sendAddAsync()
{
    sendOwn(bytesOf({CMD_ADD, FLAG_WAIT_TASK, char(m_asyncTaskId)}));
}

void ComProxyKorvel3::sendAck(quint8 taskId)
{
    sendOwn(bytesOf({CMD_ACK, char(taskId)}));
}

void ComProxyKorvel3::sendAckAsync()
{
    sendAck(m_asyncTaskId);
}

void ComProxyKorvel3::sendReq(quint8 taskId)
{
    m_lastReqId = sendOwn(bytesOf({CMD_REQ, char(taskId)}));
}

void ComProxyKorvel3::sendAbort()
{
    m_lastAbortId = sendOwn(QByteArray(1, char(CMD_ABORT)));
}

void ComProxyKorvel3::sendAcksForOwnTasks()
{
    for (int taskId = FIRST_OWN_TASK; taskId <= LAST_OWN_TASK; ++taskId)
        sendAck(quint8(taskId));
}

quint8 ComProxyKorvel3::sendOwn(const QByteArray &payload)
{
    QMutexLocker locker(m_devLock.get());
    PacketInfo info;
    const QByteArray wire = Korvel3Codec::pack(payload, info);
    m_log.debug(QStringLiteral("-o> ") + Korvel3Codec::packetToString(info));
    write(m_devPort, wire);
    return info.id;
}

void ComProxyKorvel3::write(QSerialPort *port, const QByteArray &bytes)
{
    // A packet for a port that is closed at the moment is lost, not queued.
    if (!port->isOpen())
        return;
    port->write(bytes);
    port->flush();
}
