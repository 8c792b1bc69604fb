// pobrid-regsim: plays a register on a serial line (protocol 2 or 3) and runs one OFD session through pobrid.
#include "echoserver.h"
#include "fakeusbregister.h"
#include "korvel2register.h"
#include "korvel3register.h"
#include "registersession.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QTextStream>
#include <QTimer>
#include <atomic>
#include <csignal>
#include <memory>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Set by SIGINT/SIGTERM; the event loop looks at it (only a flag is safe in a handler).
std::atomic<bool> stopRequested {false};

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

void say(const QString &text)
{
    out() << text << Qt::endl;
}

// A pseudo-terminal whose master end the simulator keeps; returns the slave's name.
int openPty(QString *slaveName, int *slaveFd)
{
    int master = -1;
    char name[256] = {};
    if (openpty(&master, slaveFd, name, nullptr, nullptr) != 0)
        return -1;
    termios tio {};
    tcgetattr(*slaveFd, &tio);
    cfmakeraw(&tio);
    tcsetattr(*slaveFd, TCSANOW, &tio);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    *slaveName = QString::fromLocal8Bit(name);
    return master;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("pobrid-regsim"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Plays a fiscal register (serial protocol 2 or 3, or USB on the libusb test double) and runs one OFD session through pobrid:\n"
        "version handshake, PORT and CONNECT, data to the server, grants, the answer, close."));
    parser.addHelpOption();
    const QCommandLineOption device({QStringLiteral("d"), QStringLiteral("device")}, QStringLiteral("The register's end of the line (a serial device or a pseudo-terminal master)."), QStringLiteral("path"));
    const QCommandLineOption pty(QStringLiteral("pty"), QStringLiteral("Create pseudo-terminals for the register's and the software's side and print the names pobrid must open."));
    const QCommandLineOption ptyInfo(QStringLiteral("pty-info"), QStringLiteral("With --pty: also write \"dev=NAME\" and \"app=NAME\" lines to this file."), QStringLiteral("file"));
    const QCommandLineOption host(QStringLiteral("host"), QStringLiteral("OFD server host the register connects to."), QStringLiteral("host"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("OFD server port."), QStringLiteral("port"));
    const QCommandLineOption channel(QStringLiteral("channel"), QStringLiteral("Link channel, 0 or 1."), QStringLiteral("n"), QStringLiteral("0"));
    const QCommandLineOption bytes(QStringLiteral("bytes"), QStringLiteral("Bytes to send to the server."), QStringLiteral("n"), QStringLiteral("1000"));
    const QCommandLineOption expect(QStringLiteral("expect"), QStringLiteral("Bytes expected back (default: as many as sent, an echo server)."), QStringLiteral("n"), QStringLiteral("-1"));
    const QCommandLineOption grant(QStringLiteral("grant"), QStringLiteral("Packet size granted per answer record, 1-255."), QStringLiteral("n"), QStringLiteral("255"));
    const QCommandLineOption log(QStringLiteral("log"), QStringLiteral("Also send a LOG record of the register's trace."));
    const QCommandLineOption timeout(QStringLiteral("timeout"), QStringLiteral("Seconds the whole session may take."), QStringLiteral("s"), QStringLiteral("60"));
    const QCommandLineOption protocol(QStringLiteral("protocol"), QStringLiteral("The register's serial protocol, 2 or 3."), QStringLiteral("n"), QStringLiteral("3"));
    const QCommandLineOption usbBus(QStringLiteral("usb-bus"), QStringLiteral("Play a register on the simulated USB bus of the libusb test double whose FAKEUSB_DIR is this directory."), QStringLiteral("dir"));
    const QCommandLineOption usbDevice(QStringLiteral("usb-device"), QStringLiteral("With --usb-bus: the device id on that bus."), QStringLiteral("id"), QStringLiteral("1"));
    const QCommandLineOption usbInterface2(QStringLiteral("usb-interface2"), QStringLiteral("With --usb-bus: the register answers on interface 2's endpoints."));
    const QCommandLineOption hold(QStringLiteral("hold"), QStringLiteral("After the session, keep the lines open until stopped (SIGTERM), so pobrid can be stopped first."));
    const QCommandLineOption echo(QStringLiteral("echo-server"), QStringLiteral("Only run an echo server on 127.0.0.1 (port from --port, 0 = any) until stopped."));
    parser.addOptions({hold, protocol, usbBus, usbDevice, usbInterface2, device, pty, ptyInfo, host, port, channel, bytes, expect, grant, log, timeout, echo});
    parser.process(app);

    std::signal(SIGINT, [](int) { stopRequested = true; });
    std::signal(SIGTERM, [](int) { stopRequested = true; });
    QTimer stopWatch;
    QObject::connect(&stopWatch, &QTimer::timeout, &app, [] {
        if (stopRequested.exchange(false))
            QCoreApplication::exit(2);
    });
    stopWatch.start(50);

    if (parser.isSet(echo)) {
        EchoServer server;
        if (!server.start(quint16(parser.value(port).toUInt()))) {
            say(QStringLiteral("cannot listen: %1").arg(server.errorString()));
            return 1;
        }
        say(QStringLiteral("echo server listening on 127.0.0.1:%1").arg(server.serverPort()));
        return app.exec();
    }

    bool ok = false;
    RegisterSession::Config config;
    config.host = parser.value(host);
    config.port = quint16(parser.value(port).toUInt(&ok));
    if (!ok || config.port == 0) {
        say(QStringLiteral("--port is required"));
        return 1;
    }
    config.channel = parser.value(channel).toInt() == 1 ? 1 : 0;
    const int count = qMax(0, parser.value(bytes).toInt());
    for (int i = 0; i < count; ++i)
        config.payload.append(char('A' + i % 26));
    config.expectBack = parser.value(expect).toInt();
    config.grant = qBound(1, parser.value(grant).toInt(), 255);
    config.sendLog = parser.isSet(log);
    config.timeoutMs = qMax(1, parser.value(timeout).toInt()) * 1000;

    int registerFd = -1;
    int heldFds[3] = {-1, -1, -1};
    std::unique_ptr<FakeUsbRegister> usb;
    if (parser.isSet(usbBus)) {
        usb = std::make_unique<FakeUsbRegister>(parser.value(usbBus) + QStringLiteral("/fakeusb.sock"), parser.value(usbDevice).toInt(), parser.isSet(usbInterface2));
        if (!usb->connectToBus()) {
            say(QStringLiteral("cannot reach the simulated USB bus in %1").arg(parser.value(usbBus)));
            return 1;
        }
        say(QStringLiteral("register on the simulated USB bus, device %1").arg(parser.value(usbDevice)));
    } else if (parser.isSet(pty)) {
        QString devName, appName;
        registerFd = openPty(&devName, &heldFds[0]);
        // The software's side stays idle; holding both ends keeps it open for pobrid.
        heldFds[2] = openPty(&appName, &heldFds[1]);
        if (registerFd < 0 || heldFds[2] < 0) {
            say(QStringLiteral("cannot create pseudo-terminals"));
            return 1;
        }
        say(QStringLiteral("register line: %1").arg(devName));
        say(QStringLiteral("software line: %1").arg(appName));
        if (parser.isSet(ptyInfo)) {
            QFile info(parser.value(ptyInfo));
            if (info.open(QIODevice::WriteOnly))
                info.write(QStringLiteral("dev=%1\napp=%2\n").arg(devName, appName).toUtf8());
        }
    } else if (parser.isSet(device)) {
        registerFd = ::open(parser.value(device).toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (registerFd < 0) {
            say(QStringLiteral("cannot open %1").arg(parser.value(device)));
            return 1;
        }
    } else {
        say(QStringLiteral("give --device or --pty"));
        return 1;
    }

    RegisterSession session(config);
    std::unique_ptr<Korvel3Register> line3;
    std::unique_ptr<Korvel2Register> line2;
    if (usb) {
        QObject::connect(usb.get(), &FakeUsbRegister::linkBytes, &session, &RegisterSession::onLinkBytes);
        QObject::connect(&session, &RegisterSession::sendLink, usb.get(), &FakeUsbRegister::sendLink);
    } else if (parser.value(protocol) == QLatin1String("2")) {
        line2 = std::make_unique<Korvel2Register>(registerFd);
        QObject::connect(line2.get(), &Korvel2Register::linkBytes, &session, &RegisterSession::onLinkBytes);
        QObject::connect(&session, &RegisterSession::sendLink, line2.get(), &Korvel2Register::sendLink, Qt::DirectConnection);
        line2->start();
    } else {
        line3 = std::make_unique<Korvel3Register>(registerFd);
        QObject::connect(line3.get(), &Korvel3Register::linkBytes, &session, &RegisterSession::onLinkBytes);
        QObject::connect(&session, &RegisterSession::sendLink, line3.get(), &Korvel3Register::sendLink);
    }
    QObject::connect(&session, &RegisterSession::step, [](const QString &text) { say(text); });
    QObject::connect(&session, &RegisterSession::finished, &app, [](bool done) { QCoreApplication::exit(done ? 0 : 1); });
    session.begin();
    const int result = app.exec();
    say(session.summary());
    if (parser.isSet(hold) && result != 2)
        app.exec();
    line2.reset();
    line3.reset();
    for (int fd : heldFds) {
        if (fd >= 0)
            ::close(fd);
    }
    if (registerFd >= 0)
        ::close(registerFd);
    return result;
}
