#include "fakebtstream.h"

#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct State
{
    bool connectFails = false;
    bool connectHangs = false;
    int connectCalls = 0;
    int closeCalls = 0;
    BtDeviceInfo lastDevice{};
    std::string lastServiceName;
    int handedOut = -1;
    int phoneEnd = -1;
};

State state;
std::mutex mutex;
std::condition_variable hangEnded;

void closePhoneEndLocked()
{
    if (state.phoneEnd >= 0)
        ::close(state.phoneEnd);
    state.phoneEnd = -1;
}

// One field of the state, read under the lock.
template<typename T>
T readField(T State::*field)
{
    const std::lock_guard lock(mutex);
    return state.*field;
}

} // namespace

namespace FakeBtStream {

void reset()
{
    const std::lock_guard lock(mutex);
    closePhoneEndLocked();
    state = State{};
    hangEnded.notify_all();
}

void setConnectFails(bool fails)
{
    const std::lock_guard lock(mutex);
    state.connectFails = fails;
}

void setConnectHangs(bool hangs)
{
    const std::lock_guard lock(mutex);
    state.connectHangs = hangs;
    hangEnded.notify_all();
}

int connectCalls() { return readField(&State::connectCalls); }
int closeCalls() { return readField(&State::closeCalls); }
BtDeviceInfo lastDevice() { return readField(&State::lastDevice); }
std::string lastServiceName() { return readField(&State::lastServiceName); }
int handedOut() { return readField(&State::handedOut); }
int phoneEnd() { return readField(&State::phoneEnd); }

void closePhoneEnd()
{
    const std::lock_guard lock(mutex);
    closePhoneEndLocked();
}

static int fakeConnect(const BtDeviceInfo &device, const char *serviceName)
{
    std::unique_lock lock(mutex);
    hangEnded.wait(lock, [] { return !state.connectHangs; });
    ++state.connectCalls;
    std::memcpy(&state.lastDevice, &device, sizeof state.lastDevice);
    state.lastServiceName = serviceName ? serviceName : "";
    if (state.connectFails)
        return -1;

    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return -1;
    // Non-blocking, as the RFCOMM socket that the BlueZ library hands out after its connect is.
    ::fcntl(ends[0], F_SETFL, ::fcntl(ends[0], F_GETFL) | O_NONBLOCK);
    closePhoneEndLocked(); // one phone at a time
    state.phoneEnd = ends[1];
    state.handedOut = ends[0];
    return ends[0];
}

static void fakeRelease()
{
    const std::lock_guard lock(mutex);
    ++state.closeCalls;
}

BtDeviceStream::Library library()
{
    return {fakeConnect, fakeRelease};
}

} // namespace FakeBtStream
