// Small helpers shared by every worker: the event-keeping sleep and the hex dump of traffic lines.
#pragma once

#include <QByteArray>
#include <QString>

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
