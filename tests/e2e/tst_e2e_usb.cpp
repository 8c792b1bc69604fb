// USB registers through the real executable beside the libusb double: listed by port path and
// by product id, picked up by hotplug, unplugged and plugged back in.
#include "fakeusbregister.h"
#include "loopbackserver.h"
#include "pobridprocess.h"
#include "registersession.h"

#include <QTest>

namespace {

QByteArray pattern(int size, int seed)
{
    QByteArray bytes;
    for (int i = 0; i < size; ++i)
        bytes.append(char((i * 13 + seed) & 0xFF));
    return bytes;
}

} // namespace

class TestE2eUsb : public QObject
{
    Q_OBJECT

private:
    // A service copy beside the libusb double, with the bus's first devices written to its setup file.
    static bool prepare(PobridProcess &pobrid, const QByteArray &setup, const QByteArray &devices)
    {
        return pobrid.installLibusbDouble(QStringLiteral(POBRID_LIBUSB_DOUBLE), setup) && pobrid.writeSettings(devices);
    }

    // One OFD session of the register behind device id, checked byte-exact at the server.
    static void relay(FakeUsbRegister &reg, LoopbackServer &server, int connection, int channel, int seed)
    {
        const QByteArray payload = pattern(520, seed);
        const QByteArray answer = pattern(300, seed + 1);
        RegisterSession::Config config;
        config.port = server.port();
        config.channel = channel;
        config.payload = payload;
        config.expectBack = int(answer.size());
        config.grant = 100;
        RegisterSession session(config);
        QObject::connect(&reg, &FakeUsbRegister::linkBytes, &session, &RegisterSession::onLinkBytes);
        QObject::connect(&session, &RegisterSession::sendLink, &reg, &FakeUsbRegister::sendLink);
        session.begin();
        QVERIFY(server.waitForConnections(connection + 1, 20000));
        QVERIFY(server.waitForReceived(int(payload.size()), connection, 20000));
        QCOMPARE(server.received(connection).toHex(), payload.toHex());
        QVERIFY(server.send(answer, connection));
        QTRY_VERIFY_WITH_TIMEOUT(session.isDone(), 20000);
        QVERIFY(session.succeeded());
        QCOMPARE(session.received().toHex(), answer.toHex());
        QObject::disconnect(&reg, nullptr, &session, nullptr);
    }

private slots:
    void listedRegistersBothAddressForms()
    {
        LoopbackServer server;
        PobridProcess pobrid(QStringLiteral(POBRID_BINARY));
        // Device 1 answers only on interface 2: its interface 3 cannot be claimed.
        QVERIFY(prepare(pobrid, "add 1 1.4\nset 1 claim3 -6\nadd 2 3 c7e4 d\n",
                        "<device><id>path</id><port>1-1.4</port></device><device><id>pid</id><port>000D</port></device>"));
        QVERIFY(pobrid.start());
        QVERIFY2(pobrid.waitForOutput(QStringLiteral("INFO  [USB-path] SUCCESS")), qPrintable(pobrid.output()));
        QVERIFY2(pobrid.waitForOutput(QStringLiteral("INFO  [USB-pid] SUCCESS")), qPrintable(pobrid.output()));
        QVERIFY(pobrid.output().contains(QStringLiteral("INFO  [USB-path] Open USB: 1-1.4")));
        QVERIFY(pobrid.output().contains(QStringLiteral("INFO  [USB-pid] Open USB: c7e4:000d")));

        FakeUsbRegister byPath(pobrid.fakeUsbSocket(), 1, true);
        QVERIFY(byPath.connectToBus());
        relay(byPath, server, 0, 0, 1);
        FakeUsbRegister byId(pobrid.fakeUsbSocket(), 2);
        QVERIFY(byId.connectToBus());
        relay(byId, server, 1, 1, 2);
        QCOMPARE(pobrid.terminate(), 0);
    }

    // Pulled out and put back several times in a row: each time the loss is
    // reported, the link comes back by itself and relays again.
    void unplugAndReturn()
    {
        LoopbackServer server;
        PobridProcess pobrid(QStringLiteral(POBRID_BINARY));
        QVERIFY(prepare(pobrid, "add 1 1.4\n", "<device><id>u</id><port>1-1.4</port></device>"));
        QVERIFY(pobrid.start());
        FakeUsbRegister reg(pobrid.fakeUsbSocket(), 1);
        QVERIFY(reg.connectToBus());
        relay(reg, server, 0, 0, 3);

        for (int round = 1; round <= 3; ++round) {
            const int lostBefore = pobrid.output().count(QStringLiteral("ERROR [USB-u] error: -4"));
            const int backBefore = pobrid.output().count(QStringLiteral("INFO  [Ofd-u] continue"));
            reg.command(QStringLiteral("unplug 1"));
            QTRY_VERIFY_WITH_TIMEOUT(pobrid.output().count(QStringLiteral("ERROR [USB-u] error: -4")) == lostBefore + 1, 10000);
            // After its 10 s pause the link looks for the register every 2 s until it is back.
            QTRY_VERIFY_WITH_TIMEOUT(pobrid.output().contains(QStringLiteral("ERROR [USB-u] Not found device 1-1.4")), 20000);
            reg.command(QStringLiteral("plug 1"));
            QTRY_VERIFY_WITH_TIMEOUT(pobrid.output().count(QStringLiteral("INFO  [Ofd-u] continue")) == backBefore + 1, 20000);
            relay(reg, server, round, 0, 3 + round);
        }
        QCOMPARE(pobrid.terminate(), 0);
    }

    void hotplug()
    {
        LoopbackServer server;
        PobridProcess pobrid(QStringLiteral(POBRID_BINARY));
        QVERIFY(prepare(pobrid, "add 1 1.4\n", "<hotplug>auto</hotplug><device><id>ignored</id><port>1-9</port></device>"));
        QVERIFY(pobrid.start());
        QVERIFY2(pobrid.waitForOutput(QStringLiteral("INFO  [Pob] Register Pob worker [1-1.4]")), qPrintable(pobrid.output()));
        FakeUsbRegister present(pobrid.fakeUsbSocket(), 1);
        QVERIFY(present.connectToBus());
        // Arrivals count from the moment the agent's registration has returned.
        QTRY_COMPARE_WITH_TIMEOUT(present.command(QStringLiteral("count callbacks")), QStringLiteral("1"), 10000);
        bool ok = false;
        const int later = present.command(QStringLiteral("add 2 1.2"), &ok).toInt();
        QVERIFY(ok);
        present.command(QStringLiteral("add 2 1.3 1234 1"));
        QVERIFY2(pobrid.waitForOutput(QStringLiteral("INFO  [Pob] Register Pob worker [2-1.2]")), qPrintable(pobrid.output()));
        QVERIFY(pobrid.waitForOutput(QStringLiteral("INFO  [USB-2-1.2] SUCCESS")));
        FakeUsbRegister arrived(pobrid.fakeUsbSocket(), later);
        QVERIFY(arrived.connectToBus());
        relay(arrived, server, 0, 0, 5);
        relay(present, server, 1, 1, 6);

        QVERIFY(!pobrid.output().contains(QStringLiteral("[ignored]")));
        QVERIFY(!pobrid.output().contains(QStringLiteral("2-1.3")));
        QCOMPARE(pobrid.terminate(10000), 0);
    }
};

QTEST_GUILESS_MAIN(TestE2eUsb)
#include "tst_e2e_usb.moc"
