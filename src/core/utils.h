// Small helpers shared by every worker: the event-keeping sleep and the hex dump of traffic lines.
#pragma once

#include <QByteArray>
#include <QString>
#include <QSerialPort>

// Length of one msleep slice: the pending events of the calling thread are
// processed after every slice.
#ifdef Q_OS_WIN
constexpr long MSLEEP_SLICE_MS = 50;
#else
constexpr long MSLEEP_SLICE_MS = 10;
#endif

// Sleeps the smallest whole number of slices that covers ms, processing the
// calling thread's events after each slice; ms <= 0 returns at once.
void msleep(long ms);

// "0A FF (2 bytes)": two upper-case hex digits per byte, space separated.
QString baToString(const QByteArray &bytes);

// The number a serial port error is logged with ("dev error %1", "error %1"):
// the classic numbering of the error names, which Qt 6 renumbered, so that
// logs read the same whatever Qt version the service was built with.
int serialErrorNumber(QSerialPort::SerialPortError error);
