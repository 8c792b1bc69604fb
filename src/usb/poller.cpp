// The hotplug agent's event thread.
#include "poller.h"

#include "hotplugagentprivate.h"

namespace {

// Lets a departing device settle before libusb is asked for events again.
constexpr unsigned long REINIT_PAUSE_MS = 100;

}

Poller::Poller(HotplugAgentPrivate *owner)
    : m_owner(owner)
{
}

void Poller::setCanceled(bool canceled)
{
    m_canceled = canceled;
}

void Poller::run()
{
    while (!m_canceled) {
        if (HotplugAgentPrivate::m_needReinit) {
            QThread::msleep(REINIT_PAUSE_MS);
            HotplugAgentPrivate::m_needReinit = false;
        }
        m_owner->handleEvents();
        QThread::msleep(1);
    }
}
