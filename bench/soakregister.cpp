// A register that relays without end: connect, send a message, take the echo back under grants, close, again.
#include "soakregister.h"

#include "registerend.h"

namespace {
// A cycle that makes no progress for this long counts as a stall and starts over.
const int STALL_MS = 30000;
}

SoakRegister::SoakRegister(RegisterEnd &end, quint16 port, int messageSize, QObject *parent)
    : QObject(parent)
    , m_end(end)
    , m_port(port)
{
    for (int i = 0; i < messageSize; ++i)
        m_message.append(char((i * 7 + messageSize) & 0xFF));
    connect(&m_end, &RegisterEnd::arrived, this, &SoakRegister::onArrived);
    m_watchdog.setSingleShot(true);
    m_watchdog.setInterval(STALL_MS);
    connect(&m_watchdog, &QTimer::timeout, this, &SoakRegister::onStall);
    m_watchdog.start();
}

void SoakRegister::send(unsigned char cmd, const QByteArray &value)
{
    m_end.send(tlvEncode(TlvField(cmd, value)));
}

void SoakRegister::onArrived()
{
    TlvField record;
    while (m_codec.take(m_end.inbox(), record) == TlvCodec::Complete)
        handle(record);
}

void SoakRegister::connectChannel()
{
    m_state = Connecting;
    m_echo.clear();
    m_watchdog.start();
    send(LNK_TLV_TX_PORT0, QByteArray(1, char(m_port & 0xFF)) + char(m_port >> 8));
    send(LNK_TLV_TX_CONNECT0, QByteArrayLiteral("127.0.0.1"));
}

void SoakRegister::onStall()
{
    ++m_stalls;
    if (m_state == WaitVersion) {
        m_watchdog.start();
        return;
    }
    send(LNK_TLV_TX_CONNECT0_CLOSE, QByteArray());
    m_state = Closing;
    m_watchdog.start();
}

void SoakRegister::handle(const TlvField &record)
{
    if (record.cmd == LNK_TLV_RX_REQUEST_VERSION) {
        send(LNK_TLV_TX_RESPONSE_VERSION, QByteArray(1, 2));
        if (m_state == WaitVersion)
            connectChannel();
        return;
    }
    if (record.cmd == LNK_TLV_RX_CONNECT_STATE0) {
        const bool up = record.data == QByteArray(1, 1);
        if (up && m_state == Connecting) {
            m_state = Relaying;
            m_watchdog.start();
            for (int at = 0; at < m_message.size(); at += TLV_MAX_VALUE)
                send(LNK_TLV_TX_DATA0, m_message.mid(at, TLV_MAX_VALUE));
            send(LNK_TLV_TX_PACKET_SIZE0, QByteArray(1, char(TLV_MAX_VALUE)));
        } else if (!up) {
            // Closed as asked, or lost: either way the next cycle opens the channel again.
            connectChannel();
        }
        return;
    }
    if (record.cmd == LNK_TLV_RX_DATA0 && m_state == Relaying) {
        m_echo += record.data;
        m_watchdog.start();
        if (m_echo.size() < m_message.size()) {
            send(LNK_TLV_TX_PACKET_SIZE0, QByteArray(1, char(TLV_MAX_VALUE)));
            return;
        }
        if (m_echo != m_message)
            ++m_mismatches;
        m_bytesEchoed += m_echo.size();
        ++m_cycles;
        m_state = Closing;
        send(LNK_TLV_TX_CONNECT0_CLOSE, QByteArray());
    }
}
