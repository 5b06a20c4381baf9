#include "streaminterrupt.h"

#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

StreamInterrupt::StreamInterrupt()
    // A non-blocking eventfd: trigger() can never block, and reset() drains it without waiting.
    : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
}

StreamInterrupt::~StreamInterrupt()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

void StreamInterrupt::trigger() noexcept
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(m_fd, &one, sizeof one);
}

void StreamInterrupt::reset() noexcept
{
    std::uint64_t value;
    [[maybe_unused]] const auto n = ::read(m_fd, &value, sizeof value);
}

bool StreamInterrupt::isTriggered() const noexcept
{
    pollfd p{m_fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}
