// The protocol-2 link exchange: one message sent or received in its own ENQ/ACK/EOT handshake.
#include "korvel2link.h"

#include "korvel2bytechannel.h"
#include "korvel2frame.h"
#include "logger.h"

using namespace Korvel2Frame;

namespace {

// The protocol's waits.
constexpr int ANSWER_WAIT_MS = 500;     // ACK to ENQ or frame, every byte inside a frame
constexpr int STX_WAIT_MS = 5000;       // the peer's frame after our ACK to its ENQ
constexpr int NAK_PAUSE_MS = 500;
constexpr int APP_CONFLICT_PAUSE_MS = 1000;
constexpr int DEV_CONFLICT_PAUSE_MS = 500;

// The protocol's retry limits.
constexpr int MAX_ENQ_WRITES = 5;
constexpr int MAX_FRAME_WRITES = 10;
constexpr int MAX_HANDSHAKES = 100;
constexpr int MAX_RECEIVE_ERRORS = 10;
constexpr int MAX_STRAY_BYTES = 100;

// Failure codes.
constexpr int NO_ENQ = 384;
constexpr int NO_STX = 421;
constexpr int TOO_MANY_ENQS = 531;
constexpr int TOO_MANY_RECEIVE_ERRORS = 537;
constexpr int TOO_MANY_REPEATED_FRAMES = 543;
constexpr int SEND_FAILED = 548;

} // namespace

Korvel2Link::ExchangeException::ExchangeException(int code)
    : m_code(code)
    , m_text("error in line " + std::to_string(code))
{
}

Korvel2Link::Korvel2Link(Korvel2ByteChannel &channel, bool appSide, const QString &loggerName)
    : m_channel(channel)
    , m_appSide(appSide)
    , m_loggerName(loggerName)
{
}

QByteArray Korvel2Link::exchange(const QByteArray &message, int timeoutMs)
{
    // The peer's receiver would refuse such a frame ten times over; keep the line free instead.
    if (message.size() > MAX_MESSAGE_SIZE) {
        Logger(m_loggerName).error(QStringLiteral("message too long (%1 bytes), not sent").arg(message.size()));
        return QByteArray();
    }
    try {
        return message.isEmpty() ? receive(timeoutMs) : send(message);
    } catch (const ExchangeException &e) {
        Logger(m_loggerName).error(QString::fromLatin1(e.what()));
        return QByteArray();
    }
}

void Korvel2Link::failSend()
{
    m_channel.writeByte(EOT);
    throw ExchangeException(SEND_FAILED);
}

QByteArray Korvel2Link::send(const QByteArray &message)
{
    const QByteArray frame = build(message);
    uint8_t byte = 0;

    for (int handshakes = 1;; ++handshakes) {
        int enqWrites = 0;
        bool granted = false;
        while (!granted) {
            m_channel.writeByte(ENQ);
            ++enqWrites;
            const bool answered = m_channel.readByte(byte, ANSWER_WAIT_MS);
            if (answered && byte == ACK) {
                granted = true;
            } else if (!answered || byte == NAK) {
                if (answered)
                    m_channel.pause(NAK_PAUSE_MS);
                if (enqWrites >= MAX_ENQ_WRITES)
                    failSend();
            } else {
                // Both ends want to send, or noise: start a new handshake.
                if (byte == ENQ) {
                    Logger(m_loggerName).error(QStringLiteral("Conflict"));
                    m_channel.pause(m_appSide ? APP_CONFLICT_PAUSE_MS : DEV_CONFLICT_PAUSE_MS);
                }
                if (handshakes > MAX_HANDSHAKES)
                    failSend();
                break;
            }
        }
        if (granted)
            break;
    }

    for (int writes = 1;; ++writes) {
        m_channel.writeBytes(frame);
        const bool answered = m_channel.readByte(byte, ANSWER_WAIT_MS);
        if (answered && byte == ACK) {
            m_channel.writeByte(EOT);
            return QByteArray();
        }
        // The peer took our frame and now wants the line for its own message.
        if (answered && byte == ENQ && writes > 1)
            return receiveAfterEnq();
        if (writes >= MAX_FRAME_WRITES)
            failSend();
    }
}

QByteArray Korvel2Link::receive(int timeoutMs)
{
    uint8_t byte = 0;
    for (int stray = 0;;) {
        if (!m_channel.readByte(byte, timeoutMs))
            return QByteArray();
        if (byte == ENQ)
            return receiveAfterEnq();
        if (++stray >= MAX_STRAY_BYTES)
            throw ExchangeException(NO_ENQ);
    }
}

QByteArray Korvel2Link::receiveAfterEnq()
{
    int errors = 0;
    uint8_t byte = 0;
    QByteArray message;
    m_channel.writeByte(ACK);
    for (;;) {
        // Wait for the frame's STX.
        for (int stray = 0;;) {
            if (!m_channel.readByte(byte, STX_WAIT_MS))
                throw ExchangeException(NO_STX);
            if (byte == STX)
                break;
            if (byte == ENQ) {
                if (++errors > MAX_RECEIVE_ERRORS)
                    throw ExchangeException(TOO_MANY_ENQS);
                m_channel.writeByte(ACK);
                stray = 0;
                continue;
            }
            if (++stray >= MAX_STRAY_BYTES)
                return QByteArray();
        }
        // Read the frame, and again as often as the peer repeats it after our ACK.
        for (;;) {
            if (!readFrame(message))
                break;
            if (!m_channel.readByte(byte, ANSWER_WAIT_MS) || byte == EOT)
                return message;
            if (byte == STX) {
                if (++errors > MAX_RECEIVE_ERRORS)
                    throw ExchangeException(TOO_MANY_REPEATED_FRAMES);
                continue;
            }
            if (!m_channel.readByte(byte, ANSWER_WAIT_MS))
                return message;
            break;
        }
        if (++errors > MAX_RECEIVE_ERRORS)
            throw ExchangeException(TOO_MANY_RECEIVE_ERRORS);
    }
}

bool Korvel2Link::readFrame(QByteArray &message)
{
    message.clear();
    uint8_t sum = 0;
    uint8_t byte = 0;
    bool escaped = false;
    for (;;) {
        if (message.size() > MAX_MESSAGE_SIZE || !m_channel.readByte(byte, ANSWER_WAIT_MS))
            return false;
        sum ^= byte;
        if (!escaped && byte == DLE) {
            escaped = true;
            continue;
        }
        if (!escaped && byte == ETX)
            break;
        message.append(char(byte));
        escaped = false;
    }
    if (!m_channel.readByte(byte, ANSWER_WAIT_MS))
        return false;
    if (byte != sum) {
        m_channel.writeByte(NAK);
        return false;
    }
    m_channel.writeByte(ACK);
    return true;
}
