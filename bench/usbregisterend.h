// A register on the libusb double's simulated bus, reached through the double's control socket.
#pragma once

#include "registerend.h"

#include <QTimer>

class FakeUsbRegister;

// The control socket has no notification: what pobrid writes to the OUT
// endpoint is found by polling. The regular poll of the shared register model
// runs every 10 ms; while a measurement needs finer arrival times, a precise
// 1 ms poll runs beside it. Every command costs one control-socket round trip.
class UsbRegisterEnd : public RegisterEnd
{
    Q_OBJECT
public:
    // bus: a register model connected to the double's socket, used to issue
    // commands; when it was made for this same device, its regular poll feeds
    // this end too.
    UsbRegisterEnd(FakeUsbRegister &bus, int deviceId, bool busPlaysThisDevice, QObject *parent = nullptr);

    void send(const QByteArray &bytes) override;
    void setFinePolling(bool on);
    // Polls the OUT endpoint once now.
    void poll();

private:
    FakeUsbRegister &m_bus;
    int m_deviceId;
    QTimer m_finePoll;
};
