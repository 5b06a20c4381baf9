#include "descriptorwait.h"

#include "pollwait.h"
#include "streaminterrupt.h"

WaitResult waitForDescriptor(int fd, WaitFor what, int timeoutMs, const StreamInterrupt *interrupt)
{
    const short events = what == WaitFor::Readable ? POLLIN : POLLOUT;
    pollfd fds[2] = {{fd, events, 0}, {interrupt ? interrupt->fd() : -1, POLLIN, 0}};
    const int n = pollUntil(fds, 2, timeoutMs);
    if (n < 0)
        return WaitResult::Failed;
    if (n == 0)
        return WaitResult::TimedOut;
    if (fds[1].revents)
        return WaitResult::Interrupted;
    return WaitResult::Ready;
}
