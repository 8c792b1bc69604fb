// The cost of registers that are linked and silent: CPU, resident memory, threads and open files of pobrid.
#include "idleprobe.h"

#include "benchclock.h"
#include "fakeusbregister.h"
#include "pobridprocess.h"
#include "procsampler.h"
#include "tlvcodec.h"
#include "usbbus.h"
#include "usbregisterend.h"

#include <QThread>
#include <memory>
#include <vector>

QJsonObject IdleProbe::run(int count)
{
    QJsonObject result;
    result[QStringLiteral("registers")] = count;
    PobridProcess pobrid(m_binary);
    if (!pobrid.isValid() || !UsbBus::prepare(pobrid, count) || !pobrid.start()) {
        result[QStringLiteral("error")] = QStringLiteral("pobrid did not start");
        return result;
    }
    int linked = 0;
    {
        // One control connection serves every device; it is closed before the
        // measurement so that the double's socket threads sit idle.
        FakeUsbRegister bus(UsbBus::socketPath(pobrid), 1);
        if (!bus.connectToBus(10000)) {
            result[QStringLiteral("error")] = QStringLiteral("no control socket");
            return result;
        }
        std::vector<std::unique_ptr<UsbRegisterEnd>> ends;
        std::vector<qint64> answeredNs(size_t(count), 0);
        std::vector<TlvCodec> codecs(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i)
            ends.push_back(std::make_unique<UsbRegisterEnd>(bus, i + 1, i == 0));
        // Every register answers each version request; it is linked once a
        // second and a half has passed without a new request (pobrid asks once a second while waiting).
        const qint64 deadline = BenchClock::nowNs() + qint64(60000) * 1000000;
        while (BenchClock::nowNs() < deadline) {
            linked = 0;
            for (int i = 0; i < count; ++i) {
                ends[size_t(i)]->poll();
                TlvField record;
                bool asked = false;
                while (codecs[size_t(i)].take(ends[size_t(i)]->inbox(), record) == TlvCodec::Complete)
                    asked = asked || record.cmd == LNK_TLV_RX_REQUEST_VERSION;
                if (asked) {
                    ends[size_t(i)]->send(tlvEncode(TlvField(LNK_TLV_TX_RESPONSE_VERSION, QByteArray(1, 2))));
                    answeredNs[size_t(i)] = BenchClock::nowNs();
                } else if (answeredNs[size_t(i)] != 0 && BenchClock::msSince(answeredNs[size_t(i)]) > 1500) {
                    ++linked;
                }
            }
            if (linked == count)
                break;
            BenchClock::pause(50);
        }
    }
    result[QStringLiteral("linked")] = linked;
    const ProcSampler sampler(pobrid.process().processId());
    QThread::msleep(m_timing.warmUpMs);
    const ProcSampler::Snapshot from = sampler.take();
    QThread::msleep(m_timing.windowMs);
    const ProcSampler::Snapshot to = sampler.take();
    const double cpu = ProcSampler::cpuPercent(from, to);
    result[QStringLiteral("window_s")] = double(to.takenNs - from.takenNs) / 1e9;
    result[QStringLiteral("cpu_percent")] = cpu;
    result[QStringLiteral("cpu_percent_per_register")] = cpu / count;
    result[QStringLiteral("rss_kb")] = double(to.rssKb);
    result[QStringLiteral("threads")] = to.threads;
    result[QStringLiteral("fds")] = to.fds;
    pobrid.terminate();
    return result;
}
