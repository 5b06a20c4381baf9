#include "pollwait.h"
#include "socketconnect.h"
#include "uniquefd.h"
#include "writeall.h"

#include <cerrno>
#include <chrono>
#include <unistd.h>

void UniqueFd::reset(int fd)
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd < 0 ? -1 : fd;
}

int pollUntil(pollfd *fds, nfds_t count, int timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int wait = timeoutMs;
        if (timeoutMs >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            wait = left > 0 ? int(left) : 0;
        }
        const int n = ::poll(fds, count, wait);
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

int connectSocket(int fd, const sockaddr *address, socklen_t length, int timeoutMs, int cancelFd)
{
    if (::connect(fd, address, length) == 0)
        return 0;
    // EINTR on a non-blocking connect: the connect goes on in the background, as with EINPROGRESS.
    if (errno != EINPROGRESS && errno != EINTR)
        return errno;
    pollfd fds[2] = {{fd, POLLOUT, 0}, {cancelFd, POLLIN, 0}};
    const int n = pollUntil(fds, 2, timeoutMs);
    if (n < 0)
        return errno;
    if (n == 0)
        return ETIMEDOUT;
    if (fds[1].revents)
        return ECANCELED;
    int error = 0;
    socklen_t errorLength = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &errorLength) != 0)
        return errno;
    if (error != 0)
        return error;
    if ((fds[0].revents & (POLLERR | POLLHUP)) != 0 || (fds[0].revents & POLLOUT) == 0)
        return ECONNRESET;
    return 0;
}

bool writeAll(int fd, const void *data, std::size_t size)
{
    const char *next = static_cast<const char *>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, next, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        next += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}
