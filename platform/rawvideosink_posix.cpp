#include "rawvideosink.h"

#include "writeall.h"

#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>

namespace {

// A reader of a FIFO that goes away must cost this process nothing but the frames. SIGPIPE is
// blocked in the writing thread only for the duration of the write, and one that the write
// raised is taken off the thread again, so the process-wide disposition stays as it is.
class SigpipeGuard
{
public:
    SigpipeGuard()
    {
        sigemptyset(&m_pipe);
        sigaddset(&m_pipe, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        m_wasPending = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &m_pipe, &m_previous);
    }
    SigpipeGuard(const SigpipeGuard &) = delete;
    SigpipeGuard &operator=(const SigpipeGuard &) = delete;
    ~SigpipeGuard()
    {
        if (m_raised && !m_wasPending) {
            const timespec noWait{};
            while (sigtimedwait(&m_pipe, nullptr, &noWait) < 0 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
    }

    void noteRaised() { m_raised = true; }

private:
    sigset_t m_pipe;
    sigset_t m_previous;
    bool m_wasPending = false;
    bool m_raised = false;
};

} // namespace

void RawVideoSink::openFifo(const std::string &path, std::size_t frameBytes)
{
    close();
    m_path = path;
    m_fifo = true;
    m_frameBytes = frameBytes;
}

bool RawVideoSink::openFile(const std::string &path, std::string &error)
{
    close();
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd.isOpen()) {
        error = std::strerror(errno);
        return false;
    }
    m_fd = std::move(fd);
    m_path = path;
    return true;
}

RawVideoSink::State RawVideoSink::ready(std::string &error)
{
    if (m_fd.isOpen())
        return State::Ready;
    if (!m_fifo)
        return State::NoReader;
    const int failure = openFifoWriter();
    if (failure == 0)
        return State::Ready;
    if (failure == ENXIO)
        return State::NoReader;
    error = std::strerror(failure);
    return State::Failed;
}

int RawVideoSink::openFifoWriter()
{
    // Without O_NONBLOCK the open would wait for a reader and hold up the capture thread, and
    // with it a disconnect or the program's exit; with it the open fails at once with ENXIO.
    // Writes then block again, so frames arrive whole.
    UniqueFd fd(::open(m_path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.isOpen())
        return errno;
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) < 0)
        return errno;
    // A pipe of the default 64 KiB takes a 720p frame in some thirty rounds of waking the reader;
    // one as large as a frame (as far as the system allows) takes it in one. Best effort.
    const int pipeBytes = m_frameBytes > INT_MAX ? INT_MAX : static_cast<int>(m_frameBytes);
    if (::fcntl(fd.get(), F_SETPIPE_SZ, pipeBytes) < 0)
        ::fcntl(fd.get(), F_SETPIPE_SZ, 1 << 20);
    m_fd = std::move(fd);
    return 0;
}

bool RawVideoSink::write(const std::uint8_t *data, std::size_t size)
{
    std::optional<SigpipeGuard> sigpipe;
    if (m_fifo)
        sigpipe.emplace();
    if (writeAll(m_fd.get(), data, size))
        return true;
    if (errno == EPIPE && sigpipe)
        sigpipe->noteRaised();
    // A FIFO's reader went away: the next frame looks for the next one.
    m_fd.reset();
    return false;
}

void RawVideoSink::close()
{
    m_fd.reset();
    m_path.clear();
    m_fifo = false;
    m_frameBytes = 0;
}
