// Fuzz target: reading settings.xml from arbitrary bytes.
#include "fuzzcheck.h"
#include "settings.h"

#include <QBuffer>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QByteArray bytes = fuzzBytes(data, size);
    QBuffer file(&bytes);
    file.open(QIODevice::ReadOnly);
    const Settings settings = Settings::parse(file);

    for (const SarnSettings &device : settings.sarnDevices)
        fuzzCheck(device.protocol == 2 || device.protocol == 3, "a Sarn device's protocol is 2 or 3");
    for (const PobSettings &device : settings.pobDevices)
        fuzzCheck(!device.hotplugged, "devices read from the file are never hotplugged");
    return 0;
}
