#include "btdevicestream.h"

#include "abandonablecall.h"
#include "bluetoothlibrary.h"
#include "uniquefd.h"

#include <algorithm>
#include <iterator>

BtDeviceStream::Library BtDeviceStream::bluezLibrary()
{
    return {[](const BtDeviceInfo &device, const char *serviceName) {
                return bt_lib_stream_connect(&device, serviceName);
            },
            [] { bt_lib_stream_close(); }};
}

BtDeviceStream::BtDeviceStream(BtDeviceInfo device, const StreamInterrupt *interrupt, Library library)
    : SocketStream(kReadTimeoutMs, interrupt), m_device(device), m_library(std::move(library))
{
}

BtDeviceStream::~BtDeviceStream()
{
    close();
}

int BtDeviceStream::open()
{
    // The library's connect watches no interrupt and may take a minute for a phone that does not
    // answer, so it runs abandonably on its own copies of the record and the calls. A connect left
    // behind that still succeeds hands its socket to no one: it is closed there and the library's
    // side released.
    const std::optional<int> connected = runAbandonably<int>(
        [device = m_device, connect = m_library.connect] { return connect(device, kServiceName); },
        [release = m_library.release](int &sock) {
            UniqueFd(sock).reset();
            release();
        },
        m_interrupt);
    if (!connected) {
        setFailureReason("Cancelled");
        return -5;
    }
    m_sock = *connected;
    if (m_sock == -1) {
        m_library.release();
        // A zero record is what the transport dialog hands over when no paired device was listed.
        const bool noDevice = std::all_of(std::begin(m_device.address), std::end(m_device.address),
                                          [](unsigned char b) { return b == 0; });
        setFailureReason(noDevice ? "no paired device offers the camera service"
                                  : "the device did not accept a connection to the camera service");
        return -5;
    }
    return 0;
}

int BtDeviceStream::close()
{
    if (!closeSocket())
        return -1;
    m_library.release();
    return 0;
}
