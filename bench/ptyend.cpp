// The terminal end of a plain relay (socat between a pseudo-terminal and TCP): raw bytes both ways.
#include "ptyend.h"

#include <cerrno>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

PtyEnd::PtyEnd(QObject *parent)
    : RegisterEnd(parent)
{
}

PtyEnd::~PtyEnd()
{
    m_notifier.reset();
    if (m_fd >= 0)
        ::close(m_fd);
}

bool PtyEnd::open(const QString &path)
{
    m_fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0)
        return false;
    termios raw {};
    if (tcgetattr(m_fd, &raw) == 0) {
        cfmakeraw(&raw);
        tcsetattr(m_fd, TCSANOW, &raw);
    }
    m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &PtyEnd::onReadable);
    return true;
}

void PtyEnd::send(const QByteArray &bytes)
{
    qsizetype done = 0;
    while (m_fd >= 0 && done < bytes.size()) {
        const ssize_t n = ::write(m_fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0)
            done += n;
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            return;
    }
}

void PtyEnd::onReadable()
{
    char buffer[4096];
    const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
    if (n > 0)
        deliver(QByteArray(buffer, int(n)));
    else if (n == 0 || (errno != EAGAIN && errno != EINTR))
        m_notifier->setEnabled(false);
}
