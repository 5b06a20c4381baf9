#include "winsockstream.h"

#include "streaminterrupt.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// getaddrinfo results, freed on every path.
struct AddrInfo
{
    addrinfo *list = nullptr;
    ~AddrInfo() { if (list) ::freeaddrinfo(list); }
};

} // namespace

WinSockStream::WinSockStream(std::string host, int port, const StreamInterrupt *interrupt)
    : m_host(std::move(host)), m_port(port), m_interrupt(interrupt)
{
}

WinSockStream::~WinSockStream()
{
    close();
}

int WinSockStream::open()
{
    // Non-blocking from the start: the connect and every later wait go through poll(), which also
    // watches the interrupt. The connect itself still has no time-out of its own beyond the kernel's.
    m_sock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_sock < 0) {
        m_sock = -1;
        return -5;
    }

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    AddrInfo resolved;
    if (::getaddrinfo(m_host.c_str(), nullptr, &hints, &resolved.list) != 0 || !resolved.list)
        return -5;
    sockaddr_in address{};
    std::memcpy(&address, resolved.list->ai_addr, sizeof address);
    address.sin_port = htons(static_cast<uint16_t>(m_port & 0xffff));

    int error = 0;
    if (::connect(m_sock, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        error = errno;
        if (error == EINPROGRESS || error == EINTR) {
            switch (waitFor(POLLOUT, -1)) {
            case Wait::Ready: {
                socklen_t len = sizeof error;
                if (::getsockopt(m_sock, SOL_SOCKET, SO_ERROR, &error, &len) != 0)
                    error = errno;
                break;
            }
            case Wait::Interrupted:
                error = ECANCELED;
                break;
            default:
                error = errno;
                break;
            }
        }
    }
    if (error == 0)
        return 0;

    std::printf("Fail to connect to the service with error code: %d.\n", error);
    std::fflush(stdout);
    return -5;
}

int WinSockStream::close()
{
    if (m_sock == -1)
        return -1;
    ::close(m_sock);
    m_sock = -1;
    return 0;
}

WinSockStream::Wait WinSockStream::waitFor(short events, int timeoutMs) const
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    pollfd fds[2] = {{m_sock, events, 0}, {m_interrupt ? m_interrupt->fd() : -1, POLLIN, 0}};
    for (;;) {
        int wait = timeoutMs;
        if (timeoutMs >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            wait = left > 0 ? int(left) : 0;
        }
        const int n = ::poll(fds, 2, wait);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return Wait::Failed;
        if (n == 0)
            return Wait::TimedOut;
        if (fds[1].revents)
            return Wait::Interrupted;
        // Errors and hang-ups count as ready: the following recv/send/SO_ERROR tells what happened.
        return Wait::Ready;
    }
}

int WinSockStream::read(unsigned char *buffer, int length)
{
    int missing = length;
    while (missing > 0) {
        if (m_sock == -1)
            throw 0;
        switch (waitFor(POLLIN, kReadTimeoutMs)) {
        case Wait::Ready:
            break;
        case Wait::Interrupted:
            close();
            throw 0;
        default:
            // Silence or a failed wait: the stream stays open, the caller decides.
            throw 0;
        }
        const ssize_t n = ::recv(m_sock, buffer + (length - missing), size_t(missing), 0);
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

void WinSockStream::write(const unsigned char *buffer, int length)
{
    int unsent = length;
    while (unsent > 0) {
        if (m_sock == -1)
            throw 0;
        const ssize_t n = ::send(m_sock, buffer + (length - unsent), size_t(unsent), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A full send buffer: wait without a time-out, as a blocking send would, but stay interruptible.
            if (waitFor(POLLOUT, -1) == Wait::Ready)
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
