// The receiver of the hotplug agent's reports: arriving and departing registers.
#pragma once

#include <QMap>
#include <QString>

// The property map holds one key, "Dev": the device's USB address, bus number,
// "-", then the port path (for example 2-1.3). Listeners are never deleted
// through this interface.
class HotplugListener
{
public:
    virtual void onDeviceConnected(const QMap<QString, QString> &properties) = 0;
    virtual void onDeviceDisconnected(const QMap<QString, QString> &properties) = 0;

protected:
    ~HotplugListener() = default;
};
