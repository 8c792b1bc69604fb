// The service framework: command line, foreground and background runs, control requests, installation.
#include "servicebase.h"
#include "servicebase_p.h"

#include <QCoreApplication>
#include <QTimer>
#include <cstdio>

namespace {

void print(const QByteArray &text)
{
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    std::fflush(stdout);
}

void printError(const QByteArray &text)
{
    std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
    std::fflush(stderr);
}

// "%s"-style substitution that keeps the bytes of the arguments as they are.
QByteArray format(const char *pattern, const QList<QByteArray> &values)
{
    QByteArray out;
    qsizetype next = 0;
    for (const char *p = pattern; *p; ++p) {
        if (p[0] == '%' && p[1] == 's' && next < values.size()) {
            out += values.at(next++);
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}

} // namespace

ServiceBase::ServiceBase(int argc, char **argv, const QString &name)
    : d(std::make_unique<ServiceBasePrivate>(this, argc, argv, name))
{
}

ServiceBase::~ServiceBase() = default;

QString ServiceBase::serviceName() const
{
    return d->name;
}

void ServiceBase::setStartupType(StartupType type)
{
    d->startupType = type;
}

ServiceBase::StartupType ServiceBase::startupType() const
{
    return d->startupType;
}

void ServiceBase::stop() {}
void ServiceBase::pause() {}
void ServiceBase::resume() {}
void ServiceBase::processCommand(int code)
{
    Q_UNUSED(code);
}

ServiceBase::Request ServiceBase::parseArguments(const QStringList &arguments, bool backgroundCopy)
{
    Request request;
    const QString first = arguments.value(0);
    auto is = [&first](const char *shortName, const char *longName) {
        return first == QLatin1String(shortName) || first == QLatin1String(longName);
    };
    if (is("-i", "-install")) {
        request.mode = Install;
        request.account = arguments.value(1);
        request.password = arguments.value(2);
    } else if (is("-u", "-uninstall")) {
        request.mode = Uninstall;
    } else if (is("-v", "-version")) {
        request.mode = Version;
    } else if (is("-e", "-exec")) {
        request.mode = Exec;
    } else if (is("-t", "-terminate")) {
        request.mode = Terminate;
    } else if (is("-p", "-pause")) {
        request.mode = Pause;
    } else if (is("-r", "-resume")) {
        request.mode = Resume;
    } else if (is("-c", "-command")) {
        bool ok = false;
        request.command = arguments.value(1).toInt(&ok);
        request.mode = ok ? Command : BadCommandCode;
    } else if (is("-h", "-help")) {
        request.mode = Help;
    } else {
        request.mode = backgroundCopy ? Run : Start;
    }
    return request;
}

bool ServiceBase::consoleModeRequested(const QStringList &arguments)
{
    return arguments.contains(QLatin1String("-e")) || arguments.contains(QLatin1String("-exec"));
}

QByteArray ServiceBase::helpText(const QByteArray &program)
{
    return format("\n%s -[i|u|e|s|v|h]\n"
                  "\t-i(nstall) [account] [password]\t: Install the service, optionally using given account and password\n"
                  "\t-u(ninstall)\t: Uninstall the service.\n"
                  "\t-e(xec)\t\t: Run as a regular application. Useful for debugging.\n"
                  "\t-t(erminate)\t: Stop the service.\n"
                  "\t-c(ommand) num\t: Send command code num to the service.\n"
                  "\t-v(ersion)\t: Print version and status information.\n"
                  "\t-h(elp)   \t: Show this help\n"
                  "\tNo arguments\t: Start the service.\n",
                  {program});
}

int ServiceBase::exec()
{
    QStringList arguments;
    for (int i = 1; i < d->argc; ++i)
        arguments << QString::fromLocal8Bit(d->argv[i]);
    const Request request = parseArguments(arguments, qgetenv("QTSERVICE_RUN") == "1");
    const QByteArray program = d->argc > 0 ? QByteArray(d->argv[0]) : QByteArray();
    const QByteArray name = d->name.toLocal8Bit();

    switch (request.mode) {
    case Help:
        print(helpText(program));
        return 0;
    case Version:
        print(format("The service\n\t%s\n\t%s\n\n", {name, program}));
        print(format("is %s", {d->isInstalled() ? "installed" : "not installed"}));
        print(format(" and %s\n\n", {d->isRunning() ? "running" : "not running"}));
        return 0;
    case Install:
        // The password has no use for a systemd unit; the account becomes its user.
        switch (d->install(request.account)) {
        case ServiceBasePrivate::Done:
            print(format("The service %s has been installed under: %s\n", {name, d->programPath().toLocal8Bit()}));
            return 0;
        case ServiceBasePrivate::AlreadyDone:
            print(format("The service %s is already installed\n", {name}));
            return 0;
        case ServiceBasePrivate::Failed:
            print(format("The service %s could not be installed\n", {name}));
            return -1;
        }
        return -1;
    case Uninstall:
        switch (d->uninstall()) {
        case ServiceBasePrivate::Done:
            print(format("The service %s has been uninstalled.\n", {name}));
            return 0;
        case ServiceBasePrivate::AlreadyDone:
            print(format("The service %s is not installed\n", {name}));
            return 0;
        case ServiceBasePrivate::Failed:
            print(format("The service %s could not be uninstalled\n", {name}));
            return -1;
        }
        return -1;
    case Exec:
        return run(false);
    case Run:
        return run(true);
    case Start:
        if (d->startDetached())
            return 0;
        print(format("The service %s could not start\n", {name}));
        return -4;
    case Terminate:
        if (d->sendRequest("terminate"))
            return 0;
        printError("The service could not be stopped.\n");
        return -1;
    case Pause:
    case Resume:
    case Command: {
        const QByteArray line = request.mode == Pause ? QByteArray("pause")
            : request.mode == Resume                  ? QByteArray("resume")
                                                      : "command " + QByteArray::number(request.command);
        if (d->sendRequest(line))
            return 0;
        printError(format("The service %s is not running\n", {name}));
        return -1;
    }
    case BadCommandCode:
        printError("The command option needs a command code number: -c num\n");
        return -1;
    }
    return -1;
}

int ServiceBase::run(bool withControlChannel)
{
    createApplication(d->argc, d->argv);
    QCoreApplication *app = QCoreApplication::instance();
    if (!app) {
        printError("The service could not be executed.\n");
        return -1;
    }
    if (withControlChannel && !d->listen()) {
        delete app;
        print(format("The service %s could not start\n", {d->name.toLocal8Bit()}));
        return -4;
    }
    d->watchSignals();
    QTimer::singleShot(0, app, [this] { start(); });
    const int code = executeApplication();
    d->unwatchSignals();
    d->closeChannel();
    delete app;
    return code;
}

void ServiceBase::terminate()
{
    stop();
    QCoreApplication::quit();
}
