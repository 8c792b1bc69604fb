// The register's link over a COM port (the Windows build's way to reach a USB register).
#include "serialworker.h"

#include "logger.h"
#include "utils.h"

#include <QCoreApplication>
#include <QThread>

namespace {
constexpr qint32 BAUD_RATE = 115200;
}

QString comPortName(const QString &port)
{
    return port.startsWith(QLatin1String("COM")) ? port : QStringLiteral("COM") + port;
}

SerialWorker::SerialWorker(const PobSettings &settings, const Timing &timing)
    : m_settings(settings)
#ifdef Q_OS_WIN
    , m_portName(comPortName(settings.port))
#else
    , m_portName(settings.port)
#endif
    , m_timing(timing)
{
    setObjectName(QStringLiteral("COM-") + settings.id);
}

SerialWorker::~SerialWorker()
{
    // Closing the port must not call back into a worker being destroyed.
    if (m_serialPort)
        m_serialPort->blockSignals(true);
}

void SerialWorker::start()
{
    m_serialPort = std::make_unique<QSerialPort>();
    // Connected once for the port's life, however often it is reopened.
    connect(m_serialPort.get(), &QSerialPort::readyRead, this, &SerialWorker::onPortReadyRead);
    connect(m_serialPort.get(), &QSerialPort::errorOccurred, this, &SerialWorker::onPortError);
    if (!openPort())
        QMetaObject::invokeMethod(this, &SerialWorker::finishIfStopped, Qt::QueuedConnection);
}

void SerialWorker::stop()
{
    // The port belongs to the worker's thread: the request is recorded and
    // carried out there. From another thread nothing but the posting touches
    // the worker, which may wind down and be deleted right after.
    if (QThread::currentThread() == thread())
        requestStop();
    else
        QMetaObject::invokeMethod(this, &SerialWorker::requestStop, Qt::QueuedConnection);
}

void SerialWorker::requestStop()
{
    m_stopRequested = true;
    finishIfStopped();
}

void SerialWorker::finishIfStopped()
{
    if (!m_stopRequested || m_opening || m_finished)
        return;
    m_finished = true;
    if (m_serialPort) {
        m_serialPort->blockSignals(true);
        m_serialPort->close();
        m_serialPort.reset();
    }
    emit finished();
}

bool SerialWorker::openPort()
{
    const Logger log(objectName());
    m_opening = true;
    bool opened = false;
    while (!m_stopRequested) {
        // A stop request arrives as an event: it may be among these.
        QCoreApplication::processEvents();
        if (m_stopRequested)
            break;
        m_serialPort->blockSignals(true);
        if (m_serialPort->isOpen())
            m_serialPort->close();
        log.info(QStringLiteral("Opening %1...").arg(m_portName));
        m_serialPort->setPortName(m_portName);
        m_serialPort->setBaudRate(BAUD_RATE, QSerialPort::AllDirections);
        if (m_serialPort->open(QIODevice::ReadWrite)) {
            m_serialPort->blockSignals(false);
            log.info(QStringLiteral("OK"));
            opened = true;
            break;
        }
        log.error(m_serialPort->errorString());
        msleep(m_timing.reopenDelayMs);
    }
    m_opening = false;
    if (opened)
        emit portConnectionEstablished();
    return opened;
}

void SerialWorker::onPortReadyRead()
{
    const QByteArray data = m_serialPort->readAll();
    if (data.isEmpty())
        return;
    Logger(objectName()).info(QStringLiteral("read: ") + baToString(data));
    emit portDataReceived(data);
}

void SerialWorker::onOfdDataReceived(const QByteArray &data)
{
    if (m_stopRequested)
        return;
    const Logger log(objectName());
    if (!m_serialPort || !m_serialPort->isOpen()) {
        log.error(QStringLiteral("port not open, dropped: ") + baToString(data));
        return;
    }
    log.info(QStringLiteral("write: ") + baToString(data));
    m_serialPort->write(data);
    m_serialPort->flush();
}

void SerialWorker::onPortError(QSerialPort::SerialPortError error)
{
    Logger(objectName()).error(QStringLiteral("error %1").arg(serialErrorNumber(error)));
    // Errors raised while the open loop is already running are its business.
    if (error == QSerialPort::NoError || m_opening)
        return;
    emit portConnectionLost();
    // Never finish here: this runs inside the port's own signal.
    if (!openPort())
        QMetaObject::invokeMethod(this, &SerialWorker::finishIfStopped, Qt::QueuedConnection);
}
