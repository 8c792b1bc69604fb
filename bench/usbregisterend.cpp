// A register on the libusb double's simulated bus, reached through the double's control socket.
#include "usbregisterend.h"

#include "fakeusbregister.h"

UsbRegisterEnd::UsbRegisterEnd(FakeUsbRegister &bus, int deviceId, bool busPlaysThisDevice, QObject *parent)
    : RegisterEnd(parent)
    , m_bus(bus)
    , m_deviceId(deviceId)
{
    if (busPlaysThisDevice)
        connect(&bus, &FakeUsbRegister::linkBytes, this, &UsbRegisterEnd::deliver);
    m_finePoll.setTimerType(Qt::PreciseTimer);
    m_finePoll.setInterval(1);
    connect(&m_finePoll, &QTimer::timeout, this, &UsbRegisterEnd::poll);
}

void UsbRegisterEnd::send(const QByteArray &bytes)
{
    // Interface 3's bulk IN endpoint 0x8B: what the register sends.
    m_bus.command(QStringLiteral("feed %1 8b %2").arg(m_deviceId).arg(QString::fromLatin1(bytes.toHex())));
}

void UsbRegisterEnd::setFinePolling(bool on)
{
    if (on)
        m_finePoll.start();
    else
        m_finePoll.stop();
}

void UsbRegisterEnd::poll()
{
    // Interface 3's bulk OUT endpoint 0x0A: what pobrid writes to the register.
    deliver(QByteArray::fromHex(m_bus.command(QStringLiteral("take %1 a").arg(m_deviceId)).toLatin1()));
}
