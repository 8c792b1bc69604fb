// A protocol-2 register behind pobrid's serial proxy: each side's messages travel in their own
// handshakes, the register's OFD session reaches a loopback server and its answers come back
// behind the software's last command prefix.
#include "korvel2frame.h"
#include "korvel2register.h"
#include "loopbackserver.h"
#include "pobridprocess.h"
#include "ptypair.h"
#include "registersession.h"

#include <QSignalSpy>
#include <QTest>

namespace {

// The cash-register software's end: sends one message in its handshake and
// collects the register's answer, answering ENQ/frames as the link layer does.
QByteArray softwareRoundTrip(PtyPair &app, const QByteArray &message)
{
    using namespace Korvel2Frame;
    // Like a real program, it repeats its ENQ while the proxy is busy with the other line.
    bool acknowledged = false;
    for (int attempt = 0; attempt < 10 && !acknowledged; ++attempt) {
        app.write(QByteArray(1, char(ENQ)));
        acknowledged = app.readExactly(1, 1000) == QByteArray(1, char(ACK));
    }
    if (!acknowledged)
        return "no ACK to ENQ";
    app.write(build(message));
    if (app.readExactly(1, 5000) != QByteArray(1, char(ACK)))
        return "no ACK to the frame";
    app.write(QByteArray(1, char(EOT)));
    // The register's answer comes back to the software in a handshake of pobrid's.
    if (app.readExactly(1, 10000) != QByteArray(1, char(ENQ)))
        return "no ENQ for the answer";
    app.write(QByteArray(1, char(ACK)));
    const QByteArray frame = build(Korvel2Register::reply(message));
    const QByteArray got = app.readExactly(int(frame.size()), 5000);
    app.write(QByteArray(1, char(ACK)));
    app.readExactly(1, 2000); // EOT
    return got == frame ? QByteArray("ok") : "answer frame " + got.toHex();
}

} // namespace

class TestE2eSerial2 : public QObject
{
    Q_OBJECT
private slots:
    void relayAndSoftwareTraffic()
    {
        LoopbackServer server;
        PtyPair dev, app;
        QVERIFY(dev.isValid() && app.isValid());
        PobridProcess pobrid(QStringLiteral(POBRID_BINARY));
        QVERIFY(pobrid.isValid());
        QVERIFY(pobrid.writeSettings(QStringLiteral(R"(<device type="sarn"><id>k2</id><protocol>2</protocol>
            <app><port>%1</port></app><dev><port>%2</port></dev></device>)")
                                         .arg(app.slaveName(), dev.slaveName()).toUtf8()));

        Korvel2Register line(dev.masterFd());
        QList<QByteArray> softwareMessages;
        connect(&line, &Korvel2Register::softwareMessage, this, [&](const QByteArray &m) { softwareMessages.append(m); });
        QVERIFY(pobrid.start());
        QVERIFY2(pobrid.waitForOutput(QStringLiteral("[ComProxy2-k2] Open %1...").arg(app.slaveName()), 20000), qPrintable(pobrid.output()));
        QTRY_VERIFY_WITH_TIMEOUT(pobrid.output().count(QStringLiteral("[ComProxy2-k2] OK")) == 2, 10000);
        line.start();

        // The software speaks first, so its command prefix (two bytes) is what
        // pobrid puts in front of the OFD answers.
        QCOMPARE(softwareRoundTrip(app, QByteArray::fromHex("A1B2C3")), QByteArray("ok"));
        QCOMPARE(softwareMessages.value(0).toHex(), QByteArray("a1b2c3"));

        const QByteArray payload(600, 'r');
        const QByteArray answer(400, 's');
        RegisterSession::Config config;
        config.port = server.port();
        config.payload = payload;
        config.expectBack = int(answer.size());
        RegisterSession session(config);
        connect(&line, &Korvel2Register::linkBytes, &session, &RegisterSession::onLinkBytes);
        connect(&session, &RegisterSession::sendLink, &line, &Korvel2Register::sendLink, Qt::DirectConnection);
        session.begin();
        QVERIFY2(server.waitForConnections(1, 30000), qPrintable(pobrid.output()));
        QVERIFY(server.waitForReceived(int(payload.size()), 0, 20000));
        QCOMPARE(server.received(0), payload);
        QVERIFY(server.send(answer));
        QTRY_VERIFY_WITH_TIMEOUT(session.isDone(), 30000);
        QVERIFY2(session.succeeded(), qPrintable(pobrid.output()));
        QCOMPARE(session.received(), answer);

        line.requestStop();
        line.wait();
        QCOMPARE(pobrid.terminate(), 0);
        const QString log = pobrid.readLogFile();
        QVERIFY(log.contains(QStringLiteral("INFO  [ComProxy2-k2] app -> dev | A1 B2 C3 (3 bytes)")));
        QVERIFY(log.contains(QStringLiteral("INFO  [ComProxy2-k2] ofd -> dev | A1 B2 DA ")));
        QVERIFY(log.contains(QStringLiteral("INFO  [ComProxy2-k2] dev -> ofd | DA ")));
    }
};

QTEST_GUILESS_MAIN(TestE2eSerial2)
#include "tst_e2e_serial2.moc"
