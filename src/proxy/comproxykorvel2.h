// Serial proxy between the cash-register software and a register speaking protocol version 2.
#pragma once

#include "iworker.h"
#include "korvel2link.h"
#include "settings.h"

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QSerialPort>
#include <atomic>
#include <memory>

class Korvel2SerialChannel;

// Durations of the protocol-2 proxy, production values by default.
struct ComProxyKorvel2Timing
{
    int reopenDelayMs = 1000;   // between attempts to open a port
    int loopDelayMs = 10;       // between two passes of the work loop
    int receiveTimeoutMs = 10;  // how long each pass waits for a peer's ENQ
};

// Moves every message of the software to the register and back, each in a
// handshake of its own on each line, picks the register's OFD messages
// (command 0xDA) out for the exchange worker and sends the OFD answers to the
// register behind the software's most recent two-byte prefix.
class ComProxyKorvel2 : public IPortWorker
{
    Q_OBJECT
public:
    using ExchangeException = Korvel2Link::ExchangeException;

    using Timing = ComProxyKorvel2Timing;

    // The register's command carrying OFD traffic.
    static constexpr char OFD_COMMAND = char(0xDA);
    // Prefix of the OFD answers until the software has sent its first message:
    // two zero bytes, which the register takes ahead of any command code.
    static const QByteArray DEFAULT_COMMAND_PREFIX;

    explicit ComProxyKorvel2(const SarnSettings &settings, const Timing &timing = Timing());
    ~ComProxyKorvel2() override;

signals:
    void finished();
    void portDataReceived(QByteArray data);
    void portConnectionLost();
    void portConnectionEstablished();

public slots:
    void start() override;
    // From another thread: returns once the pass in progress has ended.
    void stop() override;
    void onOfdDataReceived(const QByteArray &data) override;

private slots:
    void devError(QSerialPort::SerialPortError error);
    void appError(QSerialPort::SerialPortError error);

private:
    // side: true for the software's port, false for the register's.
    QByteArray exchange(bool side, const QByteArray &message, int timeoutMs);
    bool connectDevPort();
    bool connectAppPort();
    bool openPort(QSerialPort &port, QMutex &lock, const QString &name, qint32 baudRate);
    // One pass of the work loop; false when a port is not open.
    bool runPass();
    void routeFromApp(const QByteArray &message);
    void routeFromDev(const QByteArray &message);
    void sendOfdAnswers();

    // Held for one pass of the work loop; shared with a stop() that waits on it.
    std::shared_ptr<QMutex> m_loopLock;
    std::unique_ptr<QSerialPort> m_devPort;
    QMutex m_devLock;
    bool m_devReconnect = false;
    std::unique_ptr<QSerialPort> m_appPort;
    QMutex m_appLock;
    bool m_appReconnect = false;
    std::atomic<bool> m_stopRequested {false};
    QMutex m_ofdQueueLock;
    QList<QByteArray> m_ofdQueue;
    QByteArray m_commandPrefix;
    // Messages received and waiting for their turn on the other line.
    QList<QByteArray> m_forDev;
    QList<QByteArray> m_forApp;
    SarnSettings m_settings;
    Timing m_timing;
    std::unique_ptr<Korvel2SerialChannel> m_devChannel;
    std::unique_ptr<Korvel2SerialChannel> m_appChannel;
    std::unique_ptr<Korvel2Link> m_devLink;
    std::unique_ptr<Korvel2Link> m_appLink;
};
