#include "streaminterrupt.h"

#include <cstdint>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace {

void closeIfOpen(int fd)
{
    if (fd >= 0)
        ::close(fd);
}

void watch(int pollFd, int fd)
{
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    ::epoll_ctl(pollFd, EPOLL_CTL_ADD, fd, &event);
}

void drain(int fd)
{
    std::uint64_t count;
    [[maybe_unused]] const auto n = ::read(fd, &count, sizeof count);
}

} // namespace

StreamInterrupt::StreamInterrupt()
    // Non-blocking: trigger() can never block, and reset() drains without waiting. The epoll set holds
    // both the immediate and the timed trigger, so that every wait still polls a single descriptor;
    // it is level-triggered and stays readable for as long as either member does.
    : m_eventFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      m_timerFd(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK)),
      m_pollFd(::epoll_create1(EPOLL_CLOEXEC))
{
    watch(m_pollFd, m_eventFd);
    watch(m_pollFd, m_timerFd);
}

StreamInterrupt::~StreamInterrupt()
{
    closeIfOpen(m_pollFd);
    closeIfOpen(m_timerFd);
    closeIfOpen(m_eventFd);
}

void StreamInterrupt::trigger() noexcept
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(m_eventFd, &one, sizeof one);
}

void StreamInterrupt::triggerAfter(int milliseconds) noexcept
{
    if (milliseconds <= 0) {
        trigger();
        return;
    }
    itimerspec pending{};
    ::timerfd_gettime(m_timerFd, &pending);
    const long long pendingMs = pending.it_value.tv_sec * 1000LL + pending.it_value.tv_nsec / 1000000;
    const bool armed = pending.it_value.tv_sec != 0 || pending.it_value.tv_nsec != 0;
    if ((armed && pendingMs <= milliseconds) || isTriggered())
        return;
    itimerspec deadline{};
    deadline.it_value.tv_sec = milliseconds / 1000;
    deadline.it_value.tv_nsec = long(milliseconds % 1000) * 1000000;
    ::timerfd_settime(m_timerFd, 0, &deadline, nullptr);
}

void StreamInterrupt::reset() noexcept
{
    const itimerspec disarmed{};
    ::timerfd_settime(m_timerFd, 0, &disarmed, nullptr);
    drain(m_timerFd);
    drain(m_eventFd);
}

bool StreamInterrupt::isTriggered() const noexcept
{
    pollfd p{m_pollFd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}
