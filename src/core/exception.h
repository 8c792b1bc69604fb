// The program's exception types.
#pragma once

#include <QByteArray>
#include <QString>
#include <exception>

class Exception : public std::exception
{
public:
    explicit Exception(const QString &message);
    explicit Exception(const char *message);

    QString whatQString() const;
    // UTF-8 bytes of the message, valid until the next call or destruction.
    const char *what() const noexcept override;

private:
    QString m_message;
    mutable QByteArray m_whatCache;
};

class DeviceNotFoundException : public Exception
{
public:
    DeviceNotFoundException();
};
