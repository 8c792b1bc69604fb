// The Linux hotplug platform part: a libusb hotplug callback for the registers' vendor id and its event thread.
#include "hotplugagentprivate.h"

#include "hotpluglistener.h"
#include "logger.h"
#include "poller.h"
#include "usblib.h"

#include <QStringList>
#include <QVector>

namespace {

constexpr int VENDOR_ID = 0xC7E4;
const char LOGGER_NAME[] = "Hotplug";

}

std::atomic<HotplugListener *> HotplugAgentPrivate::m_hotplugListener {nullptr};
std::atomic<bool> HotplugAgentPrivate::m_needReinit {false};

HotplugAgentPrivate::HotplugAgentPrivate(HotplugListener *listener)
    : m_poller(new Poller(this))
{
    m_hotplugListener = listener;
    init();
    if (m_watching)
        m_poller->start();
}

HotplugAgentPrivate::~HotplugAgentPrivate()
{
    m_poller->setCanceled(true);
    deinit();
    // Deregistering wakes a waiting event handler, and the wake-up stays
    // pending for a wait that is only about to begin; the explicit interrupt
    // covers libusb versions where deregistration alone does not.
    UsbLib *lib = UsbLib::instance();
    while (!m_poller->wait(50)) {
        if (m_context && lib->canInterruptEventHandler())
            lib->interruptEventHandler(m_context);
    }
    delete m_poller;
    m_poller = nullptr;
    // Only now that no thread can be inside an event wait on it.
    if (m_context)
        lib->exit(&m_context);
}

void HotplugAgentPrivate::init()
{
    UsbLib *lib = UsbLib::instance();
    const Logger log(QString::fromLatin1(LOGGER_NAME));
    if (!lib->isComplete()) {
        log.error(QStringLiteral("libusb is not available"));
        return;
    }
    int result = lib->init(&m_context);
    if (result != LIBUSB_SUCCESS || !m_context) {
        m_context = nullptr;
        log.error(QStringLiteral("Can't init libusb [%1]").arg(QString::fromLocal8Bit(lib->strError(result))));
        return;
    }
    // With the enumerate flag the registers already attached are reported
    // right here, on this thread.
    result = lib->hotplugRegisterCallback(m_context, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
                                          LIBUSB_HOTPLUG_ENUMERATE, VENDOR_ID, LIBUSB_HOTPLUG_MATCH_ANY,
                                          LIBUSB_HOTPLUG_MATCH_ANY, hotplug_callback, nullptr, &m_callbackHandle);
    if (result != LIBUSB_SUCCESS) {
        log.error(QStringLiteral("Can't watch USB devices [%1]").arg(QString::fromLocal8Bit(lib->strError(result))));
        return;
    }
    m_watching = true;
}

void HotplugAgentPrivate::deinit()
{
    if (!m_watching)
        return;
    UsbLib::instance()->hotplugDeregisterCallback(m_context, m_callbackHandle);
    m_watching = false;
}

void HotplugAgentPrivate::handleEvents()
{
    UsbLib::instance()->handleEvents(m_context);
}

int LIBUSB_CALL hotplug_callback(libusb_context *, libusb_device *device, libusb_hotplug_event event, void *)
{
    if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT) {
        HotplugAgentPrivate::m_needReinit = true;
        return 0;
    }
    if (event != LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED)
        return 0;

    UsbLib *lib = UsbLib::instance();
    const uint bus = lib->busNumber(device);
    QVector<unsigned char> path;
    const int result = lib->devicePath(device, path);
    if (result < 0) {
        // Without its port path the address would name no device: a link made for it could never open.
        Logger(QString::fromLatin1(LOGGER_NAME))
            .error(QStringLiteral("Can't read the port path of a device on bus %1 [%2]")
                       .arg(bus)
                       .arg(QString::fromLocal8Bit(lib->strError(result))));
        return 0;
    }
    QStringList numbers;
    for (unsigned char number : qAsConst(path))
        numbers << QString::number(number);
    QMap<QString, QString> properties;
    properties.insert(QStringLiteral("Dev"), QStringLiteral("%1-%2").arg(bus).arg(numbers.join(QLatin1Char('.'))));
    if (HotplugListener *listener = HotplugAgentPrivate::m_hotplugListener)
        listener->onDeviceConnected(properties);
    return 0;
}
