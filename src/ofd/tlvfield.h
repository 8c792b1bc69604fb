// One record of the link protocol spoken with the register: its command codes, printed names and wire form.
#pragma once

#include <QByteArray>
#include <QString>

// Command codes. RX records are received by the register (the service sends
// them), TX records are transmitted by it. Channel-specific codes are a group
// base plus the channel number (0 or 1).
constexpr unsigned char LNK_TLV_RX_REQUEST_VERSION = 0x01;
constexpr unsigned char LNK_TLV_RX_RESPONSE_VERSION = 0x02;
constexpr unsigned char LNK_TLV_RX_CONNECT_STATE0 = 0x10;
constexpr unsigned char LNK_TLV_RX_CONNECT_STATE1 = 0x11;
constexpr unsigned char LNK_TLV_RX_DATA0 = 0x20;
constexpr unsigned char LNK_TLV_RX_DATA1 = 0x21;
constexpr unsigned char LNK_TLV_TX_RESPONSE_VERSION = 0x40;
constexpr unsigned char LNK_TLV_TX_DNS = 0x41;
constexpr unsigned char LNK_TLV_TX_REQUEST_VERSION = 0x42;
constexpr unsigned char LNK_TLV_TX_PACKET_SIZE0 = 0x50;
constexpr unsigned char LNK_TLV_TX_PACKET_SIZE1 = 0x51;
constexpr unsigned char LNK_TLV_TX_PORT0 = 0x60;
constexpr unsigned char LNK_TLV_TX_PORT1 = 0x61;
constexpr unsigned char LNK_TLV_TX_CONNECT0 = 0x70;
constexpr unsigned char LNK_TLV_TX_CONNECT1 = 0x71;
constexpr unsigned char LNK_TLV_TX_CONNECT0_CLOSE = 0x80;
constexpr unsigned char LNK_TLV_TX_CONNECT1_CLOSE = 0x81;
constexpr unsigned char LNK_TLV_TX_DATA0 = 0x90;
constexpr unsigned char LNK_TLV_TX_DATA1 = 0x91;
constexpr unsigned char LNK_TLV_TX_LOG = 0xA0;

// The longest value a record can carry: its length is one byte.
constexpr int TLV_MAX_VALUE = 255;

struct TlvField
{
    TlvField() = default;
    TlvField(unsigned char cmd, const QByteArray &data);

    unsigned char cmd = 0xFF;
    QByteArray data;
};

// Command byte, length byte, value. The value must not exceed TLV_MAX_VALUE
// bytes; a longer one is cut there, so the length byte never lies.
QByteArray tlvEncode(const TlvField &field);

// The name the logs print for a command code, or "UNKNOWN".
QString cmdToStr(unsigned char cmd);
