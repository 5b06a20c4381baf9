#include "filedescriptor.h"

#include <unistd.h>

#include <cerrno>

void FileDescriptor::reset()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
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
