// Faults a shop network, a register and an administrator can produce, against the real
// executable: each is reported, nothing crashes or hangs, and the other registers go on.
#include "fakeusbregister.h"
#include "loopbackserver.h"
#include "pobridprocess.h"
#include "registersession.h"
#include "tlvfield.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTest>

namespace {

const QByteArray TWO_REGISTERS = "<device><id>a</id><port>1-1.1</port></device><device><id>b</id><port>1-1.2</port></device>";

// Starts the service with two USB registers (device 1 = "a", device 2 = "b") on the libusb double.
bool startWithTwoRegisters(PobridProcess &pobrid)
{
    return pobrid.installLibusbDouble(QStringLiteral(POBRID_LIBUSB_DOUBLE), "add 1 1.1\nadd 1 1.2\n") && pobrid.writeSettings(TWO_REGISTERS) && pobrid.start()
           && pobrid.waitForOutput(QStringLiteral("[USB-b] SUCCESS"));
}

// Runs one session of a register; returns whether it succeeded, with the session's steps in *steps.
bool session(FakeUsbRegister &reg, const RegisterSession::Config &config, QStringList *steps, LoopbackServer *answerFrom = nullptr,
             const QByteArray &answer = QByteArray())
{
    RegisterSession s(config);
    QObject::connect(&reg, &FakeUsbRegister::linkBytes, &s, &RegisterSession::onLinkBytes);
    QObject::connect(&s, &RegisterSession::sendLink, &reg, &FakeUsbRegister::sendLink);
    QObject::connect(&s, &RegisterSession::step, &s, [steps](const QString &text) { steps->append(text); });
    s.begin();
    if (answerFrom) {
        const int connection = answerFrom->connectionCount();
        if (!answerFrom->waitForConnections(connection + 1, 20000) || !answerFrom->waitForReceived(int(config.payload.size()), connection, 20000))
            return false;
        answerFrom->send(answer, connection);
    }
    if (!QTest::qWaitFor([&] { return s.isDone(); }, 40000))
        return false;
    QObject::disconnect(&reg, nullptr, &s, nullptr);
    return s.succeeded();
}

RegisterSession::Config config(const QString &host, quint16 port, const QByteArray &payload, int expectBack, bool handshake = false)
{
    RegisterSession::Config c;
    c.handshake = handshake;
    c.host = host;
    c.port = port;
    c.payload = payload;
    c.expectBack = expectBack;
    c.timeoutMs = 40000;
    return c;
}

} // namespace

class TestE2eFaults : public QObject
{
    Q_OBJECT
private slots:
    // A refused connection, a host that does not resolve and a server that
    // closes mid-stream each end in the 0x00 state for the register, and
    // the register can connect again right after.
    void serverFaults()
    {
        PobridProcess pobrid(QStringLiteral(POBRID_BINARY));
        QVERIFY(startWithTwoRegisters(pobrid));
        FakeUsbRegister reg(pobrid.fakeUsbSocket(), 1);
        QVERIFY(reg.connectToBus());
        QStringList steps;

        quint16 closedPort = 0;
        {
            LoopbackServer gone;
            closedPort = gone.port();
        }
        QVERIFY(!session(reg, config(QStringLiteral("127.0.0.1"), closedPort, "x", 0, true), &steps));
        QVERIFY2(steps.last().contains(QStringLiteral("connection lost")), qPrintable(steps.join(QLatin1Char(10)) + pobrid.output()));
        QVERIFY(pobrid.output().contains(QStringLiteral("ERROR [TCP0-a] Connect to 127.0.0.1 failed")));

        steps.clear();
        QVERIFY(!session(reg, config(QStringLiteral("ofd.invalid"), 7777, "x", 0), &steps));
        QVERIFY2(steps.last().contains(QStringLiteral("connection lost")), qPrintable(steps.join(QLatin1Char(10)) + pobrid.output()));
        QVERIFY(pobrid.output().contains(QStringLiteral("ERROR [TCP0-a] Lookup failed: ")));

        // The server answers part of what the register waits for and closes:
        // the register gets every answered byte, then the lost state.
        LoopbackServer server;
        steps.clear();
        const QByteArray payload(300, 'q');
        const QByteArray partial(200, 'p');
        RegisterSession s(config(QStringLiteral("127.0.0.1"), server.port(), payload, 500));
        QObject::connect(&reg, &FakeUsbRegister::linkBytes, &s, &RegisterSession::onLinkBytes);
        QObject::connect(&s, &RegisterSession::sendLink, &reg, &FakeUsbRegister::sendLink);
        s.begin();
        QVERIFY(server.waitForConnections(1, 20000));
        QVERIFY(server.waitForReceived(int(payload.size()), 0, 20000));
        QVERIFY(server.send(partial));
        server.closeConnection();
        QTRY_VERIFY_WITH_TIMEOUT(s.isDone(), 20000);
        QVERIFY(!s.succeeded());
        QCOMPARE(s.received(), partial);
        QObject::disconnect(&reg, nullptr, &s, nullptr);

        // And the same register connects again at once.
        steps.clear();
        QVERIFY2(session(reg, config(QStringLiteral("127.0.0.1"), server.port(), "again", 3), &steps, &server, "yes"),
                 qPrintable(steps.join('\n') + pobrid.output()));
        QCOMPARE(pobrid.terminate(), 0);
    }

    // Garbage and truncated records from one register neither crash the
    // service nor disturb the other register.
    void garbageOnOneLink()
    {
        PobridProcess pobrid(QStringLiteral(POBRID_BINARY));
        QVERIFY(startWithTwoRegisters(pobrid));
        FakeUsbRegister noisy(pobrid.fakeUsbSocket(), 1);
        FakeUsbRegister healthy(pobrid.fakeUsbSocket(), 2);
        QVERIFY(noisy.connectToBus() && healthy.connectToBus());
        QRandomGenerator random(20261211);
        for (int i = 0; i < 50; ++i) {
            QByteArray junk(int(random.bounded(1, 300)), Qt::Uninitialized);
            for (char &c : junk)
                c = char(random.bounded(256));
            noisy.sendLink(junk);
        }
        // A record cut short, and a value announced longer than sent.
        noisy.sendLink(QByteArray::fromHex("90"));
        noisy.sendLink(QByteArray::fromHex("70ff3132"));

        LoopbackServer server;
        QStringList steps;
        QVERIFY2(session(healthy, config(QStringLiteral("127.0.0.1"), server.port(), QByteArray(700, 'h'), 400, true), &steps, &server, QByteArray(400, 'k')),
                 qPrintable(steps.join('\n')));
        QVERIFY(pobrid.process().state() == QProcess::Running);
        QCOMPARE(pobrid.terminate(), 0);
    }

    // Settings files that are empty, cut off, binary or huge: the service
    // starts, finds no device and ends cleanly.
    void brokenSettingsFiles_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("truncated") << QByteArray("<?xml version=\"1.0\"?><settings><logs><dir>");
        QByteArray binary(4096, '\0');
        for (int i = 0; i < binary.size(); ++i)
            binary[i] = char((i * 131) & 0xFF);
        QTest::newRow("binary") << binary;
        QByteArray huge = "<settings>";
        for (int i = 0; i < 200000; ++i)
            huge += "<x><y>noise</y></x>";
        QTest::newRow("huge") << huge;
    }
    void brokenSettingsFiles()
    {
        QFETCH(QByteArray, content);
        PobridProcess pobrid(QStringLiteral(POBRID_BINARY));
        QFile file(pobrid.dir() + QStringLiteral("/settings.xml"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
        file.close();
        QString out;
        QCOMPARE(pobrid.run({QStringLiteral("-e")}, &out, 20000), 0);
        QVERIFY2(out.contains(QStringLiteral("INFO  [Pob] No devices in config")), qPrintable(out));
    }
};

QTEST_GUILESS_MAIN(TestE2eFaults)
#include "tst_e2e_faults.moc"
