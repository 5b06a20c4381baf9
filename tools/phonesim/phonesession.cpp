#include "phonesession.h"

#include <QAbstractSocket>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QIODevice>
#include <QVariant>
#include <QtEndian>

#include <algorithm>
#include <cmath>

namespace {

constexpr char surplusByte = char(0xEE);

// The protocol's integers are big-endian.
template <typename T>
void appendBigEndian(QByteArray &out, T value)
{
    char bytes[sizeof(T)];
    qToBigEndian(value, bytes);
    out.append(bytes, sizeof bytes);
}

bool peerGone(const QIODevice &channel)
{
    if (!channel.isOpen())
        return true;
    auto *socket = qobject_cast<const QAbstractSocket *>(&channel);
    return socket && socket->state() != QAbstractSocket::ConnectedState;
}

// Blocks until n bytes are buffered and reads them; false when the peer goes away first.
bool readExact(QIODevice &channel, char *out, qint64 n)
{
    while (channel.bytesAvailable() < n) {
        if (!channel.waitForReadyRead(-1) && channel.bytesAvailable() < n)
            return false;
    }
    return channel.read(out, n) == n;
}

bool writeAll(QIODevice &channel, const char *data, qint64 n)
{
    if (channel.write(data, n) != n)
        return false;
    while (channel.bytesToWrite() > 0) {
        if (!channel.waitForBytesWritten(-1) && (peerGone(channel) || channel.bytesToWrite() > 0))
            return false;
    }
    return true;
}

void closeChannel(QIODevice &channel)
{
    if (auto *socket = qobject_cast<QAbstractSocket *>(&channel)) {
        socket->disconnectFromHost();
        if (socket->state() != QAbstractSocket::UnconnectedState)
            socket->waitForDisconnected(1000);
    }
    channel.close();
}

QString hex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' '));
}

} // namespace

PhoneSession::PhoneSession(const SessionConfig &config, const QList<QByteArray> &frames)
    : m_config(config), m_frames(frames)
{
    Q_ASSERT(!frames.isEmpty());
}

PhoneSession::Outcome PhoneSession::serve(QIODevice &channel)
{
    if (auto *socket = qobject_cast<QAbstractSocket *>(&channel))
        socket->setSocketOption(QAbstractSocket::LowDelayOption, QVariant(1)); // chunks and frames leave at once

    m_framesSent = 0;
    m_garbageReason.clear();
    Outcome outcome = Outcome::PeerClosed;
    if (handshake(channel, outcome))
        stream(channel, outcome);
    if (!peerGone(channel))
        closeChannel(channel);
    return outcome;
}

QString PhoneSession::describe(Outcome outcome)
{
    switch (outcome) {
    case Outcome::PeerClosed:
        return QStringLiteral("client went away");
    case Outcome::Garbage:
        return QStringLiteral("garbage from client");
    case Outcome::ClosedByPlan:
        return QStringLiteral("closed as asked");
    }
    return {};
}

// Answers requests until a successful resolution reply; true when the frame stream should start.
bool PhoneSession::handshake(QIODevice &channel, Outcome &outcome)
{
    for (;;) {
        char header[5];
        if (!readExact(channel, header, 1)) {
            outcome = Outcome::PeerClosed;
            return false;
        }
        const int command = quint8(header[0]);
        if (command < 1 || command > 3) {
            m_garbageReason = QStringLiteral("unknown command %1").arg(hex(QByteArray(header, 1)));
            outcome = Outcome::Garbage;
            return false;
        }
        if (!readExact(channel, header + 1, 4)) {
            outcome = Outcome::PeerClosed;
            return false;
        }
        const quint32 length = qFromBigEndian<quint32>(header + 1);
        const quint32 wanted = command == 1 ? 2 : 0;
        if (length != wanted) {
            m_garbageReason = QStringLiteral("command %1 with payload length %2, expected %3")
                                  .arg(command).arg(length).arg(wanted);
            outcome = Outcome::Garbage;
            return false;
        }

        QByteArray reply;
        if (command == 1) {
            QByteArray payload(2, '\0');
            if (!readExact(channel, payload.data(), 2)) {
                outcome = Outcome::PeerClosed;
                return false;
            }
            if (payload != QByteArray("\x02\x13", 2)) {
                m_garbageReason = QStringLiteral("version query payload %1, expected 02 13").arg(hex(payload));
                outcome = Outcome::Garbage;
                return false;
            }
            reply = versionReply();
        } else if (command == 2) {
            reply = resolutionReply();
        } else {
            reply.append('\x03');
            appendBigEndian<quint32>(reply, 1);
            reply.append(char(m_config.command3Value));
        }
        if (!writeAll(channel, reply.constData(), reply.size())) {
            outcome = Outcome::PeerClosed;
            return false;
        }
        if (command == 2 && m_config.status == 1)
            return true;
    }
}

void PhoneSession::stream(QIODevice &channel, Outcome &outcome)
{
    // Frames are due on a fixed grid from the first one; a sender that falls behind by more than
    // a frame restarts the grid instead of bursting to catch up.
    const qint64 periodNs = m_config.fps > 0 ? qint64(std::llround(1e9 / m_config.fps)) : 0;
    QElapsedTimer clock;
    clock.start();
    qint64 gridStartNs = 0;
    qint64 gridFrames = 0;

    for (;;) {
        if (m_config.closeAfter >= 0 && m_framesSent >= m_config.closeAfter) {
            outcome = Outcome::ClosedByPlan;
            return;
        }
        if (m_config.silentAfter >= 0 && m_framesSent >= m_config.silentAfter) {
            idle(channel, -1, outcome);
            return;
        }

        int waitMs = 0; // still look at the client between frames sent as fast as possible
        if (periodNs > 0) {
            const qint64 dueNs = gridStartNs + gridFrames * periodNs;
            const qint64 nowNs = clock.nsecsElapsed();
            if (nowNs - dueNs > periodNs) {
                gridStartNs = nowNs;
                gridFrames = 0;
            } else if (dueNs > nowNs) {
                waitMs = int((dueNs - nowNs + 999'999) / 1'000'000);
            }
        }
        if (idle(channel, waitMs, outcome) == Step::Stop)
            return;

        const QByteArray &jpeg = m_frames.at(m_framesSent % m_frames.size());
        QByteArray record;
        record.reserve(jpeg.size() + 4);
        const bool overridden = m_framesSent == 0 && m_config.overrideFirstLength;
        appendBigEndian<quint32>(record, overridden ? quint32(m_config.firstLength) : quint32(jpeg.size()));
        record.append(jpeg);
        if (sendRecord(channel, record, outcome) == Step::Stop)
            return;
        ++m_framesSent;
        ++gridFrames;
    }
}

PhoneSession::Step PhoneSession::sendRecord(QIODevice &channel, const QByteArray &record, Outcome &outcome)
{
    const qint64 piece = m_config.chunkBytes > 0 ? m_config.chunkBytes : record.size();
    for (qint64 offset = 0; offset < record.size(); offset += piece) {
        if (offset > 0 && m_config.chunkPauseMs > 0 && idle(channel, m_config.chunkPauseMs, outcome) == Step::Stop)
            return Step::Stop;
        if (!writeAll(channel, record.constData() + offset, std::min(piece, record.size() - offset))) {
            outcome = Outcome::PeerClosed;
            return Step::Stop;
        }
    }
    return Step::Continue;
}

// Waits ms milliseconds (-1: until the connection ends) while watching the client, which has
// nothing more to say once frames flow.
PhoneSession::Step PhoneSession::idle(QIODevice &channel, int ms, Outcome &outcome)
{
    const QDeadlineTimer deadline(ms < 0 ? QDeadlineTimer(QDeadlineTimer::Forever) : QDeadlineTimer(ms));
    for (;;) {
        if (channel.bytesAvailable() > 0) {
            m_garbageReason = QStringLiteral("unexpected bytes %1 while streaming")
                                  .arg(hex(channel.peek(16)));
            outcome = Outcome::Garbage;
            return Step::Stop;
        }
        if (peerGone(channel)) {
            outcome = Outcome::PeerClosed;
            return Step::Stop;
        }
        if (deadline.hasExpired())
            return Step::Continue;
        const qint64 remaining = deadline.remainingTime();
        channel.waitForReadyRead(remaining < 0 ? -1 : int(remaining));
    }
}

QByteArray PhoneSession::versionReply() const
{
    QByteArray reply;
    reply.append('\x01');
    appendBigEndian<quint32>(reply, quint32(3 + m_config.surplus + m_config.claimSurplus));
    reply.append(char(m_config.versionMajor));
    reply.append(char(m_config.versionMinor));
    reply.append(char(m_config.thirdByte));
    reply.append(m_config.surplus, surplusByte);
    return reply;
}

QByteArray PhoneSession::resolutionReply() const
{
    QByteArray reply;
    reply.append('\x02');
    appendBigEndian<quint32>(reply, quint32(5 + m_config.surplus));
    reply.append(char(m_config.status));
    appendBigEndian(reply, quint16(m_config.width));
    appendBigEndian(reply, quint16(m_config.height));
    reply.append(m_config.surplus, surplusByte);
    return reply;
}
