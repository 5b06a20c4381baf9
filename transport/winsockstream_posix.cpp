#include "winsockstream.h"

#include "abandonablecall.h"
#include "socketconnect.h"
#include "streaminterrupt.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

// getaddrinfo results, freed on every path.
struct AddrInfo
{
    addrinfo *list = nullptr;
    ~AddrInfo() { if (list) ::freeaddrinfo(list); }
};

std::optional<std::uint32_t> systemResolver(const std::string &host)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    AddrInfo resolved;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &resolved.list) != 0 || !resolved.list)
        return std::nullopt;
    sockaddr_in address;
    std::memcpy(&address, resolved.list->ai_addr, sizeof address);
    return address.sin_addr.s_addr;
}

} // namespace

WinSockStream::WinSockStream(std::string host, int port, const StreamInterrupt *interrupt, int readTimeoutMs,
                             Resolver resolver)
    : SocketStream(readTimeoutMs, interrupt), m_host(std::move(host)), m_port(port),
      m_resolver(resolver ? std::move(resolver) : systemResolver)
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
        return failWithErrno(errno, -5);
    }

    // A lookup may wait about ten seconds for each DNS server that does not answer, and getaddrinfo
    // watches no interrupt: it runs abandonably, on copies that the lookup may keep past this stream.
    // Nothing when the interrupt came first, an empty answer when the host does not resolve.
    const auto lookup = runAbandonably<std::optional<std::uint32_t>>(
        [resolver = m_resolver, host = m_host] { return resolver(host); }, {}, m_interrupt);
    if (!lookup) {
        setFailureReason("Cancelled");
        return -5;
    }
    const std::optional<std::uint32_t> ip = *lookup;
    if (!ip) {
        setFailureReason("The host name \"" + m_host + "\" does not resolve");
        return -5;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = *ip;
    address.sin_port = htons(static_cast<uint16_t>(m_port & 0xffff));

    const int error = connectSocket(m_sock, reinterpret_cast<const sockaddr *>(&address), sizeof address, -1,
                                    m_interrupt ? m_interrupt->fd() : -1);
    // A reset can only follow a connection that was made. A server that accepts and resets at once may
    // do so before the wait above has seen the connect complete, leaving the reset in SO_ERROR: the
    // outcome is the same as when the reset comes a moment later, a connection whose first transfer fails.
    if (error == 0 || error == ECONNRESET || error == EPIPE)
        return 0;

    std::printf("Fail to connect to the service with error code: %d.\n", error);
    std::fflush(stdout);
    return failWithErrno(error, -5);
}

int WinSockStream::close()
{
    return closeSocket() ? 0 : -1;
}
