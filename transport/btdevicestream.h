#pragma once

#include "btdeviceinfo.h"
#include "socketstream.h"

#include <functional>

class StreamInterrupt;

// The camera server's service on a Bluetooth device, reached through the Bluetooth device library.
//
// open() asks the library to connect to "Bluetooth Camera Server" on the device: 0, or -5 (the
// library's side already released) when it fails. Each wait for data lasts at most 30 seconds; see
// SocketStream for the rest. close() closes the socket, then releases the library's side of the
// stream, once.
//
// The interrupt, when there is one (see StreamInterrupt), ends every wait for data at once, and the
// connect too: for a device that does not answer, the library's connect lasts until the radio gives
// up (seconds to page it, then at most 20 s for each service search answer and for the RFCOMM
// connect). open() then returns -5 at once and leaves that connect to end alone; when it does, it
// closes any socket it got and releases the library's side itself.
class BtDeviceStream : public SocketStream
{
public:
    static constexpr int kReadTimeoutMs = 30000;
    static constexpr const char *kServiceName = "Bluetooth Camera Server";

    // The library's two stream calls, as the stream makes them: connect gives a connected descriptor
    // (the caller owns it) or -1; release frees the library's side of the stream. Both may run on a
    // thread of their own, after the stream is gone.
    struct Library
    {
        std::function<int(const BtDeviceInfo &device, const char *serviceName)> connect;
        std::function<void()> release;
    };
    // library: the Bluetooth device library's calls (the program's are BlueZ's, bluetoothlibrary.h).
    BtDeviceStream(BtDeviceInfo device, const StreamInterrupt *interrupt, Library library);
    ~BtDeviceStream() override;

    int open() override;
    int close() override;

private:
    const BtDeviceInfo m_device;
    const Library m_library;
};
