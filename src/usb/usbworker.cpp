// The USB link of the Linux build: finding, opening and claiming the register, and its read/write loop.
#include "usbworker.h"

#include "logger.h"
#include "usblib.h"
#include "utils.h"

#include <QCoreApplication>
#include <QStringList>
#include <QVector>

namespace {

constexpr uint16_t VENDOR_ID = 0xC7E4;
constexpr int LINK_INTERFACE = 3;
constexpr uint8_t LINK_OUT_ENDPOINT = 0x0A;
constexpr uint8_t LINK_IN_ENDPOINT = 0x8B;
// Some registers offer the link on interface 2 only; the kernel driver is
// given back to this interface when the register is closed.
constexpr int FALLBACK_INTERFACE = 2;
constexpr uint8_t FALLBACK_OUT_ENDPOINT = 0x02;
constexpr uint8_t FALLBACK_IN_ENDPOINT = 0x83;
constexpr int READ_SIZE = 1024;
// A hotplugged register that cannot be opened this often in the worker's
// life is gone; its link ends.
constexpr int HOTPLUGGED_OPEN_ATTEMPTS = 3;
// Reads that fail before any read has worked are retried quietly a few times
// (a register may refuse its very first transfer); a failure that persists is
// a lost link, so a register unplugged right after the open is reported and
// the loop does not spin.
constexpr int SILENT_READ_FAILURES = 3;

// Standard CLEAR_FEATURE(ENDPOINT_HALT) addressed to an endpoint.
constexpr uint8_t CLEAR_HALT_REQUEST_TYPE = LIBUSB_ENDPOINT_OUT | LIBUSB_REQUEST_TYPE_STANDARD
                                            | LIBUSB_RECIPIENT_ENDPOINT;
constexpr uint8_t CLEAR_FEATURE = LIBUSB_REQUEST_CLEAR_FEATURE;
constexpr uint16_t ENDPOINT_HALT = 0;

QString hex4(uint value)
{
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0'));
}

}

UsbWorker::UsbWorker(const PobSettings &settings, const Timing &timing)
    : m_settings(settings), m_timing(timing), m_readBuffer(READ_SIZE, '\0')
{
    setObjectName(QStringLiteral("USB-") + m_settings.id);
    // Loads the library on the creating thread, before the link's thread runs.
    UsbLib::instance();
}

UsbWorker::~UsbWorker() = default;

UsbLib *UsbWorker::usb() const
{
    return UsbLib::instance();
}

void UsbWorker::start()
{
    const Logger log(objectName());
    UsbLib *lib = usb();
    if (lib->isComplete())
        lib->init(&m_context);
    int failedOpens = 0;
    for (;;) {
        if (m_stopRequested) {
            finish();
            return;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (!m_opened) {
            if (!doOpen()) {
                if (m_settings.hotplugged && ++failedOpens >= HOTPLUGGED_OPEN_ATTEMPTS) {
                    finish();
                    return;
                }
                msleep(m_timing.reopenPauseMs);
                continue;
            }
            emit portConnectionEstablished();
        }

        const uint8_t endpoint = m_useInterface2 ? FALLBACK_IN_ENDPOINT : LINK_IN_ENDPOINT;
        m_readBuffer.fill('\0');
        int received = 0;
        const int status = lib->bulkTransfer(m_handle, endpoint, reinterpret_cast<unsigned char *>(m_readBuffer.data()),
                                             READ_SIZE, &received, unsigned(m_timing.readTimeoutMs));
        if (status == LIBUSB_SUCCESS || status == LIBUSB_ERROR_TIMEOUT)
            m_linkAlive = true;
        if (received > 0) {
            // Bytes that arrived are passed on even when the transfer then failed.
            const QByteArray chunk(m_readBuffer.constData(), qMin(received, READ_SIZE));
            log.info(QStringLiteral("read: ") + baToString(chunk));
            emit portDataReceived(chunk);
            continue;
        }
        if (status == LIBUSB_ERROR_TIMEOUT)
            continue;
        if (!m_linkAlive && ++m_silentReadFailures < SILENT_READ_FAILURES)
            continue;
        lostLink(status);
    }
}

void UsbWorker::stop()
{
    m_stopRequested = true;
}

void UsbWorker::onOfdDataReceived(const QByteArray &data)
{
    if (!m_handle)
        return;
    const uint8_t endpoint = m_useInterface2 ? FALLBACK_OUT_ENDPOINT : LINK_OUT_ENDPOINT;
    QByteArray bytes(data);
    int sent = 0;
    usb()->bulkTransfer(m_handle, endpoint, reinterpret_cast<unsigned char *>(bytes.data()), int(bytes.size()), &sent,
                        unsigned(m_timing.writeTimeoutMs));
    Logger(objectName()).info(QStringLiteral("write: ") + baToString(data));
}

void UsbWorker::lostLink(int status)
{
    Logger(objectName()).error(QStringLiteral("error: %1").arg(status));
    emit portConnectionLost();
    close();
    msleep(m_timing.lostLinkPauseMs);
}

bool UsbWorker::doOpen()
{
    m_linkAlive = false;
    m_silentReadFailures = 0;
    close();
    if (!usb()->isComplete()) {
        Logger(objectName()).error(QStringLiteral("libusb is not available"));
        return false;
    }
    if (!m_context) {
        // Without a context of its own libusb would fall back to a shared default one.
        Logger(objectName()).error(QStringLiteral("Can't init libusb"));
        return false;
    }
    const bool opened = m_settings.port.contains(QLatin1Char('-')) ? openByPath() : openByProductId();
    return opened && claim();
}

bool UsbWorker::openByPath()
{
    const QString &port = m_settings.port;
    const QStringList parts = port.split(QLatin1Char('-'));
    if (parts.size() != 2)
        return false;
    const uint bus = parts.at(0).toUInt();
    UsbLib *lib = usb();
    libusb_device **list = nullptr;
    const ssize_t count = lib->deviceList(m_context, &list);
    libusb_device *match = nullptr;
    QVector<unsigned char> path;
    for (ssize_t i = 0; i < count && !match; ++i) {
        libusb_device *device = list[i];
        if (lib->busNumber(device) != bus || lib->devicePath(device, path) < 0)
            continue;
        QStringList numbers;
        for (unsigned char number : qAsConst(path))
            numbers << QString::number(number);
        if (numbers.join(QLatin1Char('.')) == parts.at(1))
            match = device;
    }

    bool opened = false;
    const Logger log(objectName());
    if (match) {
        log.info(QStringLiteral("Open USB: %1").arg(port));
        const int result = lib->open(match, &m_handle);
        if (result == LIBUSB_SUCCESS) {
            opened = true;
        } else {
            m_handle = nullptr;
            m_lastError = QStringLiteral("Can't open device %1 [%2]").arg(port, errorText(result));
            log.error(m_lastError);
        }
    } else {
        m_lastError = QStringLiteral("Not found device %1").arg(port);
        log.error(m_lastError);
    }
    if (count >= 0)
        lib->freeDeviceList(list, 1);
    return opened;
}

bool UsbWorker::openByProductId()
{
    bool isNumber = false;
    uint productId = m_settings.port.toUInt(&isNumber, 16);
    if (!isNumber)
        productId = 1;
    const QString address = hex4(VENDOR_ID) + QLatin1Char(':') + hex4(productId);
    UsbLib *lib = usb();
    libusb_device **list = nullptr;
    const ssize_t count = lib->deviceList(m_context, &list);
    libusb_device *match = nullptr;
    for (ssize_t i = 0; i < count && !match; ++i) {
        libusb_device_descriptor descriptor {};
        lib->deviceDescriptor(list[i], &descriptor);
        if (descriptor.idVendor == VENDOR_ID && descriptor.idProduct == productId)
            match = list[i];
    }

    bool opened = false;
    const Logger log(objectName());
    if (match) {
        log.info(QStringLiteral("Open USB: %1").arg(address));
        const int result = lib->open(match, &m_handle);
        if (result == LIBUSB_SUCCESS) {
            opened = true;
        } else {
            m_handle = nullptr;
            m_lastError = QStringLiteral("Can't open device %1 [%2]").arg(address, errorText(result));
            log.error(m_lastError);
        }
    } else {
        m_lastError = QStringLiteral("Not found device %1").arg(address);
        log.error(m_lastError);
    }
    if (count >= 0)
        lib->freeDeviceList(list, 1);
    return opened;
}

bool UsbWorker::claim()
{
    UsbLib *lib = usb();
    const Logger log(objectName());
    resetError();
    // An error answer counts as "held" too: detaching is then the safe try.
    if (lib->activeKernelDriver(m_handle, LINK_INTERFACE) != 0) {
        const int result = lib->detachKernelDriver(m_handle, LINK_INTERFACE);
        if (result != LIBUSB_SUCCESS) {
            log.error(errorText(result));
            close();
            return false;
        }
    }

    resetError();
    m_useInterface2 = false;
    if (lib->claimInterface(m_handle, LINK_INTERFACE) != LIBUSB_SUCCESS) {
        const int result = lib->claimInterface(m_handle, FALLBACK_INTERFACE);
        if (result != LIBUSB_SUCCESS) {
            log.error(QStringLiteral("Can't claim device [%1]").arg(errorText(result)));
            close();
            return false;
        }
        m_useInterface2 = true;
    }

    resetError();
    // A halt left over from an earlier session would block the endpoints; IN first.
    const uint8_t in = m_useInterface2 ? FALLBACK_IN_ENDPOINT : LINK_IN_ENDPOINT;
    const uint8_t out = m_useInterface2 ? FALLBACK_OUT_ENDPOINT : LINK_OUT_ENDPOINT;
    for (const uint8_t endpoint : {in, out})
        lib->controlTransfer(m_handle, CLEAR_HALT_REQUEST_TYPE, CLEAR_FEATURE, ENDPOINT_HALT, endpoint, nullptr, 0,
                             unsigned(m_timing.controlTimeoutMs));

    log.info(QStringLiteral("SUCCESS"));
    m_opened = true;
    return true;
}

void UsbWorker::close()
{
    UsbLib *lib = usb();
    if (m_handle) {
        lib->releaseInterface(m_handle, LINK_INTERFACE);
        if (lib->activeKernelDriver(m_handle, FALLBACK_INTERFACE) == 0)
            lib->attachKernelDriver(m_handle, FALLBACK_INTERFACE);
        lib->close(m_handle);
        m_handle = nullptr;
    }
    if (lib->isComplete()) {
        // A fresh context for the next attempt: nothing of a vanished register survives in it.
        if (m_context)
            lib->exit(&m_context);
        lib->init(&m_context);
    }
    m_opened = false;
}

void UsbWorker::finish()
{
    close();
    if (m_context)
        usb()->exit(&m_context);
    emit finished();
}

QString UsbWorker::errorText(int code)
{
    m_lastError = QString::fromLocal8Bit(usb()->strError(code));
    return m_lastError;
}

void UsbWorker::resetError()
{
    m_lastError.clear();
}
