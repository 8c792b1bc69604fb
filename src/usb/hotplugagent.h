// The hotplug agent's front: watches for arriving registers and reports them to its listener.
#pragma once

#include <memory>

class HotplugAgentPrivate;
class HotplugListener;

// The platform part starts watching as soon as it is made; registers already
// attached are reported before the constructor returns. Destruction ends all
// reporting before it returns.
class HotplugAgent
{
public:
    explicit HotplugAgent(HotplugListener *listener);
    // Takes ownership of a platform part that the caller made.
    HotplugAgent(HotplugAgentPrivate &d, HotplugListener *listener);
    ~HotplugAgent();

    HotplugAgent(const HotplugAgent &) = delete;
    HotplugAgent &operator=(const HotplugAgent &) = delete;

private:
    std::unique_ptr<HotplugAgentPrivate> m_private;
    HotplugListener *m_listener = nullptr;
};
