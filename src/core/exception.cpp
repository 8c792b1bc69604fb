// The program's exception types.
#include "exception.h"

Exception::Exception(const QString &message)
    : m_message(message)
{
}

Exception::Exception(const char *message)
    : m_message(QString::fromUtf8(message))
{
}

QString Exception::whatQString() const
{
    return m_message;
}

const char *Exception::what() const noexcept
{
    m_whatCache = m_message.toUtf8();
    return m_whatCache.constData();
}

DeviceNotFoundException::DeviceNotFoundException()
    : Exception(QStringLiteral("Несуществующее устройство"))
{
}
