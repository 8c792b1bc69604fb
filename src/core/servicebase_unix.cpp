// The platform part of the service framework on Linux: local control socket, detached start, systemd unit, signals.
#include "servicebase_p.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// How long a starter waits for the background copy to answer, and a control
// request for the copy to accept it (and, for "terminate", to go away).
constexpr int START_WAIT_MS = 15000;
constexpr int CONNECT_WAIT_MS = 2000;
constexpr int REPLY_WAIT_MS = 5000;
constexpr int EXIT_WAIT_MS = 30000;
constexpr qint64 MAX_REQUEST_BYTES = 256;

const char DEFAULT_UNIT_DIR[] = "/etc/systemd/system";

int g_signalFds[2] = {-1, -1};
struct sigaction g_previousTerm;
struct sigaction g_previousInt;

void onSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    const ssize_t written = ::write(g_signalFds[1], &byte, 1);
    (void)written;
    errno = saved;
}

QString unitDirectory(bool *custom)
{
    const QByteArray env = qgetenv("POBRID_SYSTEMD_UNIT_DIR");
    *custom = !env.isEmpty();
    return *custom ? QString::fromLocal8Bit(env) : QString::fromLatin1(DEFAULT_UNIT_DIR);
}

// systemctl only for the real unit directory: a unit elsewhere is no business of systemd's.
bool runSystemctl(const QStringList &arguments)
{
    const QString systemctl = QStandardPaths::findExecutable(QStringLiteral("systemctl"));
    if (systemctl.isEmpty())
        return true;
    QProcess process;
    process.start(systemctl, arguments);
    return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// ExecStart= takes one quoted word; systemd expands '%' and '$' inside it.
QString unitWord(const QString &text)
{
    QString escaped = text;
    escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
        .replace(QLatin1Char('"'), QLatin1String("\\\""))
        .replace(QLatin1Char('%'), QLatin1String("%%"))
        .replace(QLatin1Char('$'), QLatin1String("$$"));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

bool processAlive(qint64 pid)
{
    if (::kill(pid_t(pid), 0) != 0 && errno == ESRCH)
        return false;
    // A copy that died but was not reaped yet is not alive either.
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray line = stat.readAll();
    const qsizetype close = line.lastIndexOf(')');
    return close < 0 || line.mid(close + 2, 1) != "Z";
}

// One request, one reply line; the socket stays connected afterwards.
bool exchange(QLocalSocket &socket, const QString &path, const QByteArray &request)
{
    socket.connectToServer(path);
    if (!socket.waitForConnected(CONNECT_WAIT_MS))
        return false;
    socket.write(request + '\n');
    socket.flush();
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(REPLY_WAIT_MS))
            return false;
    }
    return socket.readLine().trimmed() == "ok";
}

} // namespace

ServiceBasePrivate::ServiceBasePrivate(ServiceBase *q, int argc, char **argv, const QString &name)
    : q(q)
    , argc(argc)
    , argv(argv)
    , name(name)
{
}

ServiceBasePrivate::~ServiceBasePrivate()
{
    unwatchSignals();
    closeChannel();
}

QString ServiceBasePrivate::programPath() const
{
    const QString self = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
    if (!self.isEmpty())
        return self;
    return argc > 0 ? QFileInfo(QString::fromLocal8Bit(argv[0])).absoluteFilePath() : QString();
}

QString ServiceBasePrivate::unitPath() const
{
    bool custom = false;
    return unitDirectory(&custom) + QLatin1Char('/') + name + QStringLiteral(".service");
}

bool ServiceBasePrivate::isInstalled() const
{
    return QFileInfo::exists(unitPath());
}

ServiceBasePrivate::InstallResult ServiceBasePrivate::install(const QString &account)
{
    bool custom = false;
    unitDirectory(&custom);
    const QString path = unitPath();
    if (QFileInfo::exists(path))
        return AlreadyDone;
    // Both end up in the unit file: nothing in them may start another line or directive.
    static const QRegularExpression accountName(QStringLiteral("^[A-Za-z_][A-Za-z0-9_.-]*$"));
    const QString program = programPath();
    if ((!account.isEmpty() && !accountName.match(account).hasMatch()) || program.isEmpty()
        || program.contains(QLatin1Char('\n')) || program.contains(QLatin1Char('\r')))
        return Failed;

    QString unit = QStringLiteral("[Unit]\nDescription=%1\nAfter=network.target\n\n"
                                  "[Service]\nType=simple\nEnvironment=QTSERVICE_RUN=1\nExecStart=%2\n"
                                  "WorkingDirectory=/\nRestart=on-failure\n")
                       .arg(name, unitWord(program));
    if (!account.isEmpty())
        unit += QStringLiteral("User=%1\n").arg(account);
    unit += QStringLiteral("\n[Install]\nWantedBy=multi-user.target\n");

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(unit.toUtf8()) < 0 || !file.commit())
        return Failed;
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    if (custom)
        return Done;
    const QString unitName = name + QStringLiteral(".service");
    if (!runSystemctl({QStringLiteral("daemon-reload")})
        || (startupType == ServiceBase::AutoStartup && !runSystemctl({QStringLiteral("enable"), unitName}))) {
        QFile::remove(path);
        runSystemctl({QStringLiteral("daemon-reload")});
        return Failed;
    }
    return Done;
}

ServiceBasePrivate::InstallResult ServiceBasePrivate::uninstall()
{
    bool custom = false;
    unitDirectory(&custom);
    const QString path = unitPath();
    if (!QFileInfo::exists(path))
        return AlreadyDone;
    if (!custom)
        runSystemctl({QStringLiteral("disable"), name + QStringLiteral(".service")});
    if (!QFile::remove(path))
        return Failed;
    if (!custom)
        runSystemctl({QStringLiteral("daemon-reload")});
    return Done;
}

QString ServiceBasePrivate::controlDirectory(bool create) const
{
    QString directory;
    const QByteArray configured = qgetenv("POBRID_CONTROL_DIR");
    if (!configured.isEmpty())
        directory = QString::fromLocal8Bit(configured);
    else if (::geteuid() == 0)
        directory = QStringLiteral("/run/pobrid");
    else if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        directory = qEnvironmentVariable("XDG_RUNTIME_DIR") + QStringLiteral("/pobrid");
    else
        directory = QStringLiteral("/tmp/pobrid-%1").arg(::geteuid());

    const QByteArray native = QFile::encodeName(directory);
    if (create) {
        QDir().mkpath(QFileInfo(directory).absolutePath());
        ::mkdir(native.constData(), 0700);
    }
    // Whoever can write to the directory could stand in for the service:
    // only a directory of our own, closed to everyone else, will do.
    struct stat info;
    if (::lstat(native.constData(), &info) != 0)
        return QString();
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() || (info.st_mode & 077) != 0) {
        std::fprintf(stderr, "The control directory %s is not a private directory of this user\n", native.constData());
        return QString();
    }
    return directory;
}

QString ServiceBasePrivate::socketPath(bool create) const
{
    const QString directory = controlDirectory(create);
    return directory.isEmpty() ? QString() : directory + QLatin1Char('/') + name + QStringLiteral(".sock");
}

bool ServiceBasePrivate::isRunning() const
{
    const QString path = socketPath(false);
    if (path.isEmpty())
        return false;
    QLocalSocket socket;
    return exchange(socket, path, "ping");
}

bool ServiceBasePrivate::sendRequest(const QByteArray &request) const
{
    const QString path = socketPath(false);
    if (path.isEmpty())
        return false;
    QLocalSocket socket;
    if (!exchange(socket, path, request))
        return false;
    // The copy holds the connection of a terminate request until its run has ended.
    if (request == "terminate" && socket.state() == QLocalSocket::ConnectedState)
        socket.waitForDisconnected(EXIT_WAIT_MS);
    return true;
}

bool ServiceBasePrivate::startDetached()
{
    if (socketPath(true).isEmpty() || isRunning())
        return false;
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QTSERVICE_RUN"), QStringLiteral("1"));

    // startDetached() puts the copy into a session of its own (setsid).
    QProcess process;
    process.setProgram(programPath());
    process.setArguments(arguments);
    process.setWorkingDirectory(QStringLiteral("/"));
    process.setProcessEnvironment(environment);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    qint64 pid = 0;
    if (!process.startDetached(&pid))
        return false;

    const QDeadlineTimer deadline(START_WAIT_MS);
    while (!deadline.hasExpired()) {
        if (isRunning())
            return true;
        if (!processAlive(pid))
            return isRunning();
        QThread::msleep(20);
    }
    return false;
}

bool ServiceBasePrivate::listen()
{
    const QString directory = controlDirectory(true);
    if (directory.isEmpty())
        return false;
    m_lock = std::make_unique<QLockFile>(directory + QLatin1Char('/') + name + QStringLiteral(".lock"));
    // Never stale by age: only a lock whose process has gone is taken over.
    m_lock->setStaleLockTime(0);
    if (!m_lock->tryLock(0)) {
        m_lock.reset();
        return false;
    }
    const QString path = directory + QLatin1Char('/') + name + QStringLiteral(".sock");
    QLocalServer::removeServer(path);
    m_server = new QLocalServer;
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(path)) {
        closeChannel();
        return false;
    }
    QObject::connect(m_server, &QLocalServer::newConnection, m_server, [this] { handleConnection(); });
    return true;
}

void ServiceBasePrivate::handleConnection()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        QObject::connect(socket, &QLocalSocket::readyRead, socket, [this, socket] {
            if (!socket->canReadLine()) {
                if (socket->bytesAvailable() > MAX_REQUEST_BYTES)
                    socket->abort();
                return;
            }
            const QByteArray request = socket->readLine(MAX_REQUEST_BYTES).trimmed();
            bool accepted = true;
            if (request == "terminate") {
                socket->write("ok\n");
                socket->flush();
                QTimer::singleShot(0, m_server, [this] { q->terminate(); });
                return;
            } else if (request == "pause") {
                q->pause();
            } else if (request == "resume") {
                q->resume();
            } else if (request.startsWith("command ")) {
                const int code = request.mid(8).toInt(&accepted);
                if (accepted)
                    q->processCommand(code);
            } else {
                accepted = request == "ping";
            }
            socket->write(accepted ? "ok\n" : "error\n");
            socket->flush();
            socket->disconnectFromServer();
        });
    }
}

void ServiceBasePrivate::closeChannel()
{
    delete m_server;
    m_server = nullptr;
    m_lock.reset();
}

void ServiceBasePrivate::watchSignals()
{
    if (m_signalNotifier || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_signalFds) != 0)
        return;
    m_signalNotifier = new QSocketNotifier(g_signalFds[0], QSocketNotifier::Read);
    QObject::connect(m_signalNotifier, &QSocketNotifier::activated, m_signalNotifier, [this] {
        char bytes[16];
        while (::read(g_signalFds[0], bytes, sizeof bytes) > 0) {
        }
        q->terminate();
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, &g_previousTerm);
    ::sigaction(SIGINT, &action, &g_previousInt);
}

void ServiceBasePrivate::unwatchSignals()
{
    if (!m_signalNotifier)
        return;
    ::sigaction(SIGTERM, &g_previousTerm, nullptr);
    ::sigaction(SIGINT, &g_previousInt, nullptr);
    delete m_signalNotifier;
    m_signalNotifier = nullptr;
    ::close(g_signalFds[0]);
    ::close(g_signalFds[1]);
    g_signalFds[0] = g_signalFds[1] = -1;
}
