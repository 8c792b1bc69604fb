// The run-time binding to libusb-1.0: the library beside the executable, opened by file name, never linked.
#pragma once

#include "exception.h"

#include <QByteArray>
#include <QLibrary>
#include <QMutex>
#include <QVector>
#include <atomic>
#include <libusb.h>

// One process-wide object (instance()). The header of libusb is used for its
// types only; every call goes through an entry point resolved at load time.
// No wrapper checks the load state: callers ask isComplete() first, so that no
// unset entry point is ever called.
class UsbLib : public QLibrary
{
public:
    static UsbLib *instance();

    // Opens the library and resolves every entry point; true only if all
    // required ones were found. A missing one leaves the library loaded and
    // the entry points before it set (see isComplete()).
    bool load();
    // Unloads the library and forgets every entry point.
    void unload();
    // True once every required entry point is set.
    bool isComplete() const { return m_complete; }
    // libusb_interrupt_event_handler is optional (libusb 1.0.21 and later).
    bool canInterruptEventHandler() const { return m_interruptEventHandler != nullptr; }

    // Resolves one symbol; throws Exception carrying the symbol's name when it is missing.
    template<typename T>
    T loadMethod(const char *symbol)
    {
        const QFunctionPointer function = resolve(symbol);
        if (!function)
            throw Exception(symbol);
        return reinterpret_cast<T>(function);
    }

    int init(libusb_context **context) const;
    // Destroys the context and sets the pointer to null.
    void exit(libusb_context **context) const;
    const char *strError(int code) const;
    int open(libusb_device *device, libusb_device_handle **handle) const;
    void close(libusb_device_handle *handle) const;
    libusb_device *getDevice(libusb_device_handle *handle) const;
    int claimInterface(libusb_device_handle *handle, int interfaceNumber) const;
    int releaseInterface(libusb_device_handle *handle, int interfaceNumber) const;
    libusb_device_handle *openPidVid(libusb_context *context, uint16_t vendorId, uint16_t productId) const;
    int clearHalt(libusb_device_handle *handle, uint8_t endpoint) const;
    int resetDevice(libusb_device_handle *handle) const;
    int setAutoDetachKernelDriver(libusb_device_handle *handle, int enable) const;
    int controlTransfer(libusb_device_handle *handle, uint8_t requestType, uint8_t request, uint16_t value,
                        uint16_t index, unsigned char *data, uint16_t length, unsigned int timeoutMs) const;
    int bulkTransfer(libusb_device_handle *handle, uint8_t endpoint, unsigned char *data, int length,
                     int *transferred, unsigned int timeoutMs) const;
    int getActiveConfigDescriptor(libusb_device *device, libusb_config_descriptor **config) const;
    void freeConfigDescriptor(libusb_config_descriptor *config) const;
    int attachKernelDriver(libusb_device_handle *handle, int interfaceNumber) const;
    int detachKernelDriver(libusb_device_handle *handle, int interfaceNumber) const;
    // 1 a kernel driver is bound, 0 none, negative an error code.
    int activeKernelDriver(libusb_device_handle *handle, int interfaceNumber) const;
    int maxPacketSize(libusb_device *device, uint8_t endpoint) const;
    // The active configuration value, or -1 if the query failed.
    int getConfiguration(libusb_device_handle *handle) const;
    int setConfiguration(libusb_device_handle *handle, int configuration) const;
    ssize_t deviceList(libusb_context *context, libusb_device ***list) const;
    void freeDeviceList(libusb_device **list, int unrefDevices) const;
    // The ASCII string descriptor up to its first zero byte; empty on error.
    QByteArray stringDescriptor(libusb_device_handle *handle, uint8_t index) const;
    int deviceDescriptor(libusb_device *device, libusb_device_descriptor *descriptor) const;
    uint8_t busNumber(libusb_device *device) const;
    // Port numbers from the root hub down to the device; the count, or a
    // negative error code (path then holds 8 zero bytes).
    int devicePath(libusb_device *device, QVector<unsigned char> &path) const;
    int hotplugRegisterCallback(libusb_context *context, int events, int flags, int vendorId, int productId,
                                int deviceClass, libusb_hotplug_callback_fn callback, void *userData,
                                int *callbackHandle) const;
    void hotplugDeregisterCallback(libusb_context *context, int callbackHandle) const;
    int handleEvents(libusb_context *context) const;
    // Wakes a thread waiting in handleEvents(); only if canInterruptEventHandler().
    void interruptEventHandler(libusb_context *context) const;

private:
    UsbLib();
    ~UsbLib() override;
    void resolveAll();
    void clearEntryPoints();

    // Retries after a failed load may come from several threads at once.
    QMutex m_loadLock;
    std::atomic<bool> m_complete {false};

    decltype(&::libusb_init) m_init = nullptr;
    decltype(&::libusb_exit) m_exit = nullptr;
    decltype(&::libusb_strerror) m_strError = nullptr;
    decltype(&::libusb_open) m_open = nullptr;
    decltype(&::libusb_close) m_close = nullptr;
    decltype(&::libusb_get_device) m_getDevice = nullptr;
    decltype(&::libusb_claim_interface) m_claimInterface = nullptr;
    decltype(&::libusb_release_interface) m_releaseInterface = nullptr;
    decltype(&::libusb_open_device_with_vid_pid) m_openPidVid = nullptr;
    decltype(&::libusb_clear_halt) m_clearHalt = nullptr;
    decltype(&::libusb_reset_device) m_resetDevice = nullptr;
    decltype(&::libusb_set_auto_detach_kernel_driver) m_setAutoDetachKernelDriver = nullptr;
    decltype(&::libusb_control_transfer) m_controlTransfer = nullptr;
    decltype(&::libusb_bulk_transfer) m_bulkTransfer = nullptr;
    decltype(&::libusb_get_active_config_descriptor) m_getActiveConfigDescriptor = nullptr;
    decltype(&::libusb_free_config_descriptor) m_freeConfigDescriptor = nullptr;
    decltype(&::libusb_attach_kernel_driver) m_attachKernelDriver = nullptr;
    decltype(&::libusb_detach_kernel_driver) m_detachKernelDriver = nullptr;
    decltype(&::libusb_kernel_driver_active) m_activeKernelDriver = nullptr;
    decltype(&::libusb_get_max_packet_size) m_maxPacketSize = nullptr;
    decltype(&::libusb_get_configuration) m_getConfiguration = nullptr;
    decltype(&::libusb_set_configuration) m_setConfiguration = nullptr;
    decltype(&::libusb_get_device_list) m_deviceList = nullptr;
    decltype(&::libusb_free_device_list) m_freeDeviceList = nullptr;
    decltype(&::libusb_get_string_descriptor_ascii) m_stringDescriptor = nullptr;
    decltype(&::libusb_get_device_descriptor) m_deviceDescriptor = nullptr;
    decltype(&::libusb_get_bus_number) m_busNumber = nullptr;
    decltype(&::libusb_get_port_numbers) m_devicePath = nullptr;
    decltype(&::libusb_hotplug_register_callback) m_hotplugRegisterCallback = nullptr;
    decltype(&::libusb_hotplug_deregister_callback) m_hotplugDeregisterCallback = nullptr;
    decltype(&::libusb_handle_events) m_handleEvents = nullptr;
    decltype(&::libusb_interrupt_event_handler) m_interruptEventHandler = nullptr;
};
