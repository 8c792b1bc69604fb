// A protocol-2 line whose peer is a script: every wait is answered at once, from the script or with silence.
#pragma once

#include "korvel2bytechannel.h"

#include <QByteArray>

// The script is what the peer sends, byte by byte. Where it holds the silence
// marker (if one is given), that wait goes unanswered; once it is used up,
// every wait goes unanswered. Nothing really sleeps.
class ScriptedChannel : public Korvel2ByteChannel
{
public:
    explicit ScriptedChannel(const QByteArray &script, int silenceMarker = -1)
        : m_script(script)
        , m_marker(silenceMarker)
    {
    }

    bool readByte(uint8_t &byte, int) override
    {
        if (m_next >= m_script.size()) {
            ++m_readsPastEnd;
            return false;
        }
        const uint8_t b = uint8_t(m_script.at(m_next++));
        if (b == m_marker)
            return false;
        byte = b;
        return true;
    }
    void writeByte(uint8_t byte) override { m_written.append(char(byte)); ++m_writes; }
    void writeBytes(const QByteArray &bytes) override { m_written.append(bytes); ++m_writes; }
    void pause(int ms) override { m_pausedMs += ms; }

    const QByteArray &written() const { return m_written; }
    int writes() const { return m_writes; }
    // Script bytes the link has read (markers included).
    int consumed() const { return int(m_next); }
    int readsPastEnd() const { return m_readsPastEnd; }
    long pausedMs() const { return m_pausedMs; }

private:
    QByteArray m_script;
    int m_marker;
    qsizetype m_next = 0;
    int m_readsPastEnd = 0;
    int m_writes = 0;
    long m_pausedMs = 0;
    QByteArray m_written;
};
