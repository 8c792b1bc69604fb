// The USB link of the Linux build: one register's bulk endpoints, opened through the libusb binding.
#pragma once

#include "iworker.h"
#include "settings.h"

#include <QByteArray>
#include <atomic>
#include <libusb.h>

class UsbLib;

// Durations of the USB link, production values by default.
struct UsbWorkerTiming
{
    int readTimeoutMs = 100;
    int writeTimeoutMs = 1000;
    int controlTimeoutMs = 1000;
    int reopenPauseMs = 2000;
    int lostLinkPauseMs = 10000;
};

class UsbWorker : public IPortWorker
{
    Q_OBJECT
public:
    using Timing = UsbWorkerTiming;

    explicit UsbWorker(const PobSettings &settings, const Timing &timing = Timing());
    ~UsbWorker() override;

signals:
    void finished();
    void portDataReceived(QByteArray data);
    void portConnectionLost();
    void portConnectionEstablished();

public slots:
    void start() override;
    void stop() override;
    void onOfdDataReceived(const QByteArray &data) override;

private:
    bool doOpen();
    bool openByPath();
    bool openByProductId();
    bool claim();
    void close();
    void finish();
    void lostLink(int status);
    QString errorText(int code);
    void resetError();
    UsbLib *usb() const;

    libusb_device_handle *m_handle = nullptr;
    QString m_lastError;
    std::atomic<bool> m_stopRequested {false};
    bool m_opened = false;
    bool m_linkAlive = false;
    PobSettings m_settings;
    libusb_context *m_context = nullptr;
    bool m_useInterface2 = false;
    Timing m_timing;
    // Failed reads in a row since the open, while no read has worked yet.
    int m_silentReadFailures = 0;
    QByteArray m_readBuffer;
};
