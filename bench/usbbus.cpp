// A pobrid copy with the libusb double beside it and N registers on the simulated bus, listed in its settings.
#include "usbbus.h"

#include "pobridprocess.h"


namespace UsbBus {

namespace {
// Device i (from 0) sits on bus 1 behind hub port 1 + i / 10, port 1 + i % 10.
QString ports(int i)
{
    return QStringLiteral("%1.%2").arg(1 + i / 10).arg(1 + i % 10);
}
}

QString socketPath(const PobridProcess &pobrid)
{
    return pobrid.fakeUsbSocket();
}

bool prepare(PobridProcess &pobrid, int count, bool keepOutput)
{
    QByteArray setup;
    QByteArray devices;
    for (int i = 0; i < count; ++i) {
        setup += QStringLiteral("add 1 %1\n").arg(ports(i)).toUtf8();
        devices += QStringLiteral("<device><id>r%1</id><port>1-%2</port></device>\n").arg(i + 1).arg(ports(i)).toUtf8();
    }
    // The console copy of the log is not part of a production run; nobody reads it here.
    if (!keepOutput)
        pobrid.process().setStandardOutputFile(QProcess::nullDevice());
    return pobrid.installLibusbDouble(QStringLiteral(POBRID_LIBUSB_DOUBLE), setup) && pobrid.writeSettings(devices);
}

}
