#include "fakebtstream.h"

#include "bluetoothlibrary.h"

#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct State
{
    bool connectFails = false;
    int connectCalls = 0;
    int closeCalls = 0;
    BtDeviceInfo lastDevice{};
    std::string lastServiceName;
    int handedOut = -1;
    int phoneEnd = -1;
};

State state;

} // namespace

namespace FakeBtStream {

void reset()
{
    closePhoneEnd();
    state = State{};
}

void setConnectFails(bool fails)
{
    state.connectFails = fails;
}

int connectCalls()
{
    return state.connectCalls;
}

int closeCalls()
{
    return state.closeCalls;
}

BtDeviceInfo lastDevice()
{
    return state.lastDevice;
}

std::string lastServiceName()
{
    return state.lastServiceName;
}

int handedOut()
{
    return state.handedOut;
}

int phoneEnd()
{
    return state.phoneEnd;
}

void closePhoneEnd()
{
    if (state.phoneEnd >= 0)
        ::close(state.phoneEnd);
    state.phoneEnd = -1;
}

} // namespace FakeBtStream

int bt_lib_stream_connect(const BtDeviceInfo *device, const char *serviceName)
{
    ++state.connectCalls;
    if (device)
        std::memcpy(&state.lastDevice, device, sizeof state.lastDevice);
    else
        state.lastDevice = BtDeviceInfo{};
    state.lastServiceName = serviceName ? serviceName : "";
    if (state.connectFails)
        return -1;

    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return -1;
    FakeBtStream::closePhoneEnd(); // one phone at a time
    state.phoneEnd = ends[1];
    state.handedOut = ends[0];
    return ends[0];
}

int bt_lib_stream_close()
{
    ++state.closeCalls;
    return 0;
}
