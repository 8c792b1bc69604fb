// A register on the simulated USB bus of the libusb test double, driven through its control socket.
#pragma once

#include <QByteArray>
#include <QLocalSocket>
#include <QObject>
#include <QTimer>

// Collects what pobrid writes to the register's OUT endpoint and feeds the
// register's link bytes to its IN endpoint, by polling the double's control
// socket ($FAKEUSB_DIR/fakeusb.sock).
class FakeUsbRegister : public QObject
{
    Q_OBJECT
public:
    // interface2: the register answers on interface 2's endpoints instead of 3's.
    FakeUsbRegister(const QString &socketPath, int deviceId, bool interface2 = false, QObject *parent = nullptr);

    bool connectToBus(int timeoutMs = 5000);
    // One command of the double's control language; the reply without "ok ",
    // or an empty string with *ok false when it failed.
    QString command(const QString &line, bool *ok = nullptr);

    void sendLink(const QByteArray &bytes);

signals:
    void linkBytes(const QByteArray &bytes);

private:
    void poll();

    QLocalSocket m_socket;
    QString m_socketPath;
    int m_deviceId;
    int m_inEndpoint;
    int m_outEndpoint;
    QTimer m_poll;
};
