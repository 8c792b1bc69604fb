// The register's link over a COM port (the Windows build's way to reach a USB register).
#pragma once

#include "iworker.h"
#include "settings.h"

#include <QByteArray>
#include <QSerialPort>
#include <atomic>
#include <memory>

// "3" and "COM3" both name COM3: "COM" goes in front of anything that does
// not already begin with it (case-sensitive, so "com3" becomes "COMcom3").
QString comPortName(const QString &port);

// Durations of the COM-port link, production values by default.
struct SerialWorkerTiming
{
    int reopenDelayMs = 1000;  // between failed attempts to open the port
};

// Driven by the port's signals on its thread's event loop once the port is
// open. On Windows the settings' port goes through comPortName(); elsewhere
// it is used as the device path it is.
class SerialWorker : public IPortWorker
{
    Q_OBJECT
public:
    using Timing = SerialWorkerTiming;

    explicit SerialWorker(const PobSettings &settings, const Timing &timing = Timing());
    ~SerialWorker() override;

    QString portName() const { return m_portName; }

signals:
    void finished();
    void portDataReceived(QByteArray data);
    void portConnectionLost();
    void portConnectionEstablished();

public slots:
    void start() override;
    // Any thread: the port is closed and finished() emitted on the worker's own
    // thread, as soon as it processes events (the open loop does so in its pauses).
    void stop() override;
    void onOfdDataReceived(const QByteArray &data) override;

private slots:
    void onPortReadyRead();
    void onPortError(QSerialPort::SerialPortError error);
    void requestStop();
    void finishIfStopped();

private:
    // Returns when the port is open (true) or a stop was requested (false).
    bool openPort();

    std::unique_ptr<QSerialPort> m_serialPort;
    PobSettings m_settings;
    QString m_portName;
    std::atomic<bool> m_stopRequested {false};
    Timing m_timing;
    // The open loop is running: the port must not be deleted under it, nor the loop entered twice.
    bool m_opening = false;
    bool m_finished = false;
};
