#include "transportstreams.h"

#include "bluetoothlibrary.h"
#include "btdevicestream.h"
#include "serialport.h"
#include "usbcontrolstream.h"
#include "winsockstream.h"

namespace TransportStreams {

std::unique_ptr<TransportStream> serial(int port, const std::string &pathTemplate, StreamInterrupt *interrupt)
{
    return std::make_unique<SerialPort>(port, pathTemplate, SerialTimeouts{}, interrupt);
}

std::unique_ptr<TransportStream> bluetooth(BtDeviceInfo device, StreamInterrupt *interrupt)
{
    BtDeviceStream::Library bluez{
        [](const BtDeviceInfo &device, const char *serviceName) { return bt_lib_stream_connect(&device, serviceName); },
        [] { bt_lib_stream_close(); }};
    return std::make_unique<BtDeviceStream>(device, interrupt, std::move(bluez));
}

std::unique_ptr<TransportStream> usb(int port, StreamInterrupt *interrupt, int readTimeoutMs)
{
    return std::make_unique<UsbControlStream>(port, interrupt, readTimeoutMs);
}

std::unique_ptr<TransportStream> wifi(const QString &address, int port, StreamInterrupt *interrupt, int readTimeoutMs)
{
    return std::make_unique<WinSockStream>(address.toLocal8Bit().toStdString(), port, interrupt, readTimeoutMs);
}

} // namespace TransportStreams
