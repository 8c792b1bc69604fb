// A protocol-3 register on a pseudo-terminal, behind pobrid's serial proxy.
#include "serialregisterend.h"

SerialRegisterEnd::SerialRegisterEnd(int fd, QObject *parent)
    : RegisterEnd(parent)
    , m_register(fd)
{
    connect(&m_register, &Korvel3Register::linkBytes, this, &SerialRegisterEnd::deliver);
}

void SerialRegisterEnd::send(const QByteArray &bytes)
{
    m_register.sendLink(bytes);
}
