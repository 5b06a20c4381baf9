#pragma once

#include <cstddef>
#include <utility>

// Owns one open file descriptor and closes it when it goes. -1 is "none".
class FileDescriptor
{
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    FileDescriptor(FileDescriptor &&other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    FileDescriptor &operator=(FileDescriptor &&other) noexcept
    {
        if (this != &other) {
            reset();
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }
    ~FileDescriptor() { reset(); }

    int get() const { return m_fd; }
    bool isOpen() const { return m_fd >= 0; }
    void reset();

private:
    int m_fd = -1;
};

// Writes size bytes to fd, going on after partial writes and interrupted calls. False, with errno
// set, when a write failed or wrote nothing.
bool writeAll(int fd, const void *data, std::size_t size);
