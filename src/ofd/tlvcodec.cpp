// Cuts link records off the front of a receive buffer, without any I/O or waiting.
#include "tlvcodec.h"

#include <algorithm>

TlvCodec::Result TlvCodec::take(QByteArray &buffer, TlvField &record)
{
    if (!m_inRecord) {
        if (buffer.size() < 2)
            return NeedMore;
        m_cmd = static_cast<unsigned char>(buffer.at(0));
        m_expected = static_cast<unsigned char>(buffer.at(1));
        buffer.remove(0, 2);
        m_value.clear();
        m_inRecord = true;
    }
    const int wanted = std::min<int>(m_expected - int(m_value.size()), int(buffer.size()));
    if (wanted > 0) {
        m_value.append(buffer.constData(), wanted);
        buffer.remove(0, wanted);
    }
    if (m_value.size() < m_expected)
        return Partial;
    record = TlvField(m_cmd, m_value);
    m_inRecord = false;
    m_value.clear();
    return Complete;
}

void TlvCodec::drop()
{
    m_inRecord = false;
    m_value.clear();
    m_expected = 0;
}
