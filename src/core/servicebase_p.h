// The platform part of the service framework: control channel, detached start, system registration, signals.
#pragma once

#include "servicebase.h"

#include <QByteArray>
#include <QString>
#include <memory>

class QLocalServer;
class QLockFile;
class QSocketNotifier;

class ServiceBasePrivate
{
public:
    enum InstallResult { Done, AlreadyDone, Failed };

    ServiceBasePrivate(ServiceBase *q, int argc, char **argv, const QString &name);
    ~ServiceBasePrivate();

    // Registration with the system (a systemd unit on Linux).
    QString unitPath() const;
    bool isInstalled() const;
    InstallResult install(const QString &account);
    InstallResult uninstall();

    // Control channel of the background copy.
    bool isRunning() const;
    // Sends one request ("terminate", "pause", "resume", "command <n>") and
    // waits for the copy to accept it; for "terminate" also until it has gone.
    bool sendRequest(const QByteArray &request) const;
    // Launches the background copy and waits until it answers (true) or died.
    bool startDetached();
    // In the copy: takes the single-instance lock and opens the channel.
    bool listen();
    void closeChannel();

    // SIGTERM and SIGINT end the run as a terminate request does.
    void watchSignals();
    void unwatchSignals();

    QString programPath() const;

    ServiceBase *q;
    int argc;
    char **argv;
    QString name;
    ServiceBase::StartupType startupType = ServiceBase::AutoStartup;

private:
    QString controlDirectory(bool create) const;
    QString socketPath(bool create) const;
    void handleConnection();

    std::unique_ptr<QLockFile> m_lock;
    QLocalServer *m_server = nullptr;
    QSocketNotifier *m_signalNotifier = nullptr;
};
