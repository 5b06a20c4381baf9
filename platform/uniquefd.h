#pragma once

#include <utility>

// Owns a file descriptor: closes it when it goes, unless release() handed it on first. -1 is none.
class UniqueFd
{
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd < 0 ? -1 : fd) {}
    UniqueFd(UniqueFd &&other) noexcept : m_fd(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    ~UniqueFd() { reset(); }

    int get() const { return m_fd; }
    bool isOpen() const { return m_fd >= 0; }
    // Hands the descriptor to the caller, who closes it from now on.
    int release() { return std::exchange(m_fd, -1); }
    // Closes the descriptor held, if any, and takes fd.
    void reset(int fd = -1);

private:
    int m_fd = -1;
};
