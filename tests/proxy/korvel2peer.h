// Plays one end of a protocol-2 line (the software or the register) on the master side of a pseudo-terminal.
#pragma once

#include <QByteArray>
#include <QString>

class PtyPair;

// Every step waits for the other end's bytes and records what went wrong, in
// the protocol's terms, when the other end does not follow the handshake.
class Korvel2Peer
{
public:
    explicit Korvel2Peer(PtyPair &line);

    // ENQ, frame, EOT, each after the other end's ACK.
    bool send(const QByteArray &message, int timeoutMs = 3000);
    // Waits for the other end's ENQ and takes one message (ACK to ENQ and to the frame).
    QByteArray receive(int timeoutMs = 3000);
    // Takes the other end's ENQ, lets its first frame go unanswered and, when
    // the frame comes again, answers it with ENQ and sends its own message.
    bool receiveThenTakeOver(const QByteArray &message, QByteArray &theirs, int timeoutMs = 3000);

    QString lastError() const { return m_lastError; }

private:
    bool expect(uint8_t wanted, int timeoutMs);
    // Reads one frame after its STX: the unstuffed message; checks the checksum.
    bool readFrameBody(QByteArray &message, int timeoutMs);
    bool fail(const QString &why);

    PtyPair &m_line;
    QString m_lastError;
};
