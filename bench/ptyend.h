// The terminal end of a plain relay (socat between a pseudo-terminal and TCP): raw bytes both ways.
#pragma once

#include "registerend.h"

#include <QSocketNotifier>
#include <memory>

class PtyEnd : public RegisterEnd
{
    Q_OBJECT
public:
    explicit PtyEnd(QObject *parent = nullptr);
    ~PtyEnd() override;

    // Opens the terminal by name (a slave or a link to one) in raw mode.
    bool open(const QString &path);
    void send(const QByteArray &bytes) override;

private:
    void onReadable();

    int m_fd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
};
