#include "btdevicestream.h"

#include "bluetoothlibrary.h"

BtDeviceStream::BtDeviceStream(BtDeviceInfo device, const StreamInterrupt *interrupt)
    : SocketStream(kReadTimeoutMs, interrupt), m_device(device)
{
}

BtDeviceStream::~BtDeviceStream()
{
    close();
}

int BtDeviceStream::open()
{
    m_sock = bt_lib_stream_connect(&m_device, kServiceName);
    if (m_sock == -1) {
        bt_lib_stream_close();
        return -5;
    }
    return 0;
}

int BtDeviceStream::close()
{
    if (!closeSocket())
        return -1;
    bt_lib_stream_close();
    return 0;
}
