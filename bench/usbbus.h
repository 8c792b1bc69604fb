// A pobrid copy with the libusb double beside it and N registers on the simulated bus, listed in its settings.
#pragma once

#include <QString>

class PobridProcess;

namespace UsbBus {
// Writes the double's setup file (devices 1..count) and settings.xml naming
// each by its port path; pobrid's console output is discarded unless keepOutput.
bool prepare(PobridProcess &pobrid, int count, bool keepOutput = false);
QString socketPath(const PobridProcess &pobrid);
}
