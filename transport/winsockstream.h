#pragma once

#include "transportstream.h"

#include <string>

class StreamInterrupt;

// A TCP connection to the camera server: WiFi directly, USB through the adb forward.
//
// open() connects to the first IPv4 address of host (a name or dotted address); it returns -5 when the
// socket cannot be made, the host does not resolve or the connect fails, and in the last case prints
// "Fail to connect to the service with error code: N." with the errno on standard output.
// read() waits at most five seconds for each piece of data: silence throws 0 and leaves the stream
// open, while an end of stream or an error closes it first. Sending has no time-out; a rejected send
// closes the stream and throws 1. A peer that went away can never raise SIGPIPE.
//
// The optional interrupt (see StreamInterrupt) ends the connect and every wait at once.
class WinSockStream : public TransportStream
{
public:
    static constexpr int kReadTimeoutMs = 5000;

    WinSockStream(std::string host, int port, const StreamInterrupt *interrupt = nullptr);
    ~WinSockStream() override;

    int open() override;
    int close() override;
    int read(unsigned char *buffer, int length) override;
    void write(const unsigned char *buffer, int length) override;

    bool isOpen() const { return m_sock != -1; }

private:
    enum class Wait { Ready, TimedOut, Interrupted, Failed };
    Wait waitFor(short events, int timeoutMs) const;

    int m_sock = -1;
    std::string m_host;
    int m_port;
    const StreamInterrupt *m_interrupt;
};
