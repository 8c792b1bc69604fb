// Plays one end of a protocol-2 line (the software or the register) on the master side of a pseudo-terminal.
#include "korvel2peer.h"

#include "korvel2frame.h"
#include "ptypair.h"
#include "utils.h"

using namespace Korvel2Frame;

Korvel2Peer::Korvel2Peer(PtyPair &line)
    : m_line(line)
{
}

bool Korvel2Peer::fail(const QString &why)
{
    m_lastError = why;
    return false;
}

bool Korvel2Peer::expect(uint8_t wanted, int timeoutMs)
{
    const QByteArray got = m_line.readExactly(1, timeoutMs);
    if (got.size() == 1 && uint8_t(got.at(0)) == wanted)
        return true;
    return fail(QStringLiteral("expected %1, got %2")
                    .arg(baToString(QByteArray(1, char(wanted))), baToString(got)));
}

bool Korvel2Peer::send(const QByteArray &message, int timeoutMs)
{
    m_line.write(QByteArray(1, char(ENQ)));
    if (!expect(ACK, timeoutMs))
        return false;
    m_line.write(build(message));
    if (!expect(ACK, timeoutMs))
        return false;
    m_line.write(QByteArray(1, char(EOT)));
    return true;
}

bool Korvel2Peer::readFrameBody(QByteArray &message, int timeoutMs)
{
    QByteArray stuffed;
    bool escaped = false;
    message.clear();
    for (;;) {
        const QByteArray got = m_line.readExactly(1, timeoutMs);
        if (got.isEmpty())
            return fail(QStringLiteral("frame cut short after ") + baToString(stuffed));
        stuffed.append(got);
        const uint8_t byte = uint8_t(got.at(0));
        if (!escaped && byte == DLE) {
            escaped = true;
            continue;
        }
        if (!escaped && byte == ETX)
            break;
        message.append(got);
        escaped = false;
    }
    const QByteArray sum = m_line.readExactly(1, timeoutMs);
    if (sum.size() != 1 || uint8_t(sum.at(0)) != crc(stuffed))
        return fail(QStringLiteral("bad checksum %1 for %2").arg(baToString(sum), baToString(stuffed)));
    return true;
}

QByteArray Korvel2Peer::receive(int timeoutMs)
{
    QByteArray message;
    if (!expect(ENQ, timeoutMs))
        return QByteArray();
    m_line.write(QByteArray(1, char(ACK)));
    if (!expect(STX, timeoutMs) || !readFrameBody(message, timeoutMs))
        return QByteArray();
    m_line.write(QByteArray(1, char(ACK)));
    if (!expect(EOT, timeoutMs))
        return QByteArray();
    return message;
}

bool Korvel2Peer::receiveThenTakeOver(const QByteArray &message, QByteArray &theirs, int timeoutMs)
{
    if (!expect(ENQ, timeoutMs))
        return false;
    m_line.write(QByteArray(1, char(ACK)));
    if (!expect(STX, timeoutMs) || !readFrameBody(theirs, timeoutMs))
        return false;
    QByteArray again;
    if (!expect(STX, timeoutMs) || !readFrameBody(again, timeoutMs))
        return false;
    if (again != theirs)
        return fail(QStringLiteral("second writing differs: ") + baToString(again));
    return send(message, timeoutMs);
}
