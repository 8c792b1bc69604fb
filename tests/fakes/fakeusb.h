// Control of the libusb double: a simulated USB bus driven by text commands, from the test process or from outside.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Runs one command line (the language is in README.md) and writes the reply,
// NUL-terminated and cut to replySize, into reply. Returns the full length of
// the reply, or -1 for a command that failed (the reply then says why).
int fakeusb_command(const char *line, char *reply, int replySize);

// Runs the commands of <dir>/setup, if there is such a file, then serves the
// same commands on the UNIX socket <dir>/fakeusb.sock: one line per command,
// answered by one line "ok <reply>" or "error <reason>". Returns 0 once
// listening. Called by the library itself when FAKEUSB_DIR is set.
int fakeusb_serve(const char *dir);

#ifdef __cplusplus
}
#endif

#if defined(__cplusplus) && !defined(FAKEUSB_LIBRARY)
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>
#include <libusb.h>

// Typed commands for tests that load the double in their own process.
namespace FakeUsb {

inline QString run(const QString &line, bool *ok = nullptr)
{
    const QByteArray command = line.toUtf8();
    QByteArray reply(4096, '\0');
    int length = fakeusb_command(command.constData(), reply.data(), int(reply.size()));
    if (length >= reply.size()) {
        reply.resize(length + 1);
        length = fakeusb_command(command.constData(), reply.data(), int(reply.size()));
    }
    if (ok)
        *ok = length >= 0;
    return QString::fromUtf8(reply.constData());
}

// A register (by default) on a bus position such as "1.4"; returns its id.
inline int add(int bus, const QString &ports, int vendorId = 0xC7E4, int productId = 0x000C)
{
    return run(QStringLiteral("add %1 %2 %3 %4").arg(bus).arg(ports).arg(vendorId, 0, 16).arg(productId, 0, 16)).toInt();
}
inline void reset() { run(QStringLiteral("reset")); }
// Pulls the device out: reads on open handles then end with readStatus.
inline void unplug(int id, int readStatus = LIBUSB_ERROR_NO_DEVICE)
{
    run(QStringLiteral("unplug %1 %2").arg(id).arg(readStatus));
}
inline void plug(int id) { run(QStringLiteral("plug %1").arg(id)); }
// Bytes the device sends on an IN endpoint, delivered by the next reads.
inline void feed(int id, int endpoint, const QByteArray &bytes)
{
    run(QStringLiteral("feed %1 %2 %3").arg(id).arg(endpoint, 0, 16).arg(QString::fromLatin1(bytes.toHex())));
}
// The next read on the endpoint completes with this status and no bytes.
inline void readStatus(int id, int endpoint, int status)
{
    run(QStringLiteral("status %1 %2 %3").arg(id).arg(endpoint, 0, 16).arg(status));
}
// Everything written to an OUT endpoint since the last take.
inline QByteArray take(int id, int endpoint)
{
    return QByteArray::fromHex(run(QStringLiteral("take %1 %2").arg(id).arg(endpoint, 0, 16)).toLatin1());
}
// key: open, detach, ports (results of those calls), claimN (result of
// claiming interface N), kernelN (what the kernel-driver query of interface N answers).
inline void set(int id, const QString &key, int value) { run(QStringLiteral("set %1 %2 %3").arg(id).arg(key).arg(value)); }
// Calls that change device state, in order: "open 1", "claim 1 3", "control 1 02 01 0000 008b 0 1000", ...
inline QStringList log() { return run(QStringLiteral("log")).split(QLatin1Char(';'), Qt::SkipEmptyParts); }
inline void clearLog() { run(QStringLiteral("clearlog")); }
// contexts, handles, lists (device lists not yet freed), callbacks, waiters (threads in handle_events).
inline int count(const QString &what) { return run(QStringLiteral("count ") + what).toInt(); }
// Longest wait of one libusb_handle_events call.
inline void setEventWait(int ms) { run(QStringLiteral("eventwait %1").arg(ms)); }

}

#endif
