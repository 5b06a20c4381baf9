#pragma once

#include "socketstream.h"

#include <string>

class StreamInterrupt;

// A TCP connection to the camera server: WiFi directly, USB through the adb forward.
//
// open() connects to the first IPv4 address of host (a name or dotted address); it returns -5 when the
// socket cannot be made, the host does not resolve or the connect fails, and in the last case prints
// "Fail to connect to the service with error code: N." with the errno on standard output.
// read() waits at most readTimeoutMs (five seconds unless given) for each piece of data; see
// SocketStream for the rest.
//
// The optional interrupt (see StreamInterrupt) ends the connect and every wait at once.
class WinSockStream : public SocketStream
{
public:
    static constexpr int kReadTimeoutMs = 5000;

    WinSockStream(std::string host, int port, const StreamInterrupt *interrupt = nullptr,
                  int readTimeoutMs = kReadTimeoutMs);
    ~WinSockStream() override;

    int open() override;
    int close() override;

private:
    std::string m_host;
    int m_port;
};
