// What one process costs the machine, read from /proc: CPU time, resident memory, threads, open files.
#pragma once

#include <QtGlobal>

class ProcSampler
{
public:
    struct Snapshot
    {
        bool valid = false;
        qint64 cpuTicks = 0;  // user + system time in clock ticks
        qint64 takenNs = 0;   // monotonic time of the reading
        qint64 rssKb = 0;
        int threads = 0;
        int fds = 0;
    };

    explicit ProcSampler(qint64 pid) : m_pid(pid) {}

    Snapshot take() const;
    // CPU used between two snapshots, in percent of one core.
    static double cpuPercent(const Snapshot &from, const Snapshot &to);

private:
    qint64 m_pid;
};
