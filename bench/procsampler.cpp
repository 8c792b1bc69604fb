// What one process costs the machine, read from /proc: CPU time, resident memory, threads, open files.
#include "procsampler.h"

#include "benchclock.h"

#include <QDir>
#include <QFile>
#include <unistd.h>

ProcSampler::Snapshot ProcSampler::take() const
{
    Snapshot s;
    const QString base = QStringLiteral("/proc/%1/").arg(m_pid);
    QFile stat(base + QStringLiteral("stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return s;
    s.takenNs = BenchClock::nowNs();
    // The command name in parentheses may hold spaces; fields are counted after its closing one.
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    // Fields 14 and 15 of the line (utime, stime) are 11 and 12 after the name.
    if (fields.size() < 13)
        return s;
    s.cpuTicks = fields[11].toLongLong() + fields[12].toLongLong();

    QFile status(base + QStringLiteral("status"));
    if (!status.open(QIODevice::ReadOnly))
        return s;
    for (const QByteArray &row : status.readAll().split('\n')) {
        const QList<QByteArray> parts = row.simplified().split(' ');
        if (parts.size() < 2)
            continue;
        if (parts[0] == "VmRSS:")
            s.rssKb = parts[1].toLongLong();
        else if (parts[0] == "Threads:")
            s.threads = parts[1].toInt();
    }
    s.fds = int(QDir(base + QStringLiteral("fd")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size());
    s.valid = true;
    return s;
}

double ProcSampler::cpuPercent(const Snapshot &from, const Snapshot &to)
{
    const double seconds = double(to.takenNs - from.takenNs) / 1e9;
    if (!from.valid || !to.valid || seconds <= 0)
        return qQNaN();
    return 100.0 * double(to.cpuTicks - from.cpuTicks) / double(sysconf(_SC_CLK_TCK)) / seconds;
}
