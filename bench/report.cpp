// Turns the bench's measurements into bench/results: a JSON file and a Markdown table with the targets marked.
#include "report.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <cmath>

namespace {

// The protocol's ceiling: one DATA record of at most 255 bytes per channel per polling turn.
const double RECORD_BYTES = 255;
const double NOMINAL_TURN_MS = 10;

QString ms(double v)
{
    return std::isnan(v) ? QStringLiteral("n/a") : QString::number(v, 'f', v < 1 ? 3 : 1);
}

QString ratio(double a, double b)
{
    return std::isnan(a) || std::isnan(b) || b <= 0 ? QStringLiteral("n/a") : QStringLiteral("%1×").arg(a / b, 0, 'f', 0);
}

QString verdict(double value, double limit)
{
    if (std::isnan(value))
        return QStringLiteral("not measured");
    return value <= limit ? QStringLiteral("**met**") : QStringLiteral("**missed**");
}

}

double Report::number(const QString &path) const
{
    QJsonValue v = m_root;
    for (const QString &key : path.split(QLatin1Char('/'))) {
        bool isIndex = false;
        const int index = key.toInt(&isIndex);
        v = isIndex ? v.toArray().at(index) : v.toObject().value(key);
    }
    return v.isDouble() ? v.toDouble() : qQNaN();
}

QString Report::targets() const
{
    QString t;
    t += QStringLiteral("| Target | Measured | Verdict |\n|---|---|---|\n");
    const auto row = [&t](const QString &name, double value, double limit, const QString &unit) {
        t += QStringLiteral("| %1 ≤ %2 %4 | %3 %4 | %5 |\n").arg(name).arg(limit).arg(ms(value), unit, verdict(value, limit));
    };
    row(QStringLiteral("USB register → server median"), number(QStringLiteral("usb/to_server/median_ms")), 12, QStringLiteral("ms"));
    row(QStringLiteral("USB register → server p99"), number(QStringLiteral("usb/to_server/p99_ms")), 25, QStringLiteral("ms"));
    row(QStringLiteral("serial p3 register → server median"), number(QStringLiteral("serial3/to_server/median_ms")), 12, QStringLiteral("ms"));
    row(QStringLiteral("serial p3 register → server p99"), number(QStringLiteral("serial3/to_server/p99_ms")), 25, QStringLiteral("ms"));
    row(QStringLiteral("USB server → register median"), number(QStringLiteral("usb/to_register/median_ms")), 65, QStringLiteral("ms"));
    row(QStringLiteral("USB server → register p99"), number(QStringLiteral("usb/to_register/p99_ms")), 120, QStringLiteral("ms"));
    row(QStringLiteral("serial p3 server → register median"), number(QStringLiteral("serial3/to_register/median_ms")), 20, QStringLiteral("ms"));
    const double ceiling = RECORD_BYTES * 1000 / NOMINAL_TURN_MS;
    for (const QString &link : {QStringLiteral("usb"), QStringLiteral("serial3")}) {
        const double share = 100 * number(link + QStringLiteral("/throughput/bytes_per_second")) / ceiling;
        const QString verdictText = std::isnan(share) ? QStringLiteral("not measured") : share >= 90 ? QStringLiteral("**met**") : QStringLiteral("**missed**");
        t += QStringLiteral("| %1 throughput ≥ 90 % of the ceiling (%2 B/s) | %3 % | %4 |\n")
                 .arg(link == QLatin1String("usb") ? QStringLiteral("USB") : QStringLiteral("serial p3"))
                 .arg(ceiling, 0, 'f', 0).arg(share, 0, 'f', 1).arg(verdictText);
    }
    const QJsonArray idle = m_root.value(QStringLiteral("idle")).toArray();
    for (int i = 0; i < idle.size(); ++i) {
        const QJsonObject o = idle.at(i).toObject();
        row(QStringLiteral("idle CPU per register, %1 registers").arg(o.value(QStringLiteral("registers")).toInt()),
            o.value(QStringLiteral("cpu_percent_per_register")).toDouble(qQNaN()), 0.2, QStringLiteral("% of one core"));
        if (o.value(QStringLiteral("registers")).toInt() == 100)
            row(QStringLiteral("resident memory, 100 registers"), o.value(QStringLiteral("rss_kb")).toDouble(qQNaN()) / 1024, 256, QStringLiteral("MB"));
    }
    return t;
}

QString Report::markdown() const
{
    const QJsonObject machine = m_root.value(QStringLiteral("machine")).toObject();
    QString md;
    md += QStringLiteral("# pobrid against the physical floor: latest run\n\n");
    md += QStringLiteral("Run %1 on %2 cores; load average (1, 5, 15 min) %3 before, %4 after. The machine is shared: "
                         "other builds and tests ran at the same time, so tails are noisier than on a quiet host.\n\n")
              .arg(machine.value(QStringLiteral("started")).toString())
              .arg(machine.value(QStringLiteral("cores")).toInt())
              .arg(machine.value(QStringLiteral("load_before")).toString(), machine.value(QStringLiteral("load_after")).toString());
    md += QStringLiteral("The real `pobrid` binary (RelWithDebInfo), started with `-e` and its console output discarded; it logs every "
                         "record to Pob.log as in production. USB registers sit on the libusb double's simulated bus, protocol-3 "
                         "registers on pseudo-terminals; the OFD server is a loopback TCP server in the bench process.\n\n");

    const int samples = m_root.value(QStringLiteral("samples_per_direction")).toInt();
    md += QStringLiteral("## Added latency (%1 samples per direction, %2-byte messages)\n\n").arg(samples).arg(m_root.value(QStringLiteral("message_bytes")).toInt());
    md += QStringLiteral("| Direction | pobrid USB | pobrid serial p3 | socat floor | USB / floor | serial / floor |\n|---|---|---|---|---|---|\n");
    const auto latencyRow = [&](const QString &name, const QString &path) {
        const double usb = number(QStringLiteral("usb/") + path);
        const double serial = number(QStringLiteral("serial3/") + path);
        const double floor = number(QStringLiteral("floor/") + path);
        md += QStringLiteral("| %1 | %2 ms | %3 ms | %4 ms | %5 | %6 |\n").arg(name, ms(usb), ms(serial), ms(floor), ratio(usb, floor), ratio(serial, floor));
    };
    latencyRow(QStringLiteral("register → server, median"), QStringLiteral("to_server/median_ms"));
    latencyRow(QStringLiteral("register → server, p99"), QStringLiteral("to_server/p99_ms"));
    latencyRow(QStringLiteral("server → register (grant outstanding), median"), QStringLiteral("to_register/median_ms"));
    latencyRow(QStringLiteral("server → register (grant outstanding), p99"), QStringLiteral("to_register/p99_ms"));
    md += QStringLiteral("\nUSB figures include the libusb double's control socket: a `feed` (register → server) costs one round trip "
                         "before the bytes exist on the bus, and the register finds pobrid's writes by polling `take` every 1 ms "
                         "(server → register), so the USB server → register figures carry up to about 1 ms plus one round trip. "
                         "Control socket round trip alone: median %1 ms, p99 %2 ms. Nothing is subtracted.\n\n")
              .arg(ms(number(QStringLiteral("usb/control_socket_rtt/median_ms"))), ms(number(QStringLiteral("usb/control_socket_rtt/p99_ms"))));

    const double turn = number(QStringLiteral("loop_turn/median_ms"));
    md += QStringLiteral("## Throughput, server → register, back-to-back 255-byte grants\n\n");
    md += QStringLiteral("Ceiling: one 255-byte DATA record per polling turn. The turn's sleep alone (`msleep(5)`, one 10 ms slice, "
                         "measured in-process, %1 samples) takes median %2 ms, p99 %3 ms; the ceiling below uses the nominal 10 ms "
                         "turn = %4 B/s (with the measured turn: %5 B/s).\n\n")
              .arg(number(QStringLiteral("loop_turn/count")))
              .arg(ms(turn), ms(number(QStringLiteral("loop_turn/p99_ms"))))
              .arg(RECORD_BYTES * 1000 / NOMINAL_TURN_MS, 0, 'f', 0)
              .arg(RECORD_BYTES * 1000 / turn, 0, 'f', 0);
    md += QStringLiteral("| | pobrid USB | pobrid serial p3 |\n|---|---|---|\n");
    const auto both = [&](const QString &name, const QString &path, int precision, double scale) {
        md += QStringLiteral("| %1 | %2 | %3 |\n")
                  .arg(name)
                  .arg(number(QStringLiteral("usb/") + path) * scale, 0, 'f', precision)
                  .arg(number(QStringLiteral("serial3/") + path) * scale, 0, 'f', precision);
    };
    both(QStringLiteral("bytes per second"), QStringLiteral("throughput/bytes_per_second"), 0, 1);
    both(QStringLiteral("share of the 10 ms ceiling, %"), QStringLiteral("throughput/bytes_per_second"), 1, 100 / (RECORD_BYTES * 1000 / NOMINAL_TURN_MS));
    both(QStringLiteral("DATA records counted"), QStringLiteral("throughput/records"), 0, 1);
    both(QStringLiteral("seconds streamed"), QStringLiteral("throughput/seconds"), 1, 1);
    both(QStringLiteral("DATA → next DATA, median ms"), QStringLiteral("throughput/data_to_data/median_ms"), 1, 1);
    both(QStringLiteral("grant → its DATA, median ms"), QStringLiteral("throughput/grant_to_data/median_ms"), 1, 1);
    both(QStringLiteral("grant → its DATA, p99 ms"), QStringLiteral("throughput/grant_to_data/p99_ms"), 1, 1);
    md += QStringLiteral("\n## Idle cost: registers linked (version handshake done) and silent\n\n");
    md += QStringLiteral("USB registers on the double; CPU from /proc/<pid>/stat (10 ms ticks) over the window after a warm-up; "
                         "threads and descriptors include the double's own (its control-socket listener).\n\n");
    md += QStringLiteral("One polling turn's sleep (`msleep(5)` on a thread with an event dispatcher) costs %1 µs of CPU in the bench "
                         "process, a bare `usleep(10000)` wake-up %2 µs; a linked register turns its exchange loop about 100 times a "
                         "second, so the turns alone cost %3 % of one core (bare wake-ups: %4 %). Measured like pobrid (from /proc "
                         "over 10 s), 100 threads that do nothing but wake every 10 ms cost %5 % of one core each: the floor of "
                         "any design that polls every 10 ms on this machine.\n\n")
              .arg(number(QStringLiteral("loop_turn/cpu_us_per_turn")), 0, 'f', 1)
              .arg(number(QStringLiteral("loop_turn/bare_sleep_cpu_us")), 0, 'f', 1)
              .arg(number(QStringLiteral("loop_turn/cpu_us_per_turn")) * 100 / 1e6 * 100, 0, 'f', 3)
              .arg(number(QStringLiteral("loop_turn/bare_sleep_cpu_us")) * 100 / 1e6 * 100, 0, 'f', 3)
              .arg(number(QStringLiteral("loop_turn/bare_sleepers_100_percent_per_thread")), 0, 'f', 3);
    md += QStringLiteral("| Registers | Linked | Window s | CPU, % of one core | per register | RSS MB | Threads | FDs |\n|---|---|---|---|---|---|---|---|\n");
    for (const QJsonValue &v : m_root.value(QStringLiteral("idle")).toArray()) {
        const QJsonObject o = v.toObject();
        md += QStringLiteral("| %1 | %2 | %3 | %4 | %5 | %6 | %7 | %8 |\n")
                  .arg(o.value(QStringLiteral("registers")).toInt())
                  .arg(o.value(QStringLiteral("linked")).toInt())
                  .arg(o.value(QStringLiteral("window_s")).toDouble(), 0, 'f', 1)
                  .arg(o.value(QStringLiteral("cpu_percent")).toDouble(), 0, 'f', 2)
                  .arg(o.value(QStringLiteral("cpu_percent_per_register")).toDouble(), 0, 'f', 3)
                  .arg(o.value(QStringLiteral("rss_kb")).toDouble() / 1024, 0, 'f', 1)
                  .arg(o.value(QStringLiteral("threads")).toInt())
                  .arg(o.value(QStringLiteral("fds")).toInt());
    }
    md += QStringLiteral("\n## Start-up to the first log line\n\n");
    md += QStringLiteral("From starting the process to its first console line (one USB register listed), %1 runs: median %2 ms, "
                         "p99 %3 ms, max %4 ms. First line: `%5`\n\n")
              .arg(number(QStringLiteral("startup/count")))
              .arg(ms(number(QStringLiteral("startup/median_ms"))), ms(number(QStringLiteral("startup/p99_ms"))), ms(number(QStringLiteral("startup/max_ms"))),
                   m_root.value(QStringLiteral("startup")).toObject().value(QStringLiteral("first_line")).toString());
    md += QStringLiteral("## Targets\n\n") + targets();
    for (const QString &part : {QStringLiteral("floor"), QStringLiteral("usb"), QStringLiteral("serial3")}) {
        const QString error = m_root.value(part).toObject().value(QStringLiteral("error")).toString();
        if (!error.isEmpty())
            md += QStringLiteral("\n**%1 run failed:** %2\n").arg(part, error);
    }
    return md;
}

bool Report::write(const QString &dir, const QString &findings) const
{
    QDir().mkpath(dir);
    QFile json(QDir(dir).filePath(QStringLiteral("latest.json")));
    QFile md(QDir(dir).filePath(QStringLiteral("latest.md")));
    if (!json.open(QIODevice::WriteOnly) || !md.open(QIODevice::WriteOnly))
        return false;
    json.write(QJsonDocument(m_root).toJson());
    QString text = markdown();
    if (!findings.isEmpty())
        text += QStringLiteral("\n") + findings;
    md.write(text.toUtf8());
    return true;
}

bool Report::writeSoak(const QString &file, int registers, int durationS, int intervalS, double ranS,
                       const QList<ProcSampler::Snapshot> &snapshots, const QList<qint64> &cycles,
                       const QList<int> &stalls, int mismatches, qint64 echoed, int exitCode)
{
    QString md;
    md += QStringLiteral("# Soak: %1 USB registers relaying continuously\n\n").arg(registers);
    md += QStringLiteral("Duration asked: %1 s; actually run: %2 s (%3 min). Sampled every %4 s. Each register repeats: "
                         "open channel 0 to a loopback echo server, send 100 to 700 bytes, take the echo back under "
                         "255-byte grants, close the channel.\n\n")
              .arg(durationS).arg(ranS, 0, 'f', 0).arg(ranS / 60, 0, 'f', 1).arg(intervalS);
    md += QStringLiteral("| t (s) | RSS kB | Threads | FDs | Cycles done | Stalls |\n|---|---|---|---|---|---|\n");
    for (int i = 0; i < snapshots.size(); ++i) {
        md += QStringLiteral("| %1 | %2 | %3 | %4 | %5 | %6 |\n")
                  .arg(i * intervalS).arg(snapshots[i].rssKb).arg(snapshots[i].threads).arg(snapshots[i].fds).arg(cycles[i]).arg(stalls[i]);
    }
    if (snapshots.size() >= 3) {
        // Growth is judged from the second sample on: the first one is taken before the registers are linked.
        const ProcSampler::Snapshot &a = snapshots[1];
        const ProcSampler::Snapshot &b = snapshots.last();
        md += QStringLiteral("\nFrom the second sample to the last: RSS %1 kB → %2 kB (%3%4 kB), threads %5 → %6, FDs %7 → %8.\n")
                  .arg(a.rssKb).arg(b.rssKb).arg(b.rssKb >= a.rssKb ? QStringLiteral("+") : QString()).arg(b.rssKb - a.rssKb)
                  .arg(a.threads).arg(b.threads).arg(a.fds).arg(b.fds);
    }
    md += QStringLiteral("\nRelay cycles completed: %1; bytes echoed byte-exact: %2; echoes that differed: %3; stalls (30 s without progress): %4. "
                         "pobrid's exit code on SIGTERM: %5.\n")
              .arg(cycles.isEmpty() ? 0 : cycles.last()).arg(echoed).arg(mismatches).arg(stalls.isEmpty() ? 0 : stalls.last()).arg(exitCode);
    QFile out(file);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    out.write(md.toUtf8());
    return true;
}
