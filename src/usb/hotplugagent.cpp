// The hotplug agent's front, common to both platforms.
#include "hotplugagent.h"

#include "hotplugagentprivate.h"

HotplugAgent::HotplugAgent(HotplugListener *listener)
    : m_private(new HotplugAgentPrivate(listener)), m_listener(listener)
{
    m_private->m_agent = this;
}

HotplugAgent::HotplugAgent(HotplugAgentPrivate &d, HotplugListener *listener)
    : m_private(&d), m_listener(listener)
{
}

HotplugAgent::~HotplugAgent() = default;
