// A pseudo-terminal pair standing in for a serial line.
#include "ptypair.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

PtyPair::PtyPair(bool holdSlave)
{
    char name[256] = {};
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
        return;
    termios tio {};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    m_master = master;
    m_slaveName = QString::fromLocal8Bit(name);
    if (holdSlave)
        m_slave = slave;
    else
        ::close(slave);
}

PtyPair::~PtyPair()
{
    if (m_slave >= 0)
        ::close(m_slave);
    if (m_master >= 0)
        ::close(m_master);
}

bool PtyPair::write(const QByteArray &bytes)
{
    qsizetype done = 0;
    QDeadlineTimer deadline(5000);
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        } else {
            if (deadline.hasExpired())
                return false;
            pollfd p {m_master, POLLOUT, 0};
            ::poll(&p, 1, 10);
        }
    }
    return true;
}

QByteArray PtyPair::readAvailable(int waitMs, int maxBytes)
{
    pollfd p {m_master, POLLIN, 0};
    if (::poll(&p, 1, waitMs) <= 0 || !(p.revents & POLLIN))
        return QByteArray();
    char buffer[4096];
    const ssize_t n = ::read(m_master, buffer, size_t(qMin<int>(maxBytes, int(sizeof buffer))));
    return n > 0 ? QByteArray(buffer, int(n)) : QByteArray();
}

QByteArray PtyPair::read(int timeoutMs, int quietMs)
{
    QByteArray result;
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents();
        const QByteArray chunk = readAvailable(result.isEmpty() ? 10 : quietMs);
        if (chunk.isEmpty() && !result.isEmpty())
            break;
        result += chunk;
    }
    return result;
}

QByteArray PtyPair::readExactly(int n, int timeoutMs)
{
    QByteArray result;
    QDeadlineTimer deadline(timeoutMs);
    while (result.size() < n && !deadline.hasExpired()) {
        QCoreApplication::processEvents();
        result += readAvailable(10, n - int(result.size()));
    }
    return result;
}

void PtyPair::drain()
{
    while (!readAvailable(0).isEmpty()) {
    }
}
