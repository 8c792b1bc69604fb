// The hotplug agent's event thread: pumps libusb events so that later arrivals are reported.
#pragma once

#include <QThread>
#include <atomic>

class HotplugAgentPrivate;

class Poller : public QThread
{
public:
    explicit Poller(HotplugAgentPrivate *owner);

    // Set by the thread that destroys the agent, read by the poller.
    void setCanceled(bool canceled);

protected:
    void run() override;

private:
    std::atomic<bool> m_canceled {false};
    HotplugAgentPrivate *m_owner;
};
