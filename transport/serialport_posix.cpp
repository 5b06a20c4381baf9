#include "serialport.h"

#include "uniquefd.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

struct SerialPort::SavedSettings
{
    termios settings;
};

namespace {

using Clock = std::chrono::steady_clock;

// Limits beyond this count as none, so that the deadline arithmetic stays far from overflow.
constexpr std::int64_t kNoLimitMs = std::int64_t(1) << 40; // about 35 years

// The line settings with only the processing taken out that would alter binary data on its way.
// Software flow control goes too: it swallows every ^S and ^Q byte that comes in and may insert
// them into what goes out, and a JPEG stream is full of both. Baud rate, character size, parity
// and hardware flow control stay as they are.
termios binaryLine(termios line)
{
    line.c_lflag &= ~tcflag_t(ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN);
    line.c_iflag &= ~tcflag_t(ICRNL | INLCR | IGNCR | ISTRIP | PARMRK | BRKINT | IXON | IXOFF | IUCLC);
    line.c_oflag &= ~tcflag_t(OPOST);
    // Reads never block in the kernel: every wait is a poll() with its own deadline.
    line.c_cc[VMIN] = 0;
    line.c_cc[VTIME] = 0;
    return line;
}

std::chrono::milliseconds limitOf(std::int64_t ms)
{
    return std::chrono::milliseconds(std::min(ms, kNoLimitMs));
}

} // namespace

SerialPort::SerialPort(int port, std::string pathTemplate, SerialTimeouts timeouts, const StreamInterrupt *interrupt)
    : m_port(port), m_pathTemplate(std::move(pathTemplate)), m_timeouts(timeouts), m_interrupt(interrupt)
{
}

SerialPort::~SerialPort()
{
    close();
}

std::string SerialPort::pathOf(int port, const std::string &pathTemplate)
{
    std::string device = pathTemplate;
    const auto at = device.find("%d");
    if (at != std::string::npos)
        device.replace(at, 2, std::to_string(port));
    return device;
}

int SerialPort::open()
{
    close();
    // Closed on every early return until the port takes it.
    UniqueFd fd(::open(path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.isOpen())
        return failWithErrno(errno, -100);
    // The lock keeps out every other client that locks too, including one running as root, whom
    // TIOCEXCL does not stop; TIOCEXCL keeps out those that merely open the device.
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        setFailureReason(path() + " is in use by another program");
        return -100;
    }
    auto saved = std::make_unique<SavedSettings>();
    if (::tcgetattr(fd.get(), &saved->settings) != 0 || ::ioctl(fd.get(), TIOCEXCL) != 0)
        return failWithErrno(errno, -100);
    const termios line = binaryLine(saved->settings);
    if (::tcsetattr(fd.get(), TCSANOW, &line) != 0) {
        const int error = errno;
        ::ioctl(fd.get(), TIOCNXCL);
        return failWithErrno(error, -100);
    }
    // Whatever the tty still holds came before this connection: the rest of a frame stream that the
    // last client left unread, or line noise. Read as the reply to a new request it would derail the
    // handshake.
    ::tcflush(fd.get(), TCIFLUSH);
    m_fd = fd.release();
    m_saved = std::move(saved);
    return 0;
}

int SerialPort::close()
{
    if (m_fd == -1)
        return -1;
    // Both may fail on a hung-up line; the descriptor goes all the same, and the lock with it.
    ::tcsetattr(m_fd, TCSANOW, &m_saved->settings);
    ::ioctl(m_fd, TIOCNXCL);
    ::close(m_fd);
    m_fd = -1;
    m_saved.reset();
    return 0;
}

int SerialPort::read(unsigned char *buffer, int length)
{
    transferAll(WaitFor::Readable, buffer, length);
    return length;
}

void SerialPort::write(const unsigned char *buffer, int length)
{
    // Only ever passed on to ::write(), which reads from it, as with an iovec's base pointer.
    transferAll(WaitFor::Writable, const_cast<unsigned char *>(buffer), length);
}

void SerialPort::transferAll(WaitFor direction, unsigned char *buffer, int length)
{
    const int failure = direction == WaitFor::Readable ? 0 : 1;
    for (int done = 0; done < length;) {
        if (m_fd == -1)
            throw 0;
        const int moved = transfer(direction, buffer + done, length - done);
        if (moved == 0) {
            close();
            throw failure;
        }
        done += moved;
    }
}

// One transfer under the time-outs: it waits at most totalConstantMs + totalPerByteMs * length in
// all and, once a byte has come in, no longer than interByteMs for the next. Returns what it moved.
int SerialPort::transfer(WaitFor direction, unsigned char *buffer, int length)
{
    const bool reading = direction == WaitFor::Readable;
    const int failure = reading ? 0 : 1;
    const auto total =
        Clock::now() + limitOf(std::int64_t(m_timeouts.totalConstantMs) + std::int64_t(m_timeouts.totalPerByteMs) * length);
    Clock::time_point lastByte;
    int done = 0;
    for (;;) {
        auto limit = total;
        if (reading && done > 0)
            limit = std::min(limit, lastByte + std::chrono::milliseconds(m_timeouts.interByteMs));
        const auto now = Clock::now();
        if (now >= limit)
            return done;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(limit - now).count();
        switch (waitForDescriptor(m_fd, direction, int(std::min<std::int64_t>(left, INT_MAX)), m_interrupt)) {
        case WaitResult::Ready:
            break;
        case WaitResult::TimedOut:
            continue; // the limit above decides
        case WaitResult::Interrupted:
        case WaitResult::Failed:
            close();
            throw failure;
        }
        const ssize_t n = reading ? ::read(m_fd, buffer + done, std::size_t(length - done))
                                  : ::write(m_fd, buffer + done, std::size_t(length - done));
        if (n > 0) {
            done += int(n);
            lastByte = Clock::now();
            if (done == length)
                return done;
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            continue;
        // With VMIN = VTIME = 0 an empty tty reads as 0 too, but poll() said there was something:
        // 0 here is the end of a hung-up line. Any other error is a failing line as well.
        close();
        throw failure;
    }
}
