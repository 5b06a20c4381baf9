#pragma once

#include "descriptorwait.h"
#include "transportstream.h"

class StreamInterrupt;

// What the socket streams share (TCP for WiFi and the USB forward, RFCOMM for Bluetooth): each wait
// for data is bounded by the stream's read time-out, silence throws 0 and leaves the stream open, an
// end of stream or an error closes it (through the derived close()) and throws. Sending has no
// time-out, as a blocking send would, and a peer that went away can never raise SIGPIPE. The optional
// interrupt ends every wait at once, closing the stream.
class SocketStream : public TransportStream
{
public:
    ~SocketStream() override;

    int read(unsigned char *buffer, int length) override;
    void write(const unsigned char *buffer, int length) override;

    bool isOpen() const { return m_sock != -1; }

protected:
    SocketStream(int readTimeoutMs, const StreamInterrupt *interrupt);

    WaitResult waitFor(WaitFor what, int timeoutMs) const;
    // Closes the descriptor; false when there was none.
    bool closeSocket();

    int m_sock = -1;
    const StreamInterrupt *const m_interrupt;

private:
    const int m_readTimeoutMs;
};
