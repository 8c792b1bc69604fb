// pobrid-bench: runs the real service with simulated registers and a loopback server and measures it against a plain relay.
#include "benchclock.h"
#include "echoserver.h"
#include "fakeusbregister.h"
#include "idleprobe.h"
#include "linkprobe.h"
#include "loopbackserver.h"
#include "pobridprocess.h"
#include "procsampler.h"
#include "ptyend.h"
#include "ptypair.h"
#include "report.h"
#include "serialregisterend.h"
#include "soakregister.h"
#include "usbbus.h"
#include "usbregisterend.h"
#include "utils.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>
#include <QTime>
#include <QTimer>
#include <atomic>
#include <memory>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

QTextStream out(stdout);
QtMessageHandler standardHandler = nullptr;
// The executable under test; another build can be compared with --pobrid.
QString pobridBinary = QStringLiteral(POBRID_BINARY);

void note(const QString &text)
{
    out << QTime::currentTime().toString(QStringLiteral("HH:mm:ss ")) << text << Qt::endl;
}

QJsonObject throughputJson(const LinkProbe::Throughput &t)
{
    QJsonObject o;
    o[QStringLiteral("bytes")] = double(t.bytes);
    o[QStringLiteral("records")] = t.records;
    o[QStringLiteral("seconds")] = t.seconds;
    o[QStringLiteral("bytes_per_second")] = t.bytesPerSecond();
    o[QStringLiteral("grant_to_data")] = t.grantToData.toJson();
    o[QStringLiteral("data_to_data")] = t.dataToData.toJson();
    return o;
}

// The probe's three measurements on one established link.
void measureLink(LinkProbe &probe, QJsonObject &result, int samples, int streamMs, const std::function<void(bool)> &finePolling)
{
    note(QStringLiteral("  register -> server, %1 samples").arg(samples));
    result[QStringLiteral("to_server")] = probe.toServer(samples).toJson();
    finePolling(true);
    note(QStringLiteral("  server -> register, %1 samples").arg(samples));
    result[QStringLiteral("to_register")] = probe.toRegister(samples).toJson();
    if (streamMs > 0) {
        note(QStringLiteral("  stream under back-to-back grants, %1 s").arg(streamMs / 1000));
        result[QStringLiteral("throughput")] = throughputJson(probe.throughput(streamMs));
    }
    finePolling(false);
    if (!probe.error().isEmpty())
        result[QStringLiteral("error")] = probe.error();
}

QJsonObject usbLink(int samples, int streamMs)
{
    QJsonObject result;
    note(QStringLiteral("USB register through pobrid"));
    LoopbackServer server;
    PobridProcess pobrid(pobridBinary);
    if (!pobrid.isValid() || !UsbBus::prepare(pobrid, 1) || !pobrid.start()) {
        result[QStringLiteral("error")] = QStringLiteral("pobrid did not start");
        return result;
    }
    FakeUsbRegister bus(UsbBus::socketPath(pobrid), 1);
    if (!bus.connectToBus(10000)) {
        result[QStringLiteral("error")] = QStringLiteral("no control socket");
        return result;
    }
    // The control socket's own round trip: every feed pays it before the bytes
    // exist on the bus, every poll pays it before the bytes are seen.
    Samples rtt;
    for (int i = 0; i < samples; ++i) {
        const qint64 start = BenchClock::nowNs();
        bus.command(QStringLiteral("count handles"));
        rtt.add(BenchClock::msSince(start));
    }
    result[QStringLiteral("control_socket_rtt")] = rtt.toJson();
    UsbRegisterEnd end(bus, 1, true);
    LinkProbe probe(end, server, true, 11);
    if (!probe.handshake(20000)) {
        result[QStringLiteral("error")] = probe.error();
        return result;
    }
    measureLink(probe, result, samples, streamMs, [&](bool on) { end.setFinePolling(on); });
    pobrid.terminate();
    return result;
}

QJsonObject serialLink(int samples, int streamMs)
{
    QJsonObject result;
    note(QStringLiteral("protocol-3 register through pobrid's serial proxy"));
    LoopbackServer server;
    PtyPair dev, app;
    PobridProcess pobrid(pobridBinary);
    if (!dev.isValid() || !app.isValid() || !pobrid.isValid()) {
        result[QStringLiteral("error")] = QStringLiteral("no pseudo-terminals");
        return result;
    }
    pobrid.writeSettings(QStringLiteral(R"(<device type="sarn"><id>k3</id><protocol>3</protocol>
        <app><port>%1</port></app><dev><port>%2</port><baudrate>115200</baudrate></dev></device>)")
                             .arg(app.slaveName(), dev.slaveName()).toUtf8());
    pobrid.process().setStandardOutputFile(QProcess::nullDevice());
    SerialRegisterEnd end(dev.masterFd());
    if (!pobrid.start()) {
        result[QStringLiteral("error")] = QStringLiteral("pobrid did not start");
        return result;
    }
    LinkProbe probe(end, server, true, 12);
    // The proxy settles the register's port for two times three seconds first.
    if (!probe.handshake(40000)) {
        result[QStringLiteral("error")] = probe.error();
        return result;
    }
    measureLink(probe, result, samples, streamMs, [](bool) {});
    pobrid.terminate();
    return result;
}

QJsonObject floorLink(int samples)
{
    QJsonObject result;
    note(QStringLiteral("the floor: socat between a pseudo-terminal and TCP"));
    LoopbackServer server;
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("tty"));
    QProcess socat;
    socat.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    socat.start(QStringLiteral("socat"),
                {QStringLiteral("PTY,link=%1,raw,echo=0").arg(link), QStringLiteral("TCP:127.0.0.1:%1").arg(server.port())});
    // Ended on every way out, so no relay outlives its measurement.
    const auto stopSocat = qScopeGuard([&socat] {
        socat.terminate();
        socat.waitForFinished(5000);
    });
    PtyEnd end;
    if (!socat.waitForStarted(5000) || !BenchClock::waitUntil([&] { return QFile::exists(link); }, 5000) || !end.open(link)) {
        result[QStringLiteral("error")] = QStringLiteral("socat did not start");
        return result;
    }
    LinkProbe probe(end, server, false, 13);
    if (!probe.handshake(5000)) {
        result[QStringLiteral("error")] = probe.error();
        return result;
    }
    measureLink(probe, result, samples, 0, [](bool) {});
    return result;
}

double threadCpuUs(const rusage &r)
{
    const auto us = [](const timeval &t) { return double(t.tv_sec) * 1e6 + double(t.tv_usec); };
    return us(r.ru_utime) + us(r.ru_stime);
}

// The exchange worker's polling turn in Running: one msleep(5), which sleeps one 10 ms slice
// and processes the thread's events. Its CPU time alone is what an idle register pays per turn.
QJsonObject loopTurn()
{
    Samples turns;
    double cpuUs = 0;
    const int count = 300;
    QThread *thread = QThread::create([&turns, &cpuUs] {
        // The first turns set up the thread's event dispatcher; they are not counted.
        for (int i = 0; i < 20; ++i)
            msleep(5);
        rusage before {}, after {};
        getrusage(RUSAGE_THREAD, &before);
        for (int i = 0; i < count; ++i) {
            const qint64 start = BenchClock::nowNs();
            msleep(5);
            turns.add(BenchClock::msSince(start));
        }
        getrusage(RUSAGE_THREAD, &after);
        cpuUs = threadCpuUs(after) - threadCpuUs(before);
    });
    thread->start();
    thread->wait();
    delete thread;
    // The floor of any 10 ms polling loop: the same wake-ups with nothing done between them.
    double bareUs = 0;
    std::thread bare([&bareUs] {
        rusage before {}, after {};
        getrusage(RUSAGE_THREAD, &before);
        for (int i = 0; i < count; ++i)
            usleep(10000);
        getrusage(RUSAGE_THREAD, &after);
        bareUs = threadCpuUs(after) - threadCpuUs(before);
    });
    bare.join();
    QJsonObject result = turns.toJson();
    result[QStringLiteral("cpu_us_per_turn")] = cpuUs / count;
    result[QStringLiteral("bare_sleep_cpu_us")] = bareUs / count;
    return result;
}

// The idle floor measured the way pobrid is: 100 threads that only wake every 10 ms, CPU of this
// process from /proc over a window, in percent of one core per thread.
double bareSleepersPercent(int threads, int windowMs)
{
    std::atomic<bool> done {false};
    std::vector<std::thread> sleepers;
    for (int i = 0; i < threads; ++i)
        sleepers.emplace_back([&done] {
            while (!done)
                usleep(10000);
        });
    const ProcSampler sampler(QCoreApplication::applicationPid());
    QThread::msleep(1000);
    const ProcSampler::Snapshot from = sampler.take();
    QThread::msleep(windowMs);
    const ProcSampler::Snapshot to = sampler.take();
    done = true;
    for (std::thread &t : sleepers)
        t.join();
    return ProcSampler::cpuPercent(from, to) / threads;
}

QJsonObject startUp(int runs)
{
    note(QStringLiteral("start-up to the first log line, %1 runs").arg(runs));
    Samples times;
    QString firstLine;
    for (int i = 0; i < runs; ++i) {
        PobridProcess pobrid(pobridBinary);
        if (!pobrid.isValid() || !UsbBus::prepare(pobrid, 1, true))
            break;
        const qint64 start = BenchClock::nowNs();
        if (!pobrid.start())
            break;
        while (!pobrid.output().contains(QLatin1Char('\n')) && pobrid.process().state() == QProcess::Running && BenchClock::msSince(start) < 10000)
            pobrid.process().waitForReadyRead(2);
        if (!pobrid.output().contains(QLatin1Char('\n')))
            break;
        times.add(BenchClock::msSince(start));
        firstLine = pobrid.output().section(QLatin1Char('\n'), 0, 0);
        pobrid.terminate();
    }
    QJsonObject result = times.toJson();
    result[QStringLiteral("first_line")] = firstLine;
    return result;
}

QString loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()).section(QLatin1Char(' '), 0, 2) : QString();
}

QString readText(const QString &path)
{
    QFile file(path);
    return path.isEmpty() || !file.open(QIODevice::ReadOnly) ? QString() : QString::fromUtf8(file.readAll());
}

int runAll(const QString &resultsDir, const QString &findings, const QStringList &only, int samples, int streamMs, int idleWindowMs, const QList<int> &idleCounts)
{
    const auto wanted = [&only](const char *part) { return only.isEmpty() || only.contains(QLatin1String(part)); };
    QJsonObject root;
    QJsonObject machine;
    machine[QStringLiteral("cores")] = QThread::idealThreadCount();
    machine[QStringLiteral("load_before")] = loadAverage();
    machine[QStringLiteral("started")] = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    root[QStringLiteral("pobrid")] = pobridBinary;
    root[QStringLiteral("samples_per_direction")] = samples;
    root[QStringLiteral("message_bytes")] = LinkProbe::MESSAGE_SIZE;

    QJsonObject turn = loopTurn();
    turn[QStringLiteral("bare_sleepers_100_percent_per_thread")] = bareSleepersPercent(100, 10000);
    root[QStringLiteral("loop_turn")] = turn;
    if (wanted("floor"))
        root[QStringLiteral("floor")] = floorLink(samples);
    if (wanted("usb"))
        root[QStringLiteral("usb")] = usbLink(samples, streamMs);
    if (wanted("serial"))
        root[QStringLiteral("serial3")] = serialLink(samples, streamMs);
    QJsonArray idle;
    IdleProbe::Timing timing;
    timing.windowMs = idleWindowMs;
    for (int count : idleCounts) {
        if (!wanted("idle"))
            break;
        note(QStringLiteral("idle: %1 linked silent registers, %2 s window").arg(count).arg(idleWindowMs / 1000));
        idle.append(IdleProbe(pobridBinary, timing).run(count));
    }
    root[QStringLiteral("idle")] = idle;
    if (wanted("startup"))
        root[QStringLiteral("startup")] = startUp(10);

    machine[QStringLiteral("load_after")] = loadAverage();
    root[QStringLiteral("machine")] = machine;
    Report report(root);
    if (!report.write(resultsDir, readText(findings))) {
        note(QStringLiteral("could not write the results to %1").arg(resultsDir));
        return 1;
    }
    out << report.markdown();
    return 0;
}

int rewrite(const QString &json, const QString &resultsDir, const QString &findings)
{
    const QJsonDocument doc = QJsonDocument::fromJson(readText(json).toUtf8());
    if (!doc.isObject()) {
        note(QStringLiteral("%1 holds no results").arg(json));
        return 1;
    }
    return Report(doc.object()).write(resultsDir, readText(findings)) ? 0 : 1;
}

int soak(const QString &file, int registers, int durationS, int intervalS)
{
    note(QStringLiteral("soak: %1 USB registers relaying for %2 s, sampled every %3 s").arg(registers).arg(durationS).arg(intervalS));
    EchoServer echo;
    PobridProcess pobrid(pobridBinary);
    if (!echo.start() || !pobrid.isValid() || !UsbBus::prepare(pobrid, registers) || !pobrid.start()) {
        note(QStringLiteral("pobrid did not start"));
        return 1;
    }
    FakeUsbRegister bus(UsbBus::socketPath(pobrid), 1);
    if (!bus.connectToBus(10000)) {
        note(QStringLiteral("no control socket"));
        return 1;
    }
    std::vector<std::unique_ptr<UsbRegisterEnd>> ends;
    std::vector<std::unique_ptr<SoakRegister>> soakers;
    for (int i = 0; i < registers; ++i) {
        ends.push_back(std::make_unique<UsbRegisterEnd>(bus, i + 1, i == 0));
        // Messages of different sizes: one to three DATA records each way.
        soakers.push_back(std::make_unique<SoakRegister>(*ends.back(), echo.serverPort(), 100 + (i * 97) % 600));
    }
    // One pass over the bus polls every register's OUT endpoint.
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        for (size_t i = 1; i < ends.size(); ++i)
            ends[i]->poll();
    });
    poll.start();

    const ProcSampler sampler(pobrid.process().processId());
    QList<ProcSampler::Snapshot> snapshots;
    QList<qint64> cycles;
    QList<int> stalls;
    const qint64 start = BenchClock::nowNs();
    for (int at = 0; at <= durationS; at += intervalS) {
        if (at > 0)
            BenchClock::pause(intervalS * 1000);
        snapshots.append(sampler.take());
        qint64 c = 0;
        int s = 0;
        for (const auto &r : soakers) {
            c += r->cycles();
            s += r->stalls();
        }
        cycles.append(c);
        stalls.append(s);
        note(QStringLiteral("  %1 s: rss %2 kB, %3 threads, %4 fds, %5 cycles")
                 .arg(at).arg(snapshots.last().rssKb).arg(snapshots.last().threads).arg(snapshots.last().fds).arg(c));
    }
    poll.stop();
    int mismatches = 0;
    qint64 echoed = 0;
    for (const auto &r : soakers) {
        mismatches += r->mismatches();
        echoed += r->bytesEchoed();
    }
    const double ranS = BenchClock::msSince(start) / 1000;
    const int exitCode = pobrid.terminate();
    return Report::writeSoak(file, registers, durationS, intervalS, ranS, snapshots, cycles, stalls, mismatches, echoed, exitCode) ? 0 : 1;
}

}

int main(int argc, char *argv[])
{
    // pobrid's console output goes to /dev/null in most runs; the shared process
    // fixture still tries to read it, which Qt reports once per attempt.
    standardHandler = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &context, const QString &message) {
        if (!message.contains(QLatin1String("WriteOnly device")))
            standardHandler(type, context, message);
    });
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Measures pobrid against a plain socat relay."));
    parser.addHelpOption();
    const QCommandLineOption results(QStringLiteral("results"), QStringLiteral("Directory for latest.md and latest.json."), QStringLiteral("dir"), QStringLiteral("."));
    const QCommandLineOption samples(QStringLiteral("samples"), QStringLiteral("Samples per direction."), QStringLiteral("n"), QStringLiteral("200"));
    const QCommandLineOption stream(QStringLiteral("stream"), QStringLiteral("Seconds of grant-paced streaming."), QStringLiteral("s"), QStringLiteral("10"));
    const QCommandLineOption idleWindow(QStringLiteral("idle-window"), QStringLiteral("Seconds of each idle measurement."), QStringLiteral("s"), QStringLiteral("20"));
    const QCommandLineOption idleCounts(QStringLiteral("idle-counts"), QStringLiteral("Register counts of the idle runs."), QStringLiteral("list"), QStringLiteral("1,10,100"));
    const QCommandLineOption soakFile(QStringLiteral("soak"), QStringLiteral("Run the soak instead and write its table to this file."), QStringLiteral("file"));
    const QCommandLineOption duration(QStringLiteral("duration"), QStringLiteral("Soak duration in seconds."), QStringLiteral("s"), QStringLiteral("1800"));
    const QCommandLineOption registers(QStringLiteral("registers"), QStringLiteral("Soak registers."), QStringLiteral("n"), QStringLiteral("50"));
    const QCommandLineOption interval(QStringLiteral("interval"), QStringLiteral("Soak sampling interval in seconds."), QStringLiteral("s"), QStringLiteral("30"));
    const QCommandLineOption findings(QStringLiteral("findings"), QStringLiteral("Markdown appended to latest.md (the analysis of the misses)."), QStringLiteral("file"));
    const QCommandLineOption only(QStringLiteral("only"), QStringLiteral("Runs only these parts: floor,usb,serial,idle,startup."), QStringLiteral("list"));
    const QCommandLineOption fromJson(QStringLiteral("from-json"), QStringLiteral("Measures nothing: writes latest.md again from this latest.json (with --findings)."), QStringLiteral("file"));
    const QCommandLineOption binary(QStringLiteral("pobrid"), QStringLiteral("The pobrid executable to measure (default: this build's)."), QStringLiteral("path"), pobridBinary);
    parser.addOptions({fromJson, binary, results, findings, only, samples, stream, idleWindow, idleCounts, soakFile, duration, registers, interval});
    parser.process(app);
    pobridBinary = parser.value(binary);

    if (parser.isSet(fromJson))
        return rewrite(parser.value(fromJson), parser.value(results), parser.value(findings));
    if (parser.isSet(soakFile))
        return soak(parser.value(soakFile), parser.value(registers).toInt(), parser.value(duration).toInt(), parser.value(interval).toInt());
    QList<int> counts;
    for (const QString &n : parser.value(idleCounts).split(QLatin1Char(','), Qt::SkipEmptyParts))
        counts.append(n.toInt());
    return runAll(parser.value(results), parser.value(findings), parser.value(only).split(QLatin1Char(','), Qt::SkipEmptyParts), parser.value(samples).toInt(), parser.value(stream).toInt() * 1000, parser.value(idleWindow).toInt() * 1000, counts);
}
