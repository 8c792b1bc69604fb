// The hotplug agent's platform part: libusb hotplug callbacks on Linux, nothing on Windows.
#pragma once

#include <QtGlobal>

class HotplugAgent;
class HotplugListener;

#ifndef Q_OS_WIN
#include <atomic>
#include <libusb.h>

class Poller;

// Reports arrivals through a libusb hotplug callback: the registers already
// attached during registration (on the constructing thread), later ones from
// the poller thread. One agent at a time: the listener is class-wide.
class HotplugAgentPrivate
{
public:
    explicit HotplugAgentPrivate(HotplugListener *listener);
    virtual ~HotplugAgentPrivate();

    HotplugAgentPrivate(const HotplugAgentPrivate &) = delete;
    HotplugAgentPrivate &operator=(const HotplugAgentPrivate &) = delete;

private:
    friend class HotplugAgent;
    friend class Poller;
    friend int LIBUSB_CALL hotplug_callback(libusb_context *, libusb_device *, libusb_hotplug_event, void *);

    void init();
    void deinit();
    void handleEvents();

    HotplugAgent *m_agent = nullptr;
    libusb_context *m_context = nullptr;
    int m_callbackHandle = 0;
    Poller *m_poller = nullptr;
    // Set once the callback is registered: only then does the poller wait for events.
    bool m_watching = false;

    static std::atomic<HotplugListener *> m_hotplugListener;
    // A device has left: the poller pauses before its next event wait.
    static std::atomic<bool> m_needReinit;
};

int LIBUSB_CALL hotplug_callback(libusb_context *context, libusb_device *device, libusb_hotplug_event event,
                                 void *userData);

#else

// The Windows build watches nothing: Pob devices there are COM ports.
class HotplugAgentPrivate
{
public:
    explicit HotplugAgentPrivate(HotplugListener *listener);
    virtual ~HotplugAgentPrivate();

private:
    friend class HotplugAgent;
    HotplugAgent *m_agent = nullptr;
};

#endif
