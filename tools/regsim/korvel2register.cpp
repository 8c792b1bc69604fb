// A register on a serial line speaking protocol version 2, as far as pobrid's proxy needs one.
#include "korvel2register.h"

#include "fdio.h"

#include "korvel2bytechannel.h"
#include "korvel2link.h"

#include <poll.h>
#include <unistd.h>

namespace {

const char OFD_COMMAND = char(0xDA);
// pobrid puts the software's last two command bytes in front of 0xDA.
const int PREFIX_SIZE = 2;

// The register's end of the line: a descriptor polled byte by byte.
class FdChannel : public Korvel2ByteChannel
{
public:
    explicit FdChannel(int fd) : m_fd(fd) {}

    bool readByte(uint8_t &byte, int timeoutMs) override
    {
        pollfd p {m_fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0 || !(p.revents & POLLIN))
            return false;
        return ::read(m_fd, &byte, 1) == 1;
    }
    void writeByte(uint8_t byte) override { writeBytes(QByteArray(1, char(byte))); }
    void writeBytes(const QByteArray &bytes) override { writeAll(m_fd, bytes); }
    void pause(int ms) override { QThread::msleep(ulong(ms)); }

private:
    int m_fd;
};

} // namespace

Korvel2Register::Korvel2Register(int fd, QObject *parent)
    : QThread(parent)
    , m_fd(fd)
{
}

Korvel2Register::~Korvel2Register()
{
    requestStop();
    wait();
}

void Korvel2Register::sendLink(const QByteArray &bytes)
{
    QMutexLocker locker(&m_lock);
    m_pending += bytes;
}

QByteArray Korvel2Register::reply(const QByteArray &message)
{
    return QByteArray(1, char(0x55)) + message;
}

void Korvel2Register::run()
{
    FdChannel channel(m_fd);
    Korvel2Link link(channel, false, QStringLiteral("regsim"));
    while (!m_stop) {
        const QByteArray message = link.exchange(QByteArray(), 20);
        if (message.size() > PREFIX_SIZE && message.at(PREFIX_SIZE) == OFD_COMMAND) {
            emit linkBytes(message.mid(PREFIX_SIZE + 1));
        } else if (!message.isEmpty()) {
            emit softwareMessage(message);
            link.exchange(reply(message), 0);
        }
        QByteArray chunk;
        {
            QMutexLocker locker(&m_lock);
            chunk = m_pending.left(DELIVERY_CHUNK);
            m_pending.remove(0, chunk.size());
        }
        if (!chunk.isEmpty())
            link.exchange(OFD_COMMAND + chunk, 0);
    }
}
