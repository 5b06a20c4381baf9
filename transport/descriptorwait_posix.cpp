#include "descriptorwait.h"

#include "streaminterrupt.h"

#include <cerrno>
#include <chrono>
#include <poll.h>

WaitResult waitForDescriptor(int fd, WaitFor what, int timeoutMs, const StreamInterrupt *interrupt)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const short events = what == WaitFor::Readable ? POLLIN : POLLOUT;
    pollfd fds[2] = {{fd, events, 0}, {interrupt ? interrupt->fd() : -1, POLLIN, 0}};
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
            return WaitResult::Failed;
        if (n == 0)
            return WaitResult::TimedOut;
        if (fds[1].revents)
            return WaitResult::Interrupted;
        return WaitResult::Ready;
    }
}
