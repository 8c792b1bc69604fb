// Writing to a simulated register's end of a serial line.
#include "fdio.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

bool writeAll(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd p {fd, POLLOUT, 0};
        if (::poll(&p, 1, 1000) <= 0)
            return false;
    }
    return true;
}
