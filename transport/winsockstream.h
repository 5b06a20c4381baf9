#pragma once

#include "socketstream.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

class StreamInterrupt;

// A TCP connection to the camera server: WiFi directly, USB through the adb forward.
//
// open() connects to the first IPv4 address of host (a name or dotted address); it returns -5 when the
// socket cannot be made, the host does not resolve or the connect fails, and in the last case prints
// "Fail to connect to the service with error code: N." with the errno on standard output. A connect
// that the server accepted and reset at once still counts as made: open() returns 0 and the first
// transfer fails, however the reset and the connect's completion were timed.
// read() waits at most readTimeoutMs (five seconds unless given) for each piece of data; see
// SocketStream for the rest.
//
// The optional interrupt (see StreamInterrupt) ends the lookup, the connect and every wait at once; a
// lookup still running then finishes alone, in the background.
class WinSockStream : public SocketStream
{
public:
    static constexpr int kReadTimeoutMs = 5000;

    // Turns a host into an IPv4 address in network byte order, or nothing when it does not resolve.
    // The default asks the system's resolver; a test may put in one that never answers. It runs on a
    // thread of its own and may outlive the stream.
    using Resolver = std::function<std::optional<std::uint32_t>(const std::string &host)>;

    WinSockStream(std::string host, int port, const StreamInterrupt *interrupt = nullptr,
                  int readTimeoutMs = kReadTimeoutMs, Resolver resolver = {});
    ~WinSockStream() override;

    int open() override;
    int close() override;

private:
    std::string m_host;
    int m_port;
    Resolver m_resolver;
};
