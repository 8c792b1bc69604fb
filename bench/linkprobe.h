// Times one register's traffic through a relay: one way each direction, and a grant-paced stream.
#pragma once

#include "samples.h"
#include "tlvcodec.h"

#include <QRandomGenerator>
#include <QString>

class LoopbackServer;
class RegisterEnd;

class LinkProbe
{
public:
    struct Throughput
    {
        qint64 bytes = 0;
        int records = 0;
        double seconds = 0;
        Samples grantToData;  // from sending a grant to the DATA record it let through
        Samples dataToData;   // between consecutive DATA records
        double bytesPerSecond() const { return seconds > 0 ? double(bytes) / seconds : 0; }
    };

    // linkProtocol: the end speaks link records with pobrid; false for a plain
    // relay, where the same bytes cross unchanged.
    LinkProbe(RegisterEnd &end, LoopbackServer &server, bool linkProtocol, quint32 seed = 1);

    // pobrid: answers the version request and opens channel 0 to the server;
    // plain relay: waits for its connection to the server.
    bool handshake(int timeoutMs);
    // Register to server: from handing a DATA record to the link until its
    // payload is at the server.
    Samples toServer(int count);
    // Server to register with a grant outstanding: from the server's write
    // until the DATA record is at the register.
    Samples toRegister(int count);
    // The server has plenty queued; the register grants 255 bytes again as
    // soon as each DATA record arrives.
    Throughput throughput(int durationMs);

    QString error() const { return m_error; }

    // The small message both directions carry: 16 bytes (an 18-byte record).
    static constexpr int MESSAGE_SIZE = 16;

private:
    bool nextRecord(TlvField &record);
    bool waitForRecord(unsigned char cmd, TlvField &record, int timeoutMs, qint64 *arrivalNs = nullptr);
    void grant();
    void fail(const QString &why);

    RegisterEnd &m_end;
    LoopbackServer &m_server;
    bool m_linkProtocol;
    int m_connection = -1;
    TlvCodec m_codec;
    QRandomGenerator m_random;
    QString m_error;
};
