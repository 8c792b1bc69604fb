// Property checks of the fuzz targets: a broken property aborts with the bytes involved, so libFuzzer keeps the input.
#pragma once

#include "utils.h"

#include <QByteArray>
#include <cstdio>
#include <cstdlib>

inline void fuzzCheck(bool ok, const char *property, const QByteArray &got = QByteArray(),
                      const QByteArray &expected = QByteArray())
{
    if (ok)
        return;
    std::fprintf(stderr, "broken: %s\n  got:      %s\n  expected: %s\n", property,
                 baToString(got).toLatin1().constData(), baToString(expected).toLatin1().constData());
    std::abort();
}

inline QByteArray fuzzBytes(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), qsizetype(size));
}
