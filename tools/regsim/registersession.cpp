// The register's side of one OFD session over the link protocol.
#include "registersession.h"

RegisterSession::RegisterSession(const Config &config, QObject *parent)
    : QObject(parent)
    , m_config(config)
{
    m_timeout.setSingleShot(true);
    connect(&m_timeout, &QTimer::timeout, this, [this] { fail(QStringLiteral("timed out")); });
}

void RegisterSession::begin()
{
    m_timeout.start(m_config.timeoutMs);
    if (m_config.handshake)
        emit step(QStringLiteral("waiting for the version request"));
    else
        connectChannel();
}

void RegisterSession::connectChannel()
{
    emit step(QStringLiteral("connecting to %1:%2").arg(m_config.host).arg(m_config.port));
    const int channel = m_config.channel;
    send(LNK_TLV_TX_PORT0 + channel, QByteArray(1, char(m_config.port & 0xFF)) + char(m_config.port >> 8));
    send(LNK_TLV_TX_CONNECT0 + channel, m_config.host.toUtf8());
    m_state = WaitConnected;
}

int RegisterSession::expected() const
{
    return m_config.expectBack < 0 ? int(m_config.payload.size()) : m_config.expectBack;
}

QString RegisterSession::summary() const
{
    return QStringLiteral("relayed %1 bytes to %2:%3 and %4 bytes back")
        .arg(m_state == Done ? m_config.payload.size() : 0)
        .arg(m_config.host)
        .arg(m_config.port)
        .arg(m_received.size());
}

void RegisterSession::onLinkBytes(const QByteArray &bytes)
{
    m_buffer += bytes;
    TlvField record;
    while (!isDone() && m_codec.take(m_buffer, record) == TlvCodec::Complete)
        handle(record);
}

void RegisterSession::send(unsigned char cmd, const QByteArray &value)
{
    emit sendLink(tlvEncode(TlvField(cmd, value)));
}

void RegisterSession::handle(const TlvField &record)
{
    const int channel = m_config.channel;
    if (record.cmd == LNK_TLV_RX_REQUEST_VERSION) {
        // Answered in every state: pobrid asks again every five minutes of silence.
        send(LNK_TLV_TX_RESPONSE_VERSION, QByteArray(1, char(m_config.protocolVersion)));
        if (m_state == WaitVersion) {
            emit step(QStringLiteral("version %1 sent").arg(m_config.protocolVersion));
            connectChannel();
        }
        return;
    }
    if (record.cmd == LNK_TLV_RX_CONNECT_STATE0 + channel) {
        const bool up = !record.data.isEmpty() && record.data.at(0) == 1;
        if (m_state == WaitConnected && up) {
            emit step(QStringLiteral("connected; sending %1 bytes").arg(m_config.payload.size()));
            m_state = Relaying;
            for (int at = 0; at < m_config.payload.size(); at += TLV_MAX_VALUE)
                send(LNK_TLV_TX_DATA0 + channel, m_config.payload.mid(at, TLV_MAX_VALUE));
            if (m_config.sendLog)
                send(LNK_TLV_TX_LOG, QByteArray::fromHex("01") + m_config.payload.left(16));
            if (expected() > 0)
                grant();
            else
                closeChannel();
        } else if (m_state == WaitClosed && !up) {
            emit step(QStringLiteral("channel %1 closed").arg(channel));
            m_state = Done;
            m_timeout.stop();
            emit finished(true);
        } else if (!up) {
            fail(QStringLiteral("connection lost after %1 of %2 bytes back").arg(m_received.size()).arg(expected()));
        }
        return;
    }
    if (record.cmd == LNK_TLV_RX_DATA0 + channel && m_state == Relaying) {
        if (record.data.size() > m_config.grant) {
            fail(QStringLiteral("received %1 bytes on a grant of %2").arg(record.data.size()).arg(m_config.grant));
            return;
        }
        m_received += record.data;
        emit step(QStringLiteral("received %1 bytes (%2 of %3)").arg(record.data.size()).arg(m_received.size()).arg(expected()));
        if (m_received.size() >= expected())
            closeChannel();
        else
            grant();
        return;
    }
    if (record.cmd == LNK_TLV_RX_DATA0 + channel)
        fail(QStringLiteral("unexpected data outside the relay"));
}

void RegisterSession::grant()
{
    send(LNK_TLV_TX_PACKET_SIZE0 + m_config.channel, QByteArray(1, char(m_config.grant)));
}

void RegisterSession::closeChannel()
{
    if (m_config.expectBack < 0 && m_received != m_config.payload) {
        fail(QStringLiteral("the answer differs from what was sent"));
        return;
    }
    emit step(QStringLiteral("closing channel %1").arg(m_config.channel));
    m_state = WaitClosed;
    send(LNK_TLV_TX_CONNECT0_CLOSE + m_config.channel, QByteArray());
}

void RegisterSession::fail(const QString &why)
{
    if (isDone())
        return;
    m_state = Failed;
    m_timeout.stop();
    emit step(QStringLiteral("FAILED: ") + why);
    emit finished(false);
}
