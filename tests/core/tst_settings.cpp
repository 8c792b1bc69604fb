// settings.xml: the element tree, tolerant reading, the settings and log directory searches.
#include "settings.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestSettings : public QObject
{
    Q_OBJECT

private:
    static Settings parse(const QByteArray &xml)
    {
        QBuffer buffer;
        buffer.setData(xml);
        buffer.open(QIODevice::ReadOnly);
        return Settings::parse(buffer);
    }

private slots:
    void fullFile()
    {
        const Settings s = parse(R"(<?xml version="1.0"?>
<settings>
  <hotplug>auto</hotplug>
  <logs><dir>/tmp/a</dir></logs>
  <device><id>1</id><port>1-1.4</port></device>
  <device type="sarn">
    <id>kassa</id><protocol>2</protocol>
    <app><port>/dev/ttyS1</port><baudrate>9600</baudrate></app>
    <dev><port>/dev/ttyS2</port><baudrate>57600</baudrate></dev>
  </device>
  <device><id>2</id><port>c</port></device>
</settings>)");
        QVERIFY(s.hotplug);
        QCOMPARE(s.logsDir, QStringLiteral("/tmp/a"));
        QCOMPARE(s.pobDevices.size(), 2);
        QCOMPARE(s.pobDevices[0].id, QStringLiteral("1"));
        QCOMPARE(s.pobDevices[0].port, QStringLiteral("1-1.4"));
        QVERIFY(!s.pobDevices[0].hotplugged);
        QCOMPARE(s.pobDevices[1].port, QStringLiteral("c"));
        QCOMPARE(s.sarnDevices.size(), 1);
        const SarnSettings &d = s.sarnDevices[0];
        QCOMPARE(d.id, QStringLiteral("kassa"));
        QCOMPARE(int(d.protocol), 2);
        QCOMPARE(d.appPortName, QStringLiteral("/dev/ttyS1"));
        QCOMPARE(d.appBaudRate, 9600);
        QCOMPARE(d.devPortName, QStringLiteral("/dev/ttyS2"));
        QCOMPARE(d.devBaudRate, 57600);
    }

    void hotplugText_data()
    {
        QTest::addColumn<QByteArray>("xml");
        QTest::addColumn<bool>("hotplug");
        QTest::newRow("auto") << QByteArray("<s><hotplug>auto</hotplug></s>") << true;
        QTest::newRow("spaces") << QByteArray("<s><hotplug> auto </hotplug></s>") << false;
        QTest::newRow("upper case") << QByteArray("<s><hotplug>AUTO</hotplug></s>") << false;
        QTest::newRow("empty") << QByteArray("<s><hotplug/></s>") << false;
        QTest::newRow("last wins") << QByteArray("<s><hotplug>auto</hotplug><hotplug>no</hotplug></s>") << false;
        QTest::newRow("nested anywhere") << QByteArray("<s><x><y><hotplug>auto</hotplug></y></x></s>") << true;
        QTest::newRow("inside device ignored") << QByteArray("<s><device><hotplug>auto</hotplug></device></s>") << false;
    }
    void hotplugText()
    {
        QFETCH(QByteArray, xml);
        QFETCH(bool, hotplug);
        QCOMPARE(parse(xml).hotplug, hotplug);
    }

    void sarnFields_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("protocol");
        QTest::addColumn<int>("appBaud");
        QTest::addColumn<int>("devBaud");
        QTest::newRow("defaults") << QByteArray("") << int(DEFAULT_SARN_PROTOCOL) << 115200 << 115200;
        QTest::newRow("protocol 3") << QByteArray("<protocol>3</protocol>") << 3 << 115200 << 115200;
        QTest::newRow("protocol 4 ignored") << QByteArray("<protocol>4</protocol>") << int(DEFAULT_SARN_PROTOCOL) << 115200 << 115200;
        QTest::newRow("protocol text ignored") << QByteArray("<protocol>two</protocol>") << int(DEFAULT_SARN_PROTOCOL) << 115200 << 115200;
        QTest::newRow("bad baudrate") << QByteArray("<app><baudrate>fast</baudrate></app>") << int(DEFAULT_SARN_PROTOCOL) << 115200 << 115200;
        QTest::newRow("zero baudrate") << QByteArray("<dev><baudrate>0</baudrate></dev>") << int(DEFAULT_SARN_PROTOCOL) << 115200 << 0;
        QTest::newRow("last child wins") << QByteArray("<protocol>2</protocol><protocol>3</protocol>") << 3 << 115200 << 115200;
    }
    void sarnFields()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, protocol);
        QFETCH(int, appBaud);
        QFETCH(int, devBaud);
        const Settings s = parse("<settings><device type=\"sarn\">" + body + "</device></settings>");
        QCOMPARE(s.sarnDevices.size(), 1);
        QCOMPARE(int(s.sarnDevices[0].protocol), protocol);
        QCOMPARE(s.sarnDevices[0].appBaudRate, appBaud);
        QCOMPARE(s.sarnDevices[0].devBaudRate, devBaud);
    }

    void deviceKinds()
    {
        const Settings s = parse(R"(<settings><a><b><device type="SARN"><id>x</id></device></b></a>
            <device type="sarn"><id>y</id></device></settings>)");
        QCOMPARE(s.pobDevices.size(), 1);
        QCOMPARE(s.pobDevices[0].id, QStringLiteral("x"));
        QCOMPARE(s.sarnDevices.size(), 1);
        QCOMPARE(s.sarnDevices[0].id, QStringLiteral("y"));
    }

    void logsElements_data()
    {
        QTest::addColumn<QByteArray>("xml");
        QTest::addColumn<QString>("dir");
        QTest::newRow("second logs wins") << QByteArray("<s><logs><dir>/a</dir></logs><logs><dir>/b</dir></logs></s>") << "/b";
        QTest::newRow("last dir wins") << QByteArray("<s><logs><dir>/a</dir><dir>/c</dir></logs></s>") << "/c";
        QTest::newRow("empty dir") << QByteArray("<s><logs><dir>/a</dir></logs><logs><dir></dir></logs></s>") << "";
        QTest::newRow("no dir") << QByteArray("<s><logs><dir>/a</dir></logs><logs/></s>") << "";
    }
    void logsElements()
    {
        QFETCH(QByteArray, xml);
        QFETCH(QString, dir);
        QCOMPARE(parse(xml).logsDir, dir);
    }

    // The example shipped with the service reads as its comments describe it.
    void shippedExample()
    {
        QFile file(QStringLiteral(POBRID_EXAMPLE_SETTINGS));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const Settings s = Settings::parse(file);
        QVERIFY(!s.hotplug);
        QCOMPARE(s.logsDir, QStringLiteral("/var/log/Pob"));
        QCOMPARE(s.pobDevices.size(), 2);
        QCOMPARE(s.pobDevices[0].port, QStringLiteral("1-1.4"));
        QCOMPARE(s.pobDevices[1].port, QStringLiteral("000C"));
        QCOMPARE(s.sarnDevices.size(), 1);
        QCOMPARE(int(s.sarnDevices[0].protocol), 3);
        QCOMPARE(s.sarnDevices[0].appPortName, QStringLiteral("/dev/tnt0"));
        QCOMPARE(s.sarnDevices[0].devPortName, QStringLiteral("/dev/ttyS0"));
    }

    void truncatedFileKeepsWhatWasRead()
    {
        const Settings s = parse("<settings><device><id>1</id></device><device><id>2</id><port>1-1</port><po");
        QCOMPARE(s.pobDevices.size(), 2);
        QCOMPARE(s.pobDevices[1].id, QStringLiteral("2"));
        QCOMPARE(s.pobDevices[1].port, QStringLiteral("1-1"));
        const Settings broken = parse("<settings><device><id>1</id></device><<<garbage");
        QCOMPARE(broken.pobDevices.size(), 1);
        QVERIFY(parse(QByteArray("\x00\xff\x01 binary", 10)).pobDevices.isEmpty());
    }

    void settingsDirSearch()
    {
        QTemporaryDir app, home, etc;
        const QStringList search {home.path(), etc.path()};
        QCOMPARE(settingsDirFor(app.path(), search), home.path());
        QCOMPARE(settingsDirFor(app.path(), {home.path() + "/missing", etc.path()}), etc.path());
        QCOMPARE(settingsDirFor(app.path(), {home.path() + "/missing"}), QString());
        QFile marker(app.filePath("USE_LOCAL_CONFIGS.txt"));
        QVERIFY(marker.open(QIODevice::WriteOnly));
        marker.close();
        QCOMPARE(settingsDirFor(app.path(), search), app.path());
        QVERIFY(QFile::remove(app.filePath("USE_LOCAL_CONFIGS.txt")));
        QVERIFY(QDir(app.path()).mkdir("USE_LOCAL_CONFIGS"));
        QCOMPARE(settingsDirFor(app.path(), search), app.path());
    }

    void defaultLogSearch()
    {
        QTemporaryDir app, base;
        const QString first = base.filePath("var/log/Pob");
        const QString second = base.filePath("home/.korvel/Pob/logs");
        QCOMPARE(defaultLogPathFor(app.path(), {first, second}), first);
        QVERIFY(QDir(first).exists());
        // A candidate that cannot be created (its parent is a file) is passed over.
        QFile blocker(base.filePath("file"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        QCOMPARE(defaultLogPathFor(app.path(), {base.filePath("file/Pob"), second}), second);
        QCOMPARE(defaultLogPathFor(app.path(), {base.filePath("file/Pob")}), app.path() + "/logs");
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
