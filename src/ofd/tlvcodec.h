// Cuts link records off the front of a receive buffer, without any I/O or waiting.
#pragma once

#include "tlvfield.h"

#include <QByteArray>

// A record may arrive split over several deliveries. Once a record's header
// has been taken, the codec keeps it and the value bytes collected so far, and
// every further take() adds what the buffer holds, until the value is whole or
// the caller gives the record up with drop().
class TlvCodec
{
public:
    enum Result {
        NeedMore, // no record begun and fewer than two bytes buffered; nothing taken
        Complete, // a whole record was taken into the out parameter
        Partial,  // a record is begun but its value is still short; what was there is taken
    };

    Result take(QByteArray &buffer, TlvField &record);

    bool inRecord() const { return m_inRecord; }
    int collected() const { return int(m_value.size()); }
    int expected() const { return m_expected; }
    // Forgets the begun record; the next byte taken is read as a command code.
    void drop();

private:
    bool m_inRecord = false;
    unsigned char m_cmd = 0;
    int m_expected = 0;
    QByteArray m_value;
};
