// The libusb double driven the way an outside process drives it: a setup file, then its control socket.
#include "fakeusb.h"
#include "fakeusbremote.h"
#include "logcapture.h"
#include "usbworker.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

class TestFakeUsbControl : public QObject
{
    Q_OBJECT
private slots:
    // A link opens a register that only the setup file described, and bytes
    // pass both ways through commands on the socket.
    void setupFileAndSocket()
    {
        FakeUsb::reset();
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QFile setup(dir.filePath("setup"));
        QVERIFY(setup.open(QIODevice::WriteOnly));
        setup.write("# one register and a stranger\nadd 1 1.4\n\nadd 2 3 1234 1\n");
        setup.close();
        QCOMPARE(fakeusb_serve(dir.path().toUtf8().constData()), 0);

        FakeUsbRemote remote(dir.path());
        QVERIFY(remote.connect());
        bool ok = false;
        const QStringList devices = remote.run("list", &ok).split(';', Qt::SkipEmptyParts);
        QVERIFY(ok);
        QCOMPARE(devices.size(), 2);
        QVERIFY2(devices.at(0).endsWith(" 1-1.4 c7e4:000c attached"), qPrintable(devices.at(0)));
        QVERIFY2(devices.at(1).endsWith(" 2-3 1234:0001 attached"), qPrintable(devices.at(1)));
        const QString id = devices.at(0).section(' ', 0, 0);

        remote.run("frobnicate", &ok);
        QVERIFY(!ok);

        LogCapture logs;
        UsbWorker::Timing timing;
        timing.readTimeoutMs = 20;
        UsbWorker *worker = new UsbWorker(PobSettings {"reg", "1-1.4", false}, timing);
        QThread thread;
        worker->moveToThread(&thread);
        connect(&thread, &QThread::started, worker, &UsbWorker::start);
        thread.start();
        QVERIFY(logs.waitFor("USB-reg", "SUCCESS"));
        remote.run(QStringLiteral("feed %1 8b 0a0b").arg(id), &ok);
        QVERIFY(ok);
        QVERIFY(logs.waitFor("USB-reg", "read: 0A 0B (2 bytes)"));
        QMetaObject::invokeMethod(worker, "onOfdDataReceived", Q_ARG(QByteArray, QByteArray("\x7f", 1)));
        QVERIFY(logs.waitFor("USB-reg", "write: 7F (1 bytes)"));
        QCOMPARE(remote.run(QStringLiteral("take %1 0a").arg(id), &ok), QStringLiteral("7f"));
        QVERIFY(ok);

        worker->stop();
        thread.quit();
        thread.wait();
        delete worker;
        QCOMPARE(remote.run("count contexts"), QStringLiteral("0"));
    }
};

QTEST_MAIN(TestFakeUsbControl)
#include "tst_fakeusbcontrol.moc"
