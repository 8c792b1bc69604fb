// The service's end of the link protocol for one register: handshake, channel table, relaying and pacing.
#pragma once

#include "iworker.h"
#include "logger.h"
#include "tcpworker.h"
#include "tlvcodec.h"
#include "tlvfield.h"

#include <QByteArray>
#include <QMap>
#include <QMutex>
#include <QString>
#include <atomic>

class QThread;
class QTimer;

// Durations of one OfdWorker, production values by default (a nested struct cannot
// serve as a defaulted constructor argument of its own class).
struct OfdWorkerTiming
{
    int recordWaitMs = 10000;             // a split record's value must be whole within this
    int versionRequestMs = 300000;        // silence after which the version is asked again
    int waitingSleepMs = 1000;            // loop sleep while waiting for the version
    int runningSleepMs = 5;               // loop sleep once the version is accepted
    int pausedSleepMs = 10;               // loop sleep while the device link is down
    int pauseLockWaitMs = 1000;           // pause(): how long a running iteration is waited for
    TcpWorkerTiming tcp;                  // both channels' connection workers
};

class OfdWorker : public IWorker
{
    Q_OBJECT
public:
    using Timing = OfdWorkerTiming;

    // The service's protocol version; registers up to this version are accepted.
    static constexpr unsigned char PROTOCOL_VERSION = 2;

    explicit OfdWorker(const QString &name, const Timing &timing = {});
    ~OfdWorker() override;

signals:
    void finished();
    void sendData(QByteArray data);
    void sendToTcp0(QByteArray data);
    void sendToTcp1(QByteArray data);

public slots:
    void pause();
    void unpause();
    void onDataReceived(const QByteArray &data);
    void onConnectionStateChanged(TcpWorker::ConnectionState state);
    void start() override;
    void stop() override;

private slots:
    void sendVersionRequest();

private:
    struct WorkerDescriptor
    {
        TcpWorker *worker = nullptr;
        QThread *thread = nullptr;
        bool connectionLost = false;
        int packetSize = 0;
        int stateCmd = 0;
    };

    // One pass of the work loop, holding the work lock; false once a stop was seen.
    bool iterate(int &sleepMs);
    void process(const TlvField &field);
    void processChannelRecord(const TlvField &field);
    void writeRegisterLog(const TlvField &field);
    void send(const TlvField &field);
    void reinitTimer();
    void reinitTcpWorker(int channel);
    bool recv(TlvField &field);
    // Whether the caller is this worker's own loop, inside an iteration that
    // holds the work lock: the lock can then never be had.
    bool calledFromIteration() const;

    QMap<int, WorkerDescriptor> m_channels;
    bool m_waitForVersion = true;
    std::atomic<bool> m_stopRequested {false};
    QByteArray m_buffer;
    QMutex m_bufferLock;
    QMutex m_workLock;
    std::atomic<bool> m_paused {false};
    std::atomic<bool> m_inIteration {false};
    QString m_name;
    QString m_debugLoggerName;
    QTimer *m_versionTimer = nullptr;
    TlvCodec m_codec;
    Timing m_timing;
    Logger m_log;
    Logger m_debugLog;
};
