// The run-time binding to libusb-1.0: loading, resolving and the thin wrappers.
#include "usblib.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QMutexLocker>

namespace {

const char LIBRARY_FILE[] = "libusb-1.0.so.0";
// USB allows at most 7 hubs between the root hub and a device.
constexpr int MAX_PORT_DEPTH = 8;
constexpr int STRING_DESCRIPTOR_SIZE = 1024;

}

UsbLib::UsbLib() = default;

UsbLib::~UsbLib() = default;

UsbLib *UsbLib::instance()
{
    static UsbLib lib;
    QMutexLocker locker(&lib.m_loadLock);
    if (!lib.isLoaded()) {
        // Only the copy beside the executable is used, never the system's search path.
        lib.setFileName(QCoreApplication::applicationDirPath() + QDir::separator() + QLatin1String(LIBRARY_FILE));
        lib.load();
    }
    return &lib;
}

bool UsbLib::load()
{
    if (!QLibrary::load()) {
        qDebug() << QStringLiteral("<%1> load error [%2]").arg(fileName(), errorString());
        return false;
    }
    if (!isLoaded())
        return false;
    try {
        resolveAll();
    } catch (const Exception &e) {
        qDebug() << QStringLiteral("error resolve %1").arg(e.whatQString());
        return false;
    }
    m_complete = true;
    return true;
}

void UsbLib::unload()
{
    m_complete = false;
    clearEntryPoints();
    QLibrary::unload();
}

void UsbLib::resolveAll()
{
    m_init = loadMethod<decltype(m_init)>("libusb_init");
    m_exit = loadMethod<decltype(m_exit)>("libusb_exit");
    try {
        m_strError = loadMethod<decltype(m_strError)>("libusb_strerror");
    } catch (const Exception &) {
        // Older libusb has no error texts of its own; the C library's strerror,
        // found through the library's dependencies, takes the same argument.
        m_strError = loadMethod<decltype(m_strError)>("strerror");
    }
    m_open = loadMethod<decltype(m_open)>("libusb_open");
    m_close = loadMethod<decltype(m_close)>("libusb_close");
    m_getDevice = loadMethod<decltype(m_getDevice)>("libusb_get_device");
    m_claimInterface = loadMethod<decltype(m_claimInterface)>("libusb_claim_interface");
    m_releaseInterface = loadMethod<decltype(m_releaseInterface)>("libusb_release_interface");
    m_openPidVid = loadMethod<decltype(m_openPidVid)>("libusb_open_device_with_vid_pid");
    m_clearHalt = loadMethod<decltype(m_clearHalt)>("libusb_clear_halt");
    m_resetDevice = loadMethod<decltype(m_resetDevice)>("libusb_reset_device");
    m_setAutoDetachKernelDriver =
        loadMethod<decltype(m_setAutoDetachKernelDriver)>("libusb_set_auto_detach_kernel_driver");
    m_controlTransfer = loadMethod<decltype(m_controlTransfer)>("libusb_control_transfer");
    m_bulkTransfer = loadMethod<decltype(m_bulkTransfer)>("libusb_bulk_transfer");
    m_getActiveConfigDescriptor =
        loadMethod<decltype(m_getActiveConfigDescriptor)>("libusb_get_active_config_descriptor");
    m_freeConfigDescriptor = loadMethod<decltype(m_freeConfigDescriptor)>("libusb_free_config_descriptor");
    m_attachKernelDriver = loadMethod<decltype(m_attachKernelDriver)>("libusb_attach_kernel_driver");
    m_detachKernelDriver = loadMethod<decltype(m_detachKernelDriver)>("libusb_detach_kernel_driver");
    m_activeKernelDriver = loadMethod<decltype(m_activeKernelDriver)>("libusb_kernel_driver_active");
    m_maxPacketSize = loadMethod<decltype(m_maxPacketSize)>("libusb_get_max_packet_size");
    m_getConfiguration = loadMethod<decltype(m_getConfiguration)>("libusb_get_configuration");
    m_setConfiguration = loadMethod<decltype(m_setConfiguration)>("libusb_set_configuration");
    m_deviceList = loadMethod<decltype(m_deviceList)>("libusb_get_device_list");
    m_freeDeviceList = loadMethod<decltype(m_freeDeviceList)>("libusb_free_device_list");
    m_stringDescriptor = loadMethod<decltype(m_stringDescriptor)>("libusb_get_string_descriptor_ascii");
    m_deviceDescriptor = loadMethod<decltype(m_deviceDescriptor)>("libusb_get_device_descriptor");
    m_busNumber = loadMethod<decltype(m_busNumber)>("libusb_get_bus_number");
    m_devicePath = loadMethod<decltype(m_devicePath)>("libusb_get_port_numbers");
    m_hotplugRegisterCallback =
        loadMethod<decltype(m_hotplugRegisterCallback)>("libusb_hotplug_register_callback");
    m_hotplugDeregisterCallback =
        loadMethod<decltype(m_hotplugDeregisterCallback)>("libusb_hotplug_deregister_callback");
    m_handleEvents = loadMethod<decltype(m_handleEvents)>("libusb_handle_events");
    m_interruptEventHandler =
        reinterpret_cast<decltype(m_interruptEventHandler)>(resolve("libusb_interrupt_event_handler"));
}

void UsbLib::clearEntryPoints()
{
    m_init = nullptr;
    m_exit = nullptr;
    m_strError = nullptr;
    m_open = nullptr;
    m_close = nullptr;
    m_getDevice = nullptr;
    m_claimInterface = nullptr;
    m_releaseInterface = nullptr;
    m_openPidVid = nullptr;
    m_clearHalt = nullptr;
    m_resetDevice = nullptr;
    m_setAutoDetachKernelDriver = nullptr;
    m_controlTransfer = nullptr;
    m_bulkTransfer = nullptr;
    m_getActiveConfigDescriptor = nullptr;
    m_freeConfigDescriptor = nullptr;
    m_attachKernelDriver = nullptr;
    m_detachKernelDriver = nullptr;
    m_activeKernelDriver = nullptr;
    m_maxPacketSize = nullptr;
    m_getConfiguration = nullptr;
    m_setConfiguration = nullptr;
    m_deviceList = nullptr;
    m_freeDeviceList = nullptr;
    m_stringDescriptor = nullptr;
    m_deviceDescriptor = nullptr;
    m_busNumber = nullptr;
    m_devicePath = nullptr;
    m_hotplugRegisterCallback = nullptr;
    m_hotplugDeregisterCallback = nullptr;
    m_handleEvents = nullptr;
    m_interruptEventHandler = nullptr;
}

int UsbLib::init(libusb_context **context) const
{
    return m_init(context);
}

void UsbLib::exit(libusb_context **context) const
{
    m_exit(*context);
    *context = nullptr;
}

const char *UsbLib::strError(int code) const
{
    return m_strError(code);
}

int UsbLib::open(libusb_device *device, libusb_device_handle **handle) const
{
    return m_open(device, handle);
}

void UsbLib::close(libusb_device_handle *handle) const
{
    m_close(handle);
}

libusb_device *UsbLib::getDevice(libusb_device_handle *handle) const
{
    return m_getDevice(handle);
}

int UsbLib::claimInterface(libusb_device_handle *handle, int interfaceNumber) const
{
    return m_claimInterface(handle, interfaceNumber);
}

int UsbLib::releaseInterface(libusb_device_handle *handle, int interfaceNumber) const
{
    return m_releaseInterface(handle, interfaceNumber);
}

libusb_device_handle *UsbLib::openPidVid(libusb_context *context, uint16_t vendorId, uint16_t productId) const
{
    return m_openPidVid(context, vendorId, productId);
}

int UsbLib::clearHalt(libusb_device_handle *handle, uint8_t endpoint) const
{
    return m_clearHalt(handle, endpoint);
}

int UsbLib::resetDevice(libusb_device_handle *handle) const
{
    return m_resetDevice(handle);
}

int UsbLib::setAutoDetachKernelDriver(libusb_device_handle *handle, int enable) const
{
    return m_setAutoDetachKernelDriver(handle, enable);
}

int UsbLib::controlTransfer(libusb_device_handle *handle, uint8_t requestType, uint8_t request, uint16_t value,
                            uint16_t index, unsigned char *data, uint16_t length, unsigned int timeoutMs) const
{
    return m_controlTransfer(handle, requestType, request, value, index, data, length, timeoutMs);
}

int UsbLib::bulkTransfer(libusb_device_handle *handle, uint8_t endpoint, unsigned char *data, int length,
                         int *transferred, unsigned int timeoutMs) const
{
    return m_bulkTransfer(handle, endpoint, data, length, transferred, timeoutMs);
}

int UsbLib::getActiveConfigDescriptor(libusb_device *device, libusb_config_descriptor **config) const
{
    return m_getActiveConfigDescriptor(device, config);
}

void UsbLib::freeConfigDescriptor(libusb_config_descriptor *config) const
{
    m_freeConfigDescriptor(config);
}

int UsbLib::attachKernelDriver(libusb_device_handle *handle, int interfaceNumber) const
{
    return m_attachKernelDriver(handle, interfaceNumber);
}

int UsbLib::detachKernelDriver(libusb_device_handle *handle, int interfaceNumber) const
{
    return m_detachKernelDriver(handle, interfaceNumber);
}

int UsbLib::activeKernelDriver(libusb_device_handle *handle, int interfaceNumber) const
{
    return m_activeKernelDriver(handle, interfaceNumber);
}

int UsbLib::maxPacketSize(libusb_device *device, uint8_t endpoint) const
{
    return m_maxPacketSize(device, endpoint);
}

int UsbLib::getConfiguration(libusb_device_handle *handle) const
{
    int configuration = -1;
    if (m_getConfiguration(handle, &configuration) != LIBUSB_SUCCESS)
        return -1;
    return configuration;
}

int UsbLib::setConfiguration(libusb_device_handle *handle, int configuration) const
{
    return m_setConfiguration(handle, configuration);
}

ssize_t UsbLib::deviceList(libusb_context *context, libusb_device ***list) const
{
    return m_deviceList(context, list);
}

void UsbLib::freeDeviceList(libusb_device **list, int unrefDevices) const
{
    m_freeDeviceList(list, unrefDevices);
}

QByteArray UsbLib::stringDescriptor(libusb_device_handle *handle, uint8_t index) const
{
    QByteArray text(STRING_DESCRIPTOR_SIZE, '\0');
    const int result = m_stringDescriptor(handle, index, reinterpret_cast<unsigned char *>(text.data()),
                                          STRING_DESCRIPTOR_SIZE);
    if (result < 0)
        return QByteArray();
    // The descriptor need not be terminated within the buffer; never read past it.
    const int length = int(qstrnlen(text.constData(), STRING_DESCRIPTOR_SIZE));
    text.truncate(length);
    return text;
}

int UsbLib::deviceDescriptor(libusb_device *device, libusb_device_descriptor *descriptor) const
{
    return m_deviceDescriptor(device, descriptor);
}

uint8_t UsbLib::busNumber(libusb_device *device) const
{
    return m_busNumber(device);
}

int UsbLib::devicePath(libusb_device *device, QVector<unsigned char> &path) const
{
    path.clear();
    path.resize(MAX_PORT_DEPTH);
    const int result = m_devicePath(device, path.data(), MAX_PORT_DEPTH);
    if (result >= 0)
        path.resize(result);
    else
        path.fill(0);
    return result;
}

int UsbLib::hotplugRegisterCallback(libusb_context *context, int events, int flags, int vendorId, int productId,
                                    int deviceClass, libusb_hotplug_callback_fn callback, void *userData,
                                    int *callbackHandle) const
{
    return m_hotplugRegisterCallback(context, events, flags, vendorId, productId, deviceClass, callback, userData,
                                     callbackHandle);
}

void UsbLib::hotplugDeregisterCallback(libusb_context *context, int callbackHandle) const
{
    m_hotplugDeregisterCallback(context, callbackHandle);
}

int UsbLib::handleEvents(libusb_context *context) const
{
    return m_handleEvents(context);
}

void UsbLib::interruptEventHandler(libusb_context *context) const
{
    m_interruptEventHandler(context);
}
