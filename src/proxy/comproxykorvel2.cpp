// Serial proxy between the cash-register software and a register speaking protocol version 2.
#include "comproxykorvel2.h"

#include "korvel2frame.h"
#include "korvel2serialchannel.h"
#include "logger.h"
#include "utils.h"

#include <QThread>

namespace {
constexpr bool APP_SIDE = true;
constexpr bool DEV_SIDE = false;
// The software's port runs at this rate whatever the settings say.
constexpr qint32 APP_BAUD_RATE = 115200;
}

const QByteArray ComProxyKorvel2::DEFAULT_COMMAND_PREFIX = QByteArray(2, '\0');

ComProxyKorvel2::ComProxyKorvel2(const SarnSettings &settings, const Timing &timing)
    : m_loopLock(std::make_shared<QMutex>())
    , m_commandPrefix(DEFAULT_COMMAND_PREFIX)
    , m_settings(settings)
    , m_timing(timing)
{
    setObjectName(QStringLiteral("ComProxy2-") + settings.id);
}

ComProxyKorvel2::~ComProxyKorvel2()
{
    stop();
    // Ports go while the proxy is whole: closing one may still signal an error slot.
    m_devLink.reset();
    m_appLink.reset();
    m_devChannel.reset();
    m_appChannel.reset();
    m_devPort.reset();
    m_appPort.reset();
}

void ComProxyKorvel2::start()
{
    m_devPort = std::make_unique<QSerialPort>();
    connect(m_devPort.get(), &QSerialPort::errorOccurred, this, &ComProxyKorvel2::devError);
    m_appPort = std::make_unique<QSerialPort>();
    connect(m_appPort.get(), &QSerialPort::errorOccurred, this, &ComProxyKorvel2::appError);
    m_devChannel = std::make_unique<Korvel2SerialChannel>(*m_devPort);
    m_appChannel = std::make_unique<Korvel2SerialChannel>(*m_appPort);
    m_devLink = std::make_unique<Korvel2Link>(*m_devChannel, DEV_SIDE, objectName());
    m_appLink = std::make_unique<Korvel2Link>(*m_appChannel, APP_SIDE, objectName());

    int delay = m_timing.loopDelayMs;
    while (!m_stopRequested) {
        QMutexLocker pass(m_loopLock.get());
        msleep(delay);
        delay = runPass() ? m_timing.loopDelayMs : m_timing.reopenDelayMs;
    }
    emit finished();
}

void ComProxyKorvel2::stop()
{
    // A pass processes this thread's events while it holds the lock, so a
    // stop() delivered on this thread runs inside the pass and must not wait
    // for it; the loop sees the flag as soon as the pass is over.
    const bool fromOtherThread = QThread::currentThread() != thread();
    // Once the flag is set the loop may end and the proxy be deleted at any
    // moment: from then on only this copy of the lock is touched.
    const std::shared_ptr<QMutex> loopLock = m_loopLock;
    m_stopRequested = true;
    if (fromOtherThread)
        QMutexLocker passOver(loopLock.get());
}

void ComProxyKorvel2::onOfdDataReceived(const QByteArray &data)
{
    QMutexLocker locker(&m_ofdQueueLock);
    m_ofdQueue.append(data);
}

void ComProxyKorvel2::devError(QSerialPort::SerialPortError error)
{
    QMutexLocker locker(&m_devLock);
    Logger(objectName()).error(QStringLiteral("dev error %1").arg(serialErrorNumber(error)));
    if (error == QSerialPort::NoError)
        return;
    emit portConnectionLost();
    m_devReconnect = true;
}

void ComProxyKorvel2::appError(QSerialPort::SerialPortError error)
{
    QMutexLocker locker(&m_appLock);
    Logger(objectName()).error(QStringLiteral("app error %1").arg(serialErrorNumber(error)));
    if (error != QSerialPort::NoError)
        m_appReconnect = true;
}

QByteArray ComProxyKorvel2::exchange(bool side, const QByteArray &message, int timeoutMs)
{
    return (side == APP_SIDE ? m_appLink : m_devLink)->exchange(message, timeoutMs);
}

bool ComProxyKorvel2::openPort(QSerialPort &port, QMutex &lock, const QString &name, qint32 baudRate)
{
    QMutexLocker locker(&lock);
    // No error slot may run while the port is reopened: it takes the same lock.
    port.blockSignals(true);
    if (port.isOpen())
        port.close();
    const Logger log(objectName());
    log.info(QStringLiteral("Open %1...").arg(name));
    port.setPortName(name);
    port.setBaudRate(baudRate, QSerialPort::AllDirections);
    if (port.open(QIODevice::ReadWrite)) {
        log.info(QStringLiteral("OK"));
        port.clear(QSerialPort::AllDirections);
    } else {
        log.error(port.errorString());
    }
    port.blockSignals(false);
    return port.isOpen();
}

bool ComProxyKorvel2::connectDevPort()
{
    return openPort(*m_devPort, m_devLock, m_settings.devPortName, m_settings.devBaudRate);
}

bool ComProxyKorvel2::connectAppPort()
{
    openPort(*m_appPort, m_appLock, m_settings.appPortName, APP_BAUD_RATE);
    return true;
}

bool ComProxyKorvel2::runPass()
{
    if ((m_devReconnect || !m_devPort->isOpen()) && connectDevPort())
        emit portConnectionEstablished();
    if (!m_devPort->isOpen())
        return false;
    m_devReconnect = false;
    if (m_appReconnect || !m_appPort->isOpen())
        connectAppPort();
    if (!m_appPort->isOpen())
        return false;
    m_appReconnect = false;

    routeFromApp(exchange(APP_SIDE, QByteArray(), m_timing.receiveTimeoutMs));
    while (!m_forDev.isEmpty())
        routeFromDev(exchange(DEV_SIDE, m_forDev.takeFirst(), m_timing.receiveTimeoutMs));
    routeFromDev(exchange(DEV_SIDE, QByteArray(), m_timing.receiveTimeoutMs));
    while (!m_forApp.isEmpty())
        routeFromApp(exchange(APP_SIDE, m_forApp.takeFirst(), m_timing.receiveTimeoutMs));
    sendOfdAnswers();
    return true;
}

// A send can come back with the peer's own message (the peer took the line
// over after our frame); it has been acknowledged, so it is routed like any
// received message and goes out in this pass or the next.
void ComProxyKorvel2::routeFromApp(const QByteArray &message)
{
    if (message.isEmpty())
        return;
    m_commandPrefix = message.left(2);
    Logger(objectName()).info(QStringLiteral("app -> dev | ") + baToString(message));
    m_forDev.append(message);
}

void ComProxyKorvel2::routeFromDev(const QByteArray &message)
{
    if (message.isEmpty())
        return;
    if (message.at(0) == OFD_COMMAND) {
        Logger(objectName()).info(QStringLiteral("dev -> ofd | ") + baToString(message));
        emit portDataReceived(message.mid(1));
    } else {
        Logger(objectName()).info(QStringLiteral("dev -> app | ") + baToString(message));
        m_forApp.append(message);
    }
}

void ComProxyKorvel2::sendOfdAnswers()
{
    for (;;) {
        QByteArray answer;
        {
            QMutexLocker locker(&m_ofdQueueLock);
            if (m_ofdQueue.isEmpty())
                return;
            answer = m_ofdQueue.takeFirst();
        }
        // The register accepts no longer message: a longer answer goes out in
        // pieces, in order, each behind the prefix and the command code.
        const int room = Korvel2Frame::MAX_MESSAGE_SIZE - int(m_commandPrefix.size()) - 1;
        int offset = 0;
        do {
            const QByteArray message = m_commandPrefix + OFD_COMMAND + answer.mid(offset, room);
            Logger(objectName()).info(QStringLiteral("ofd -> dev | ") + baToString(message));
            routeFromDev(exchange(DEV_SIDE, message, m_timing.receiveTimeoutMs));
            offset += room;
        } while (offset < answer.size());
    }
}
