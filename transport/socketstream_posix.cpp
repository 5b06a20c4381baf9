#include "socketstream.h"

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

SocketStream::SocketStream(int readTimeoutMs, const StreamInterrupt *interrupt)
    : m_interrupt(interrupt), m_readTimeoutMs(readTimeoutMs)
{
}

SocketStream::~SocketStream()
{
    closeSocket();
}

WaitResult SocketStream::waitFor(WaitFor what, int timeoutMs) const
{
    return waitForDescriptor(m_sock, what, timeoutMs, m_interrupt);
}

bool SocketStream::closeSocket()
{
    if (m_sock == -1)
        return false;
    ::close(m_sock);
    m_sock = -1;
    return true;
}

int SocketStream::read(unsigned char *buffer, int length)
{
    int missing = length;
    while (missing > 0) {
        if (m_sock == -1)
            throw 0;
        switch (waitFor(WaitFor::Readable, m_readTimeoutMs)) {
        case WaitResult::Ready:
            break;
        case WaitResult::Interrupted:
            close();
            throw 0;
        default:
            // Silence or a failed wait: the stream stays open, the caller decides.
            throw 0;
        }
        // MSG_DONTWAIT: a descriptor handed over by a library may be a blocking one.
        const ssize_t n = ::recv(m_sock, buffer + (length - missing), size_t(missing), MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            continue;
        if (n <= 0) {
            close();
            throw 0;
        }
        missing -= int(n);
    }
    return length;
}

void SocketStream::write(const unsigned char *buffer, int length)
{
    int unsent = length;
    while (unsent > 0) {
        if (m_sock == -1)
            throw 0;
        const ssize_t n = ::send(m_sock, buffer + (length - unsent), size_t(unsent), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A full send buffer: wait without a time-out, as a blocking send would, but stay interruptible.
            if (waitFor(WaitFor::Writable, -1) == WaitResult::Ready)
                continue;
            close();
            throw 1;
        }
        if (n < 0) {
            close();
            throw 1;
        }
        unsent -= int(n);
    }
}
