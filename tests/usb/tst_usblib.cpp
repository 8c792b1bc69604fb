// The libusb binding as found beside the executable: complete, missing, without hotplug, without error texts.
//
// Built four times, each copy in a directory of its own next to one variant
// of the libusb double (or none): USBLIB_VARIANT says which.
#include "hotplugagent.h"
#include "hotpluglistener.h"
#include "logcapture.h"
#include "usblib.h"
#include "usbworker.h"

#include <QCoreApplication>
#include <QDir>
#include <QMutex>
#include <QRegularExpression>
#include <QTest>
#include <QThread>

#define VARIANT_COMPLETE 0
#define VARIANT_MISSING 1
#define VARIANT_NO_HOTPLUG 2
#define VARIANT_NO_STRERROR 3

namespace {

// What the binding prints on Qt's debug channel.
QMutex debugLock;
QStringList debugMessages;
QtMessageHandler previousHandler = nullptr;

void captureDebug(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtDebugMsg) {
        QMutexLocker locker(&debugLock);
        debugMessages << message;
    }
    previousHandler(type, context, message);
}

QStringList takeDebugMessages()
{
    QMutexLocker locker(&debugLock);
    QStringList messages;
    messages.swap(debugMessages);
    return messages;
}

QString libraryPath()
{
    return QCoreApplication::applicationDirPath() + QDir::separator() + "libusb-1.0.so.0";
}

#if USBLIB_VARIANT == VARIANT_COMPLETE || USBLIB_VARIANT == VARIANT_NO_HOTPLUG
// The double's own control entry point, found through the binding's library handle.
QString fake(const QString &command)
{
    using Command = int (*)(const char *, char *, int);
    const auto run = reinterpret_cast<Command>(UsbLib::instance()->resolve("fakeusb_command"));
    if (!run)
        return QStringLiteral("no control");
    char reply[1024] = {};
    run(command.toUtf8().constData(), reply, sizeof reply);
    return QString::fromUtf8(reply);
}
#endif

class SilentListener : public HotplugListener
{
public:
    void onDeviceConnected(const QMap<QString, QString> &) override { ++reports; }
    void onDeviceDisconnected(const QMap<QString, QString> &) override { ++reports; }
    int reports = 0;
};

}

class TestUsbLib : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        previousHandler = qInstallMessageHandler(captureDebug);
    }

    void cleanupTestCase()
    {
        qInstallMessageHandler(previousHandler);
    }

    // The first use loads the library; what it reports depends on the file found.
    void load()
    {
        UsbLib *lib = UsbLib::instance();
        const QStringList messages = takeDebugMessages();
        QCOMPARE(lib->fileName(), libraryPath());
#if USBLIB_VARIANT == VARIANT_MISSING
        QCOMPARE(messages.size(), 1);
        const QString prefix = QStringLiteral("\"<%1> load error [").arg(libraryPath());
        QVERIFY2(messages.first().startsWith(prefix) && messages.first().endsWith("]\""), qPrintable(messages.first()));
        QVERIFY(!lib->isLoaded());
        QVERIFY(!lib->isComplete());
        // Not loaded: every further use tries again.
        UsbLib::instance();
        QCOMPARE(takeDebugMessages().size(), 1);
#elif USBLIB_VARIANT == VARIANT_NO_HOTPLUG
        QCOMPARE(messages, QStringList("\"error resolve libusb_hotplug_register_callback\""));
        QVERIFY(lib->isLoaded());
        QVERIFY(!lib->isComplete());
        // Loaded but incomplete: not tried again.
        UsbLib::instance();
        QCOMPARE(takeDebugMessages(), QStringList());
#else
        QCOMPARE(messages, QStringList());
        QVERIFY(lib->isLoaded());
        QVERIFY(lib->isComplete());
#endif
    }

#if USBLIB_VARIANT == VARIANT_COMPLETE || USBLIB_VARIANT == VARIANT_NO_STRERROR
    void errorText_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("text");
#if USBLIB_VARIANT == VARIANT_COMPLETE
        QTest::newRow("no device") << int(LIBUSB_ERROR_NO_DEVICE) << "No such device (it may have been disconnected)";
        QTest::newRow("busy") << int(LIBUSB_ERROR_BUSY) << "Resource busy";
#else
        // The C library's texts stand in; it knows no negative numbers.
        QTest::newRow("no device") << int(LIBUSB_ERROR_NO_DEVICE) << "Unknown error -4";
        QTest::newRow("busy") << int(LIBUSB_ERROR_BUSY) << "Unknown error -6";
#endif
    }
    void errorText()
    {
        QFETCH(int, code);
        QFETCH(QString, text);
        QCOMPARE(QString::fromLocal8Bit(UsbLib::instance()->strError(code)), text);
    }
#endif

#if USBLIB_VARIANT == VARIANT_COMPLETE
    void devicePath_data()
    {
        QTest::addColumn<QString>("ports");
        QTest::addColumn<int>("portsResult");
        QTest::addColumn<int>("result");
        QTest::addColumn<QByteArray>("path");
        QTest::newRow("root-hub port") << "4" << 0 << 1 << QByteArray("\x04", 1);
        QTest::newRow("behind one hub") << "1.4" << 0 << 2 << QByteArray("\x01\x04", 2);
        QTest::newRow("seven hubs deep") << "1.2.3.4.5.6.7" << 0 << 7 << QByteArray("\x01\x02\x03\x04\x05\x06\x07", 7);
        QTest::newRow("unreadable") << "1.4" << int(LIBUSB_ERROR_IO) << int(LIBUSB_ERROR_IO) << QByteArray(8, '\0');
    }
    void devicePath()
    {
        QFETCH(QString, ports);
        QFETCH(int, portsResult);
        QFETCH(int, result);
        QFETCH(QByteArray, path);
        UsbLib *lib = UsbLib::instance();
        fake("reset");
        const QString id = fake("add 1 " + ports);
        fake(QStringLiteral("set %1 ports %2").arg(id).arg(portsResult));
        libusb_context *context = nullptr;
        lib->init(&context);
        libusb_device **list = nullptr;
        QCOMPARE(lib->deviceList(context, &list), ssize_t(1));
        QVector<unsigned char> numbers {9, 9, 9};
        QCOMPARE(lib->devicePath(list[0], numbers), result);
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(numbers.constData()), numbers.size()), path);
        lib->freeDeviceList(list, 1);
        lib->exit(&context);
        QCOMPARE(context, nullptr);
        QCOMPARE(fake("count contexts"), QStringLiteral("0"));
    }
#endif

#if USBLIB_VARIANT == VARIANT_NO_HOTPLUG
    // Resolution stopped at the first missing symbol; what came before it works.
    void entryPointsBeforeTheMissingOneAreSet()
    {
        UsbLib *lib = UsbLib::instance();
        fake("reset");
        fake("add 2 3.1");
        libusb_context *context = nullptr;
        QCOMPARE(lib->init(&context), 0);
        libusb_device **list = nullptr;
        QCOMPARE(lib->deviceList(context, &list), ssize_t(1));
        QCOMPARE(int(lib->busNumber(list[0])), 2);
        QVector<unsigned char> path;
        QCOMPARE(lib->devicePath(list[0], path), 2);
        lib->freeDeviceList(list, 1);
        lib->exit(&context);
        QCOMPARE(fake("count contexts"), QStringLiteral("0"));
    }
#endif

#if USBLIB_VARIANT == VARIANT_MISSING || USBLIB_VARIANT == VARIANT_NO_HOTPLUG
    // Without a complete binding the link never calls libusb; a hotplugged one
    // counts each such attempt and ends at the third.
    void linkWithoutLibusb()
    {
        LogCapture logs;
        UsbWorker::Timing timing;
        timing.reopenPauseMs = 20;
        UsbWorker worker(PobSettings {QStringLiteral("1-1"), QStringLiteral("1-1"), true}, timing);
        int finished = 0;
        connect(&worker, &UsbWorker::finished, this, [&finished] { ++finished; });
        worker.start();
        QCOMPARE(finished, 1);
        QCOMPARE(logs.messages("USB-1-1"),
                 QStringList({"libusb is not available", "libusb is not available", "libusb is not available"}));
        QCOMPARE(logs.lines().filter("ERROR [USB-1-1] libusb is not available").size(), 3);
#if USBLIB_VARIANT == VARIANT_NO_HOTPLUG
        QCOMPARE(fake("count contexts"), QStringLiteral("0"));
#endif
    }

    // The agent says why it watches nothing, and still comes and goes cleanly.
    void agentWithoutLibusb()
    {
        LogCapture logs;
        SilentListener listener;
        {
            HotplugAgent agent(&listener);
        }
        QCOMPARE(listener.reports, 0);
        QCOMPARE(logs.messages("Hotplug"), QStringList("libusb is not available"));
    }
#endif
};

QTEST_MAIN(TestUsbLib)
#include "tst_usblib.moc"
