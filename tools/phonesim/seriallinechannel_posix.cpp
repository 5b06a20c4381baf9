#include "seriallinechannel.h"

#include "pollwait.h"
#include "serialline.h"

#include <QDeadlineTimer>

#include <algorithm>
#include <cerrno>
#include <termios.h>
#include <unistd.h>

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
        const int ready = pollUntil(fds, 2, SerialLine::pollTimeout(deadline));
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
