// Writing to a simulated register's end of a serial line.
#pragma once

#include <QByteArray>

// Writes all bytes to a (non-blocking) descriptor, waiting up to a second
// whenever the line is full; false when the line failed or stayed full.
bool writeAll(int fd, const QByteArray &bytes);
