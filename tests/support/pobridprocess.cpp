// The real pobrid executable run as a user runs it, in a private temporary directory.
#include "pobridprocess.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTest>
#include <climits>
#include <signal.h>

PobridProcess::PobridProcess(const QString &binary)
{
    if (!m_dir.isValid())
        return;
    QDir(m_dir.path()).mkpath(QStringLiteral("logs"));
    QDir(m_dir.path()).mkpath(QStringLiteral("home"));
    QFile marker(m_dir.filePath(QStringLiteral("USE_LOCAL_CONFIGS")));
    m_valid = QFile::copy(binary, executable()) && marker.open(QIODevice::WriteOnly);
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.setProcessEnvironment(environment());
    m_process.setWorkingDirectory(m_dir.path());
}

PobridProcess::~PobridProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        terminate(30000);
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
}

QString PobridProcess::logsDir() const
{
    return m_dir.filePath(QStringLiteral("logs"));
}

QString PobridProcess::executable() const
{
    return m_dir.filePath(QStringLiteral("pobrid"));
}

QProcessEnvironment PobridProcess::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("POBRID_CONTROL_DIR"), m_dir.filePath(QStringLiteral("control")));
    env.insert(QStringLiteral("HOME"), m_dir.filePath(QStringLiteral("home")));
    env.remove(QStringLiteral("QTSERVICE_RUN"));
    return env;
}

bool PobridProcess::writeSettings(const QByteArray &devices, bool addLogsDir)
{
    QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<settings>\n";
    if (addLogsDir)
        xml += "  <logs><dir>" + logsDir().toUtf8() + "</dir></logs>\n";
    xml += devices + "\n</settings>\n";
    QFile file(m_dir.filePath(QStringLiteral("settings.xml")));
    return file.open(QIODevice::WriteOnly) && file.write(xml) == xml.size();
}

bool PobridProcess::installLibusb(const QString &path)
{
    const QString target = m_dir.filePath(QStringLiteral("libusb-1.0.so.0"));
    QFile::remove(target);
    return QFile::copy(path, target);
}

bool PobridProcess::installLibusbDouble(const QString &doublePath, const QByteArray &setup)
{
    const QString bus = m_dir.filePath(QStringLiteral("bus"));
    QDir().mkpath(bus);
    QFile file(bus + QStringLiteral("/setup"));
    if (!file.open(QIODevice::WriteOnly) || file.write(setup) != setup.size())
        return false;
    file.close();
    QProcessEnvironment env = m_process.processEnvironment();
    env.insert(QStringLiteral("FAKEUSB_DIR"), bus);
    m_process.setProcessEnvironment(env);
    return installLibusb(doublePath);
}

QString PobridProcess::fakeUsbSocket() const
{
    return m_dir.filePath(QStringLiteral("bus/fakeusb.sock"));
}

bool PobridProcess::start(const QStringList &arguments)
{
    m_output.clear();
    m_process.start(executable(), arguments);
    return m_process.waitForStarted(10000);
}

QString PobridProcess::output()
{
    m_output += QString::fromUtf8(m_process.readAll());
    return m_output;
}

bool PobridProcess::waitForOutput(const QString &text, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!output().contains(text)) {
        if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
            return output().contains(text);
        m_process.waitForReadyRead(20);
        QCoreApplication::processEvents();
    }
    return true;
}

QString PobridProcess::readLogFile(const QString &name) const
{
    QFile file(QDir(logsDir()).filePath(name));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

bool PobridProcess::waitForLogFile(const QString &text, const QString &name, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    while (!readLogFile(name).contains(text)) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(20);
    }
    return true;
}

int PobridProcess::terminate(int timeoutMs)
{
    if (m_process.state() == QProcess::NotRunning)
        return m_process.exitCode();
    ::kill(pid_t(m_process.processId()), SIGTERM);
    QDeadlineTimer deadline(timeoutMs);
    while (m_process.state() != QProcess::NotRunning && !deadline.hasExpired()) {
        m_process.waitForFinished(50);
        output();
    }
    if (m_process.state() != QProcess::NotRunning)
        return INT_MIN;
    output();
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : INT_MIN;
}

int PobridProcess::run(const QStringList &arguments, QString *output, int timeoutMs)
{
    QProcess once;
    once.setProcessChannelMode(QProcess::MergedChannels);
    once.setProcessEnvironment(environment());
    once.setWorkingDirectory(m_dir.path());
    once.start(executable(), arguments);
    if (!once.waitForFinished(timeoutMs)) {
        once.kill();
        once.waitForFinished(5000);
        return INT_MIN;
    }
    if (output)
        *output = QString::fromUtf8(once.readAll());
    return once.exitCode();
}
