#include "serialport.h"

// Placeholder until the tty stream lands.
struct SerialPort::SavedSettings
{
};

SerialPort::SerialPort(int port, std::string pathTemplate, SerialTimeouts timeouts, const StreamInterrupt *interrupt)
    : m_port(port), m_pathTemplate(std::move(pathTemplate)), m_timeouts(timeouts), m_interrupt(interrupt)
{
}

SerialPort::~SerialPort() = default;

int SerialPort::open()
{
    return -100;
}

int SerialPort::close()
{
    return -1;
}

int SerialPort::read(unsigned char *, int length)
{
    if (length > 0)
        throw 0;
    return length;
}

void SerialPort::write(const unsigned char *, int length)
{
    if (length > 0)
        throw 0;
}

std::string SerialPort::path() const
{
    return m_pathTemplate;
}
