// The real pobrid executable run as a user runs it: a private copy in a temporary
// directory with the local-config marker, its own settings.xml and log directory.
#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class PobridProcess
{
public:
    // binary: the built executable to copy (its path is known to the test at build time).
    explicit PobridProcess(const QString &binary);
    ~PobridProcess();

    bool isValid() const { return m_valid; }
    QString dir() const { return m_dir.path(); }
    QString logsDir() const;
    QString executable() const;

    // settings.xml beside the copy; devices is the XML inside <settings>, and
    // the log directory is added unless the caller gives one.
    bool writeSettings(const QByteArray &devices, bool addLogsDir = true);
    // Puts a libusb-1.0.so.0 beside the copy.
    bool installLibusb(const QString &path);
    // Puts the libusb double (the file at doublePath) beside the copy, with
    // the simulated bus's first commands (setup) in its FAKEUSB_DIR.
    bool installLibusbDouble(const QString &doublePath, const QByteArray &setup);
    // The control socket of that simulated bus.
    QString fakeUsbSocket() const;

    bool start(const QStringList &arguments = {QStringLiteral("-e")});
    QProcess &process() { return m_process; }
    // Console output so far (standard output and standard error merged).
    QString output();
    bool waitForOutput(const QString &text, int timeoutMs = 10000);
    QString readLogFile(const QString &name = QStringLiteral("Pob.log")) const;
    bool waitForLogFile(const QString &text, const QString &name = QStringLiteral("Pob.log"), int timeoutMs = 10000) const;
    // SIGTERM and wait; returns the exit code, or INT_MIN when it did not end in time.
    int terminate(int timeoutMs = 30000);
    // Runs the copy once with the arguments and returns its exit code; output in *output.
    int run(const QStringList &arguments, QString *output = nullptr, int timeoutMs = 30000);

    // Environment every run gets: private control directory, private home.
    QProcessEnvironment environment() const;

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    QString m_output;
    bool m_valid = false;
};
