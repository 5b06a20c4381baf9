#include "pseudoterminal.h"

#include "pollwait.h"
#include "systemerror.h"

#include <QDeadlineTimer>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <utility>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

int pollTimeout(const QDeadlineTimer &deadline)
{
    if (deadline.isForever())
        return -1;
    return int(std::clamp<qint64>(deadline.remainingTime(), 0, INT_MAX));
}

} // namespace

PseudoTerminal::PseudoTerminal()
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        m_error = systemError("posix_openpt");
        return;
    }
    char name[128];
    int number = -1;
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::ptsname_r(master, name, sizeof name) != 0
        || ::ioctl(master, TIOCGPTN, &number) != 0
        || ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK) != 0) {
        m_error = systemError("setting up the pseudo-terminal");
        ::close(master);
        return;
    }
    m_master = master;
    m_slaveNumber = number;
    m_slavePath = QString::fromLocal8Bit(name);
}

PseudoTerminal::~PseudoTerminal()
{
    hangUp();
}

void PseudoTerminal::hangUp()
{
    if (m_master == -1)
        return;
    ::close(m_master);
    m_master = -1;
}

SerialLine::SerialLine()
{
    if (!m_terminal.isOpen()) {
        m_error = m_terminal.errorString();
        return;
    }
    const QByteArray path = m_terminal.slavePath().toLocal8Bit();
    m_slave = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios line;
    if (m_slave < 0 || ::tcgetattr(m_slave, &line) != 0) {
        m_error = systemError("opening the slave");
        return;
    }
    ::cfmakeraw(&line);
    if (::tcsetattr(m_slave, TCSANOW, &line) != 0) {
        m_error = systemError("setting the slave's line");
        return;
    }
    // Watching starts after the line's own open, so that only clients are counted.
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch < 0 || ::inotify_add_watch(watch, path.constData(), IN_OPEN | IN_CLOSE) < 0) {
        m_error = systemError("watching the slave");
        if (watch >= 0)
            ::close(watch);
        return;
    }
    m_watch = watch;
}

SerialLine::~SerialLine()
{
    if (m_watch != -1)
        ::close(m_watch);
    if (m_slave >= 0)
        ::close(m_slave);
}

void SerialLine::takeReports()
{
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(m_watch, buffer, sizeof buffer);
        if (n <= 0)
            return; // EAGAIN: all taken
        for (ssize_t at = 0; at < n;) {
            inotify_event event;
            std::memcpy(&event, buffer + at, sizeof event);
            at += ssize_t(sizeof event + event.len);
            if (event.mask & IN_OPEN) {
                ++m_clients;
            } else if ((event.mask & IN_CLOSE) && m_clients > 0) {
                if (--m_clients == 0)
                    ++m_departures;
            }
        }
    }
}

bool SerialLine::waitForClient(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs < 0 ? QDeadlineTimer(QDeadlineTimer::Forever) : QDeadlineTimer(timeoutMs));
    for (;;) {
        takeReports();
        if (m_clients > 0)
            return true;
        pollfd watch{m_watch, POLLIN, 0};
        if (pollUntil(&watch, 1, pollTimeout(deadline)) <= 0)
            return false;
    }
}

bool SerialLine::waitUntilRead(int timeoutMs)
{
    // The count covers what the slave's line discipline holds; a little may still be on its way
    // there, so only two empty looks in a row count as read.
    constexpr int lookEveryMs = 20;
    const QDeadlineTimer deadline(timeoutMs);
    const quint64 departures = m_departures;
    int emptyLooks = 0;
    for (;;) {
        takeReports();
        if (m_departures != departures)
            return true;
        int unread = 0;
        if (::ioctl(m_slave, TIOCINQ, &unread) != 0)
            return false;
        emptyLooks = unread == 0 ? emptyLooks + 1 : 0;
        if (emptyLooks == 2)
            return true;
        if (deadline.hasExpired())
            return false;
        pollfd watch{m_watch, POLLIN, 0};
        pollUntil(&watch, 1, pollTimeout(QDeadlineTimer(std::min<qint64>(lookEveryMs, deadline.remainingTime()))));
    }
}

void SerialLine::discardUnread()
{
    ::tcflush(m_slave, TCIFLUSH);
}

SerialLineChannel::SerialLineChannel(SerialLine &line)
    : m_line(line), m_departuresAtStart(line.m_departures), m_in(std::exchange(line.m_early, {}))
{
    QIODevice::open(QIODevice::ReadWrite);
}

SerialLineChannel::~SerialLineChannel()
{
    close();
}

qint64 SerialLineChannel::bytesAvailable() const
{
    return m_in.size() + QIODevice::bytesAvailable();
}

qint64 SerialLineChannel::bytesToWrite() const
{
    return m_out.size() - m_sent;
}

void SerialLineChannel::close()
{
    m_in.clear();
    m_out.clear();
    m_sent = 0;
    QIODevice::close();
}

qint64 SerialLineChannel::readData(char *data, qint64 maxSize)
{
    const qint64 n = std::min<qint64>(maxSize, m_in.size());
    std::memcpy(data, m_in.constData(), std::size_t(n));
    m_in.remove(0, n);
    return n;
}

qint64 SerialLineChannel::writeData(const char *data, qint64 maxSize)
{
    if (clientLeft())
        return -1;
    m_out.append(data, maxSize);
    flushPending();
    return maxSize;
}

bool SerialLineChannel::waitForReadyRead(int msecs)
{
    return waitFor(Moved::Read, msecs);
}

bool SerialLineChannel::waitForBytesWritten(int msecs)
{
    return bytesToWrite() > 0 && waitFor(Moved::Written, msecs);
}

bool SerialLineChannel::clientLeft()
{
    m_line.takeReports();
    return m_line.m_departures != m_departuresAtStart;
}

qint64 SerialLineChannel::flushPending()
{
    // Writes go out in small pieces with a look at the client before and after each: a client that
    // closes can be followed at once by the next, already waiting for its own replies, and no more
    // than a piece of this connection's bytes may reach it before they are dropped again.
    constexpr qint64 pieceBytes = 1024;
    qint64 written = 0;
    if (clientLeft())
        return 0;
    while (m_sent < m_out.size()) {
        const ssize_t n = ::write(m_line.m_terminal.masterFd(), m_out.constData() + m_sent,
                                  std::size_t(std::min(pieceBytes, m_out.size() - m_sent)));
        if (n < 0)
            return errno == EAGAIN || errno == EINTR ? written : -1;
        m_sent += n;
        written += n;
        if (clientLeft()) {
            m_line.discardUnread();
            break;
        }
    }
    if (m_sent == m_out.size()) {
        m_out.clear();
        m_sent = 0;
    }
    return written;
}

bool SerialLineChannel::waitFor(Moved wanted, int msecs)
{
    const QDeadlineTimer deadline(msecs < 0 ? QDeadlineTimer(QDeadlineTimer::Forever) : QDeadlineTimer(msecs));
    const int master = m_line.m_terminal.masterFd();
    for (;;) {
        if (!isOpen())
            return false;
        if (clientLeft()) {
            close();
            return false;
        }
        const short masterEvents = short(POLLIN | (bytesToWrite() > 0 ? POLLOUT : 0));
        pollfd fds[2] = {{master, masterEvents, 0}, {m_line.m_watch, POLLIN, 0}};
        const int ready = pollUntil(fds, 2, pollTimeout(deadline));
        if (ready == 0)
            return false;
        if (ready < 0 || (fds[0].revents & (POLLERR | POLLNVAL))) {
            close();
            return false;
        }
        if (fds[0].revents & POLLOUT) {
            const qint64 written = flushPending();
            if (written < 0) {
                close();
                return false;
            }
            if (written > 0) {
                emit bytesWritten(written);
                if (wanted == Moved::Written)
                    return true;
            }
        }
        if (fds[0].revents & (POLLIN | POLLHUP)) {
            char buffer[16384];
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            if (n <= 0) {
                close();
                return false;
            }
            // Bytes that came in after this client left were written by the next one.
            if (clientLeft()) {
                m_line.m_early.append(buffer, n);
                close();
                return false;
            }
            m_in.append(buffer, n);
            emit readyRead();
            if (wanted == Moved::Read)
                return true;
        }
    }
}
