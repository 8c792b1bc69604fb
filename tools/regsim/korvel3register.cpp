// A register on a serial line speaking protocol version 3, as far as pobrid's proxy needs one.
#include "korvel3register.h"

#include "fdio.h"

#include <cerrno>
#include <unistd.h>

namespace {
// Payload bytes of the proxy's packets.
const quint8 CMD_ADD = 0xC1;
const quint8 FLAG_DATA_TASK = 0x00;
const quint8 FLAG_WAIT_TASK = 0x05;
const quint8 OFD_COMMAND = 0xDA;
const quint8 ASYNC_ID = 0xF0;
const quint8 ASYNC_OFD = 0xA3;
// Offset of the OFD bytes in a data task: C1 00 task prefix prefix DA.
const int DATA_TASK_HEADER = 6;
}

Korvel3Register::Korvel3Register(int fd, QObject *parent)
    : QObject(parent)
    , m_fd(fd)
    , m_notifier(fd, QSocketNotifier::Read)
{
    connect(&m_notifier, &QSocketNotifier::activated, this, &Korvel3Register::onReadable);
}

void Korvel3Register::sendLink(const QByteArray &bytes)
{
    m_pending += bytes;
    deliver();
}

bool Korvel3Register::writePacket(quint8 id, const QByteArray &payload)
{
    return writeAll(m_fd, Korvel3Codec::packWithId(id, payload));
}

void Korvel3Register::onReadable()
{
    char buffer[4096];
    const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
    if (n <= 0) {
        // A pseudo-terminal master reads EIO while nobody holds the other end.
        if (n < 0 && errno == EIO)
            m_notifier.setEnabled(false);
        return;
    }
    for (ssize_t i = 0; i < n; ++i) {
        if (m_parser.putByte(quint8(buffer[i])) == Korvel3Parser::Complete) {
            const quint8 id = m_parser.packet().id;
            const QByteArray payload = m_parser.packet().data;
            m_parser.clear();
            handle(id, payload);
        }
    }
}

void Korvel3Register::handle(quint8 id, const QByteArray &payload)
{
    emit packetReceived(id, payload);
    writePacket(id, QByteArray(1, '\0'));
    if (payload.size() >= 3 && quint8(payload[0]) == CMD_ADD && quint8(payload[1]) == FLAG_WAIT_TASK) {
        m_waitTaskOpen = true;
        deliver();
    } else if (payload.size() > DATA_TASK_HEADER && quint8(payload[0]) == CMD_ADD && quint8(payload[1]) == FLAG_DATA_TASK
               && quint8(payload[DATA_TASK_HEADER - 1]) == OFD_COMMAND) {
        emit linkBytes(payload.mid(DATA_TASK_HEADER));
    }
}

void Korvel3Register::deliver()
{
    if (!m_waitTaskOpen || m_pending.isEmpty())
        return;
    const QByteArray chunk = m_pending.left(DELIVERY_CHUNK);
    m_pending.remove(0, chunk.size());
    m_waitTaskOpen = false;
    QByteArray payload;
    payload.append(char(ASYNC_OFD)).append(char(OFD_COMMAND)).append(chunk);
    writePacket(ASYNC_ID, payload);
}
