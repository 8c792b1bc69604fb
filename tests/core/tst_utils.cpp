// The event-keeping sleep, the hex dump and the exception texts.
#include "exception.h"
#include "utils.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

class TestUtils : public QObject
{
    Q_OBJECT
private slots:
    void hexDump_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("two") << QByteArray("\x0a\xff", 2) << "0A FF (2 bytes)";
        QTest::newRow("three") << QByteArray("\x00\x7f\x80", 3) << "00 7F 80 (3 bytes)";
        QTest::newRow("none") << QByteArray() << " (0 bytes)";
    }
    void hexDump()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, text);
        QCOMPARE(baToString(bytes), text);
    }

    void msleepSlices_data()
    {
        QTest::addColumn<int>("ms");
        QTest::addColumn<int>("passes");
        QTest::newRow("15 ms is two slices") << 15 << 2;
        QTest::newRow("10 ms is one slice") << 10 << 1;
        QTest::newRow("zero returns at once") << 0 << 0;
        QTest::newRow("negative returns at once") << -5 << 0;
    }
    // Counts event passes: a posted event re-posts itself each time it is handled.
    void msleepSlices()
    {
        QFETCH(int, ms);
        QFETCH(int, passes);
        int handled = 0;
        std::function<void()> repost = [&] {
            ++handled;
            QMetaObject::invokeMethod(this, repost, Qt::QueuedConnection);
        };
        QMetaObject::invokeMethod(this, repost, Qt::QueuedConnection);
        QElapsedTimer clock;
        clock.start();
        msleep(ms);
        QCOMPARE(handled, passes);
        QVERIFY(clock.elapsed() >= passes * MSLEEP_SLICE_MS);
        QCoreApplication::removePostedEvents(this);
    }

    void serialErrorNumbers_data()
    {
        QTest::addColumn<int>("error");
        QTest::addColumn<int>("logged");
        QTest::newRow("no error") << int(QSerialPort::NoError) << 0;
        QTest::newRow("write") << int(QSerialPort::WriteError) << 7;
        QTest::newRow("resource") << int(QSerialPort::ResourceError) << 9;
        QTest::newRow("unsupported") << int(QSerialPort::UnsupportedOperationError) << 10;
        QTest::newRow("not open") << int(QSerialPort::NotOpenError) << 13;
    }
    void serialErrorNumbers()
    {
        QFETCH(int, error);
        QFETCH(int, logged);
        QCOMPARE(serialErrorNumber(QSerialPort::SerialPortError(error)), logged);
    }

    void exceptionTexts()
    {
        const Exception e("libusb_open");
        QCOMPARE(QByteArray(e.what()), QByteArray("libusb_open"));
        const DeviceNotFoundException d;
        QCOMPARE(d.whatQString(), QStringLiteral("Несуществующее устройство"));
        QCOMPARE(QByteArray(d.what()), QStringLiteral("Несуществующее устройство").toUtf8());
    }
};

QTEST_GUILESS_MAIN(TestUtils)
#include "tst_utils.moc"
