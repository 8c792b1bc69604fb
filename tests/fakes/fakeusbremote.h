// Drives the libusb double inside another process (the service under test) through its control socket.
#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QLocalSocket>
#include <QString>
#include <QThread>

// The process must run with FAKEUSB_DIR set to dir; see README.md for the commands.
class FakeUsbRemote
{
public:
    explicit FakeUsbRemote(const QString &dir)
        : m_path(dir + QStringLiteral("/fakeusb.sock"))
    {
    }

    // Waits until the process has loaded the double and its socket accepts.
    bool connect(int timeoutMs = 5000)
    {
        const QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            m_socket.connectToServer(m_path);
            if (m_socket.waitForConnected(200))
                return true;
            m_socket.abort();
            if (deadline.hasExpired())
                return false;
            QThread::msleep(20);
        }
    }

    // One command; the reply without its "ok " prefix. ok is false for an
    // "error" answer or when no answer came.
    QString run(const QString &command, bool *ok = nullptr, int timeoutMs = 5000)
    {
        if (ok)
            *ok = false;
        m_socket.write(command.toUtf8() + '\n');
        if (!m_socket.waitForBytesWritten(timeoutMs))
            return QString();
        const QDeadlineTimer deadline(timeoutMs);
        while (!m_socket.canReadLine()) {
            if (deadline.hasExpired() || !m_socket.waitForReadyRead(int(deadline.remainingTime())))
                return QString();
        }
        const QString line = QString::fromUtf8(m_socket.readLine()).chopped(1);
        const bool good = line.startsWith(QStringLiteral("ok"));
        if (ok)
            *ok = good;
        return line.section(QLatin1Char(' '), 1);
    }

private:
    QString m_path;
    QLocalSocket m_socket;
};
