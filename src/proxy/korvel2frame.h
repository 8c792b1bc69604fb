// Frames of the registers' serial protocol version 2: control bytes, DLE stuffing, XOR checksum.
#pragma once

#include <QByteArray>
#include <cstdint>

namespace Korvel2Frame {

constexpr uint8_t STX = 0x02;
constexpr uint8_t ETX = 0x03;
constexpr uint8_t EOT = 0x04;
constexpr uint8_t ENQ = 0x05;
constexpr uint8_t ACK = 0x06;
constexpr uint8_t DLE = 0x10;
constexpr uint8_t NAK = 0x15;

// The register's receiver refuses a message holding more bytes than this after unstuffing.
constexpr int MAX_MESSAGE_SIZE = 1024;

// Inserts a DLE before every DLE and every ETX, in place.
void escape(QByteArray &bytes);

// XOR of all bytes; 0 for none.
uint8_t crc(const QByteArray &bytes);

// STX, the stuffed message, ETX, then the XOR of the stuffed message and the ETX.
QByteArray build(const QByteArray &message);

} // namespace Korvel2Frame
