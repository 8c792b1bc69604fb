// A protocol-3 register on a pseudo-terminal, behind pobrid's serial proxy.
#pragma once

#include "korvel3register.h"
#include "registerend.h"

class SerialRegisterEnd : public RegisterEnd
{
    Q_OBJECT
public:
    // fd: the master end of the register's line; stays owned by the caller.
    explicit SerialRegisterEnd(int fd, QObject *parent = nullptr);

    void send(const QByteArray &bytes) override;

private:
    Korvel3Register m_register;
};
