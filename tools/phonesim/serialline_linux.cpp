#include "serialline.h"

#include "pollwait.h"
#include "systemerror.h"

#include <QDeadlineTimer>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

int SerialLine::pollTimeout(const QDeadlineTimer &deadline)
{
    if (deadline.isForever())
        return -1;
    return int(std::clamp<qint64>(deadline.remainingTime(), 0, INT_MAX));
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
