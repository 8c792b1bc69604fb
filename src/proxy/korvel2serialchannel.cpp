// A protocol-2 line on a serial port, polled so that the thread's events keep flowing while it waits.
#include "korvel2serialchannel.h"

#include "utils.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSerialPort>

Korvel2SerialChannel::Korvel2SerialChannel(QSerialPort &port)
    : m_port(port)
{
}

bool Korvel2SerialChannel::readByte(uint8_t &byte, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs) {
        QCoreApplication::processEvents();
        char c = 0;
        if (m_port.isOpen() && m_port.read(&c, 1) == 1) {
            byte = uint8_t(c);
            return true;
        }
        msleep(1);
    }
    return false;
}

void Korvel2SerialChannel::writeByte(uint8_t byte)
{
    writeBytes(QByteArray(1, char(byte)));
}

void Korvel2SerialChannel::writeBytes(const QByteArray &bytes)
{
    if (!m_port.isOpen())
        return;
    m_port.write(bytes);
    m_port.flush();
}

void Korvel2SerialChannel::pause(int ms)
{
    msleep(ms);
}
