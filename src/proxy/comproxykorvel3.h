// Serial proxy between the cash-register software and a register speaking protocol version 3.
#pragma once

#include "iworker.h"
#include "korvel3appparser.h"
#include "korvel3codec.h"
#include "korvel3devparser.h"
#include "logger.h"
#include "settings.h"

#include <QElapsedTimer>
#include <QRecursiveMutex>
#include <QSerialPort>
#include <atomic>
#include <memory>

class QTimer;

// Durations of the protocol-3 proxy; the defaults are the production values.
struct ComProxyKorvel3Timing
{
    int settleMs = 3000;          // each of the two sleeps around opening the register's port
    int waitTaskPollMs = 30000;   // Req for the standing wait task
    int watchdogMs = 40000;       // silence from the register before the link counts as lost
    int reopenDelayMs = 1000;     // loop delay while a port is not open
    int loopDelayMs = 10;         // loop delay while both ports are open
    // A packet whose bytes stop arriving for this long is given up, so that a
    // cut-off packet (or one announcing more bytes than were sent) cannot
    // swallow the packets that follow it.
    int packetGapMs = 1000;
};

// Passes every packet of the software to the register and every reply that
// belongs to the software back, byte for byte; beside that it keeps a wait
// task standing in the register, through which the register delivers its OFD
// traffic (emitted as portDataReceived), and hands the register the OFD
// server's answers as data tasks. Transport ids tell the traffic apart:
// 0x00-0xDF the software's, 0xE0-0xE4 the proxy's, 0xF0 the register's own.
class ComProxyKorvel3 : public IPortWorker
{
    Q_OBJECT
public:
    using PacketInfo = Korvel3Codec::PacketInfo;
    using Timing = ComProxyKorvel3Timing;

    explicit ComProxyKorvel3(const SarnSettings &settings, const Timing &timing = Timing());
    ~ComProxyKorvel3() override;

signals:
    void finished();
    void portDataReceived(QByteArray data);
    void portConnectionLost();
    void portConnectionEstablished();

private slots:
    void devError(QSerialPort::SerialPortError error);
    void appError(QSerialPort::SerialPortError error);
    void readFromDev();
    void readFromSoft();
    void updateAsyncRequest();
    void doReconnect();

public slots:
    void start() override;
    // Only records the request: the ports belong to the proxy's thread and are
    // closed there, before finished().
    void stop() override;
    void onOfdDataReceived(const QByteArray &data) override;

private:
    bool connectDevPort();
    bool connectAppPort();
    void greetRegister();
    void closePorts();
    // Sleeps like msleep but returns early (false) once a stop is requested.
    bool pause(int ms);

    void routeDevPacket();
    void forwardSoftPacket();
    // Gives up a packet whose bytes stopped arriving more than packetGapMs ago.
    void dropStalePacket(Korvel3Parser &parser, QElapsedTimer &lastByte);
    void dropPacket(const Korvel3Parser &parser, const QString &what);

    void reinitWaitAsync();
    void sendAdd(const QByteArray &data);
    void sendAddAsync();
    void sendAck(quint8 taskId);
    void sendAckAsync();
    void sendReq(quint8 taskId);
    void sendAbort();
    void sendAcksForOwnTasks();
    // Builds, logs and writes one packet of the proxy; returns its transport id.
    quint8 sendOwn(const QByteArray &payload);
    void write(QSerialPort *port, const QByteArray &bytes);
    void restartTimer(QTimer *&timer, int intervalMs, void (ComProxyKorvel3::*slot)());

    const Timing m_timing;
    const Logger m_log;

    QSerialPort *m_devPort = nullptr;
    Korvel3DevParser m_devParser;
    QElapsedTimer m_devLastByte;
    std::unique_ptr<QRecursiveMutex> m_devLock;
    bool m_devReconnect = false;

    QSerialPort *m_appPort = nullptr;
    Korvel3AppParser m_appParser;
    QElapsedTimer m_appLastByte;
    std::unique_ptr<QRecursiveMutex> m_appLock;
    bool m_appReconnect = false;

    // Placed between the task id and the command code of every data task: two
    // zero bytes, the prefix the register accepts in front of any command.
    const QByteArray m_commandPrefix = QByteArray(2, '\0');
    std::atomic_bool m_stopRequested {false};
    bool m_firstDataPending = true;
    quint8 m_lastReqId = 0xFF;
    quint8 m_lastAbortId = 0xFF;
    quint8 m_asyncTaskId = 0xFF;
    const SarnSettings m_settings;
    QTimer *m_asyncTimer = nullptr;
    QTimer *m_connectionTimer = nullptr;
};
