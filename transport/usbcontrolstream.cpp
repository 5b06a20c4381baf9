#include "usbcontrolstream.h"

#include "winsockstream.h"

// Placeholder until the adb stream lands.
UsbControlStream::UsbControlStream(int port, const StreamInterrupt *interrupt)
    : m_port(port), m_interrupt(interrupt)
{
}

UsbControlStream::~UsbControlStream() = default;

int UsbControlStream::open()
{
    return -10;
}

int UsbControlStream::close()
{
    return -1;
}

int UsbControlStream::read(unsigned char *, int length)
{
    if (length > 0)
        throw 0;
    return length;
}

void UsbControlStream::write(const unsigned char *, int length)
{
    if (length > 0)
        throw 0;
}

QString UsbControlStream::adbProgram()
{
    return {};
}

QByteArray UsbControlStream::runAdb(const QStringList &, int) const
{
    return {};
}
