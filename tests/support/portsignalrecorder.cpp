// Records the signals of a port worker running on another thread, on the test thread.
#include "portsignalrecorder.h"

void PortSignalRecorder::watch(QObject *worker)
{
    connect(worker, SIGNAL(portDataReceived(QByteArray)), this, SLOT(onData(QByteArray)));
    connect(worker, SIGNAL(portConnectionLost()), this, SLOT(onLost()));
    connect(worker, SIGNAL(portConnectionEstablished()), this, SLOT(onEstablished()));
    connect(worker, SIGNAL(finished()), this, SLOT(onFinished()));
}
