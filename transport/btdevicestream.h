#pragma once

#include "btdeviceinfo.h"
#include "socketstream.h"

class StreamInterrupt;

// The camera server's service on a Bluetooth device, reached through the Bluetooth device library.
//
// open() asks the library to connect to "Bluetooth Camera Server" on the device: 0, or -5 (the
// library's side already released) when it fails. Each wait for data lasts at most 30 seconds; see
// SocketStream for the rest. close() closes the socket, then releases the library's side of the
// stream, once.
//
// The optional interrupt (see StreamInterrupt) ends every wait for data at once, and the connect too:
// for a device that does not answer, the library's connect lasts until the radio gives up (seconds to
// page it, then at most 20 s for each service search answer and for the RFCOMM connect). open() then
// returns -5 at once and leaves that connect to end alone; when it does, it closes any socket it got
// and releases the library's side itself.
class BtDeviceStream : public SocketStream
{
public:
    static constexpr int kReadTimeoutMs = 30000;
    static constexpr const char *kServiceName = "Bluetooth Camera Server";

    explicit BtDeviceStream(BtDeviceInfo device, const StreamInterrupt *interrupt = nullptr);
    ~BtDeviceStream() override;

    int open() override;
    int close() override;

private:
    const BtDeviceInfo m_device;
};
