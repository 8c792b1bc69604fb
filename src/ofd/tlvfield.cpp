// One record of the link protocol spoken with the register: its command codes, printed names and wire form.
#include "tlvfield.h"

TlvField::TlvField(unsigned char cmd, const QByteArray &data)
    : cmd(cmd)
    , data(data)
{
}

QByteArray tlvEncode(const TlvField &field)
{
    const QByteArray value = field.data.left(TLV_MAX_VALUE);
    QByteArray bytes;
    bytes.reserve(2 + value.size());
    bytes.append(char(field.cmd));
    bytes.append(char(value.size()));
    bytes.append(value);
    return bytes;
}

QString cmdToStr(unsigned char cmd)
{
    switch (cmd) {
    case LNK_TLV_RX_REQUEST_VERSION: return QStringLiteral("LNK_TLV_RX_REQUEST_VERSION");
    case LNK_TLV_RX_RESPONSE_VERSION: return QStringLiteral("LNK_TLV_RX_RESPONSE_VERSION");
    case LNK_TLV_RX_CONNECT_STATE0: return QStringLiteral("LNK_TLV_RX_CONNECT_STATE0");
    case LNK_TLV_RX_CONNECT_STATE1: return QStringLiteral("LNK_TLV_RX_CONNECT_STATE1");
    case LNK_TLV_RX_DATA0: return QStringLiteral("LNK_TLV_RX_DATA0");
    case LNK_TLV_RX_DATA1: return QStringLiteral("LNK_TLV_RX_DATA1");
    case LNK_TLV_TX_RESPONSE_VERSION: return QStringLiteral("LNK_TLV_TX_RESPONSE_VERSION");
    case LNK_TLV_TX_DNS: return QStringLiteral("LNK_TLV_TX_DNS");
    case LNK_TLV_TX_REQUEST_VERSION: return QStringLiteral("LNK_TLV_TX_REQUEST_VERSION");
    case LNK_TLV_TX_PACKET_SIZE0: return QStringLiteral("LNK_TLV_TX_PACKET_SIZE0");
    case LNK_TLV_TX_PACKET_SIZE1: return QStringLiteral("LNK_TLV_TX_PACKET_SIZE1");
    case LNK_TLV_TX_PORT0: return QStringLiteral("LNK_TLV_TX_PORT0");
    case LNK_TLV_TX_PORT1: return QStringLiteral("LNK_TLV_TX_PORT1");
    case LNK_TLV_TX_CONNECT0: return QStringLiteral("LNK_TLV_TX_CONNECT0");
    case LNK_TLV_TX_CONNECT1: return QStringLiteral("LNK_TLV_TX_CONNECT1");
    case LNK_TLV_TX_CONNECT0_CLOSE: return QStringLiteral("LNK_TLV_TX_CONNECT0_CLOSE");
    case LNK_TLV_TX_CONNECT1_CLOSE: return QStringLiteral("LNK_TLV_TX_CONNECT1_CLOSE");
    case LNK_TLV_TX_DATA0: return QStringLiteral("LNK_TLV_TX_DATA0");
    case LNK_TLV_TX_DATA1: return QStringLiteral("LNK_TLV_TX_DATA1");
    case LNK_TLV_TX_LOG: return QStringLiteral("LNK_TLV_TX_LOG");
    default: return QStringLiteral("UNKNOWN");
    }
}
