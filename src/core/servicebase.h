// The service framework: command line, foreground and background runs, control requests, installation.
#pragma once

#include <QString>
#include <QStringList>
#include <memory>

class ServiceBasePrivate;

// Runs one service as the first command-line argument asks: installs or
// removes its system registration, reports its status, runs it in the
// foreground, starts it in the background (a detached copy of the program
// with a control channel) or sends a control request to that copy.
class ServiceBase
{
public:
    enum StartupType { AutoStartup, ManualStartup };

    // What one command line asks for.
    enum Mode {
        Install, Uninstall, Version, Exec, Terminate, Pause, Resume, Command, Help,
        Start,          // start in the background
        Run,            // the background copy: run with the control channel
        BadCommandCode  // "-c" without a number
    };
    struct Request
    {
        Mode mode = Start;
        int command = 0;     // Command
        QString account;     // Install
        QString password;    // Install
    };

    ServiceBase(int argc, char **argv, const QString &name);
    virtual ~ServiceBase();

    // The dispatch of the command line; returns the process exit code.
    int exec();

    QString serviceName() const;
    void setStartupType(StartupType type);
    StartupType startupType() const;

    // arguments: those after the program name. Only the first one selects the
    // mode; backgroundCopy tells whether this process is the background copy.
    static Request parseArguments(const QStringList &arguments, bool backgroundCopy);
    // True when "-e" or "-exec" (exactly, in any position) is among arguments.
    static bool consoleModeRequested(const QStringList &arguments);
    static QByteArray helpText(const QByteArray &program);

protected:
    virtual void start() = 0;
    virtual void stop();
    virtual void pause();
    virtual void resume();
    virtual void processCommand(int code);
    virtual void createApplication(int &argc, char **argv) = 0;
    virtual int executeApplication() = 0;

private:
    friend class ServiceBasePrivate;
    int run(bool withControlChannel);
    // A terminate request or SIGTERM/SIGINT: stop the service, end the event loop.
    void terminate();

    std::unique_ptr<ServiceBasePrivate> d;
};
