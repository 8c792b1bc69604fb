// The cost of registers that are linked and silent: CPU, resident memory, threads and open files of pobrid.
#pragma once

#include <QJsonObject>
#include <QString>

class IdleProbe
{
public:
    struct Timing
    {
        int warmUpMs = 5000;
        int windowMs = 20000;
    };

    IdleProbe(const QString &binary, const Timing &timing) : m_binary(binary), m_timing(timing) {}

    // Runs pobrid with count USB registers, links every one (version handshake
    // answered), lets them fall silent and measures over the window.
    QJsonObject run(int count);

private:
    QString m_binary;
    Timing m_timing;
};
