// Records the signals of a port worker running on another thread, on the test thread.
#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>

class PortSignalRecorder : public QObject
{
    Q_OBJECT
public:
    QList<QByteArray> received;
    int lost = 0;
    int established = 0;
    int finished = 0;

    // Connects to the worker's portDataReceived, portConnectionLost,
    // portConnectionEstablished and finished (queued: they arrive here).
    void watch(QObject *worker);

public slots:
    void onData(const QByteArray &data) { received.append(data); }
    void onLost() { ++lost; }
    void onEstablished() { ++established; }
    void onFinished() { ++finished; }
};
