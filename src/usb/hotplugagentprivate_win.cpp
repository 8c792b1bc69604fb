// The Windows build's hotplug platform part: registers for nothing and never reports.
#include "hotplugagentprivate.h"

HotplugAgentPrivate::HotplugAgentPrivate(HotplugListener *)
{
}

HotplugAgentPrivate::~HotplugAgentPrivate() = default;
