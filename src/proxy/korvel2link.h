// The protocol-2 link exchange: one message sent or received in its own ENQ/ACK/EOT handshake.
#pragma once

#include <QByteArray>
#include <QString>
#include <exception>
#include <string>

class Korvel2ByteChannel;

// Plays both state machines of the link layer on one line. The waits and
// retry limits are the protocol's own and therefore fixed; time passes only
// through the channel, so a scripted channel runs them instantly.
class Korvel2Link
{
public:
    // A failed exchange, numbered by the point of the exchange that gave up.
    class ExchangeException : public std::exception
    {
    public:
        explicit ExchangeException(int code);
        int code() const { return m_code; }
        const char *what() const noexcept override { return m_text.c_str(); }

    private:
        int m_code;
        std::string m_text;
    };

    // appSide: the line to the cash-register software (it pauses longer after a
    // send conflict than the register's line). Failures are logged to loggerName.
    Korvel2Link(Korvel2ByteChannel &channel, bool appSide, const QString &loggerName);

    // A non-empty message is sent; the result is empty, or the peer's message
    // when the peer took the line over in the middle of the transmission.
    // An empty message receives one message if the peer starts sending within
    // timeoutMs. Failures are logged and give an empty result.
    QByteArray exchange(const QByteArray &message, int timeoutMs);

private:
    QByteArray send(const QByteArray &message);
    QByteArray receive(int timeoutMs);
    QByteArray receiveAfterEnq();
    bool readFrame(QByteArray &message);
    [[noreturn]] void failSend();

    Korvel2ByteChannel &m_channel;
    bool m_appSide;
    QString m_loggerName;
};
