// A protocol-3 register behind pobrid's serial proxy: its OFD session relayed to a loopback
// server byte-exact both ways, while the cash-register software's traffic passes unchanged.
#include "korvel3codec.h"
#include "korvel3register.h"
#include "loopbackserver.h"
#include "pobridprocess.h"
#include "ptypair.h"
#include "registersession.h"

#include <QSignalSpy>
#include <QTest>

class TestE2eSerial3 : public QObject
{
    Q_OBJECT
private slots:
    void relayAndSoftwareTraffic()
    {
        LoopbackServer server;
        QVERIFY(server.isListening());
        PtyPair dev, app;
        QVERIFY(dev.isValid() && app.isValid());

        PobridProcess pobrid(QStringLiteral(POBRID_BINARY));
        QVERIFY(pobrid.isValid());
        QVERIFY(pobrid.writeSettings(QStringLiteral(R"(<device type="sarn"><id>k3</id><protocol>3</protocol>
            <app><port>%1</port><baudrate>9600</baudrate></app><dev><port>%2</port></dev></device>)")
                                         .arg(app.slaveName(), dev.slaveName()).toUtf8()));

        Korvel3Register line(dev.masterFd());
        QList<QPair<quint8, QByteArray>> packets;
        connect(&line, &Korvel3Register::packetReceived, this, [&](quint8 id, const QByteArray &payload) { packets.append({id, payload}); });

        QByteArray payload;
        for (int i = 0; i < 700; ++i)
            payload.append(char(i * 7));
        QByteArray answer;
        for (int i = 0; i < 600; ++i)
            answer.append(char(255 - i % 256));
        RegisterSession::Config config;
        config.port = server.port();
        config.payload = payload;
        config.expectBack = int(answer.size());
        config.sendLog = true;
        RegisterSession session(config);
        connect(&line, &Korvel3Register::linkBytes, &session, &RegisterSession::onLinkBytes);
        connect(&session, &RegisterSession::sendLink, &line, &Korvel3Register::sendLink);
        session.begin();

        QVERIFY(pobrid.start());
        // The register's port settles for two times three seconds before the greeting.
        QVERIFY2(server.waitForConnections(1, 40000), qPrintable(pobrid.output()));
        QVERIFY(server.waitForReceived(int(payload.size()), 0, 20000));
        QCOMPARE(server.received(0).toHex(), payload.toHex());
        QVERIFY(server.send(answer));
        QTRY_VERIFY_WITH_TIMEOUT(session.isDone(), 30000);
        QVERIFY2(session.succeeded(), qPrintable(pobrid.output()));
        QCOMPARE(session.received().toHex(), answer.toHex());

        // The greeting: seven Acks of task ids E0..E6 and an Abort before the first wait task.
        QVERIFY(packets.size() >= 9);
        for (int i = 0; i < 7; ++i)
            QCOMPARE(packets[i].second.toHex(), QByteArray::fromHex("C2").append(char(0xE0 + i)).toHex());
        QCOMPARE(packets[7].second.toHex(), QByteArray("c4"));
        QCOMPARE(packets[8].second.toHex(), QByteArray("c105e5"));

        // The software's request reaches the register unchanged; the reply comes back unchanged.
        const QByteArray request = Korvel3Codec::packWithId(0x12, QByteArray::fromHex("30FEFD01"));
        packets.clear();
        QVERIFY(app.write(request));
        QTRY_VERIFY_WITH_TIMEOUT(!packets.isEmpty() && packets.last().first == 0x12, 10000);
        QCOMPARE(packets.last().second.toHex(), QByteArray("30fefd01"));
        const QByteArray reply = Korvel3Codec::packWithId(0x12, QByteArray(1, '\0'));
        QCOMPARE(app.readExactly(int(reply.size()), 10000).toHex(), reply.toHex());

        QCOMPARE(pobrid.terminate(), 0);
        const QString log = pobrid.readLogFile();
        QVERIFY(log.contains(QStringLiteral("INFO  [Pob] Start service Pob (v4782)")));
        QVERIFY(log.contains(QStringLiteral("INFO  [Pob] Register Sarn worker [k3]")));
        QVERIFY(log.contains(QStringLiteral("INFO  [ComProxy3-k3] Open %1...").arg(dev.slaveName())));
        QVERIFY(log.contains(QStringLiteral("INFO  [Ofd-k3] Connect to 127.0.0.1:%1").arg(server.port())));
        QVERIFY(log.contains(QStringLiteral("INFO  [ComProxy3-k3] --> id = 12")));
        QVERIFY(!log.contains(QStringLiteral("[Debug-k3]")));
        QVERIFY(pobrid.readLogFile(QStringLiteral("Debug.log")).contains(QStringLiteral("INFO  [Debug-k3] Начало передачи сообщения в ФН: [")));
    }
};

QTEST_GUILESS_MAIN(TestE2eSerial3)
#include "tst_e2e_serial3.moc"
