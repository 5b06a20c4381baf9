#pragma once

#include "sessionconfig.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

class QIODevice;

// Serves one client connection of the camera protocol over a byte channel: answers the version,
// resolution and command-3 requests, then streams the given JPEG frames in a loop, each as a
// big-endian u32 length and the JPEG bytes.
//
// The channel is any open QIODevice used with its blocking calls (waitForReadyRead,
// waitForBytesWritten), so a socket and a serial line are served alike. A device tells that its
// peer went away by no longer being open or, for a socket, by leaving the connected state.
// Requests are accepted in any order until a resolution reply with status 1 starts the frame
// stream; any other byte from the client, then or before, is garbage and closes the channel.
class PhoneSession
{
public:
    enum class Outcome {
        PeerClosed,    // the client went away (or a write to it failed)
        Garbage,       // the client sent bytes that are no valid request
        ClosedByPlan,  // closeAfter frames were sent
    };

    // frames must stay alive and unchanged while serve() runs; it must not be empty.
    PhoneSession(const SessionConfig &config, const QList<QByteArray> &frames);

    // Runs the connection to its end. Closes the channel unless the peer has gone already.
    Outcome serve(QIODevice &channel);

    qint64 framesSent() const { return m_framesSent; }
    // What was wrong with the client's bytes when serve() returned Garbage.
    QString garbageReason() const { return m_garbageReason; }

    static QString describe(Outcome outcome);

private:
    enum class Step { Continue, Stop };

    bool handshake(QIODevice &channel, Outcome &outcome);
    void stream(QIODevice &channel, Outcome &outcome);
    Step sendRecord(QIODevice &channel, const QByteArray &record, Outcome &outcome);
    Step idle(QIODevice &channel, int ms, Outcome &outcome);

    QByteArray versionReply() const;
    QByteArray resolutionReply() const;

    const SessionConfig m_config;
    const QList<QByteArray> &m_frames;
    qint64 m_framesSent = 0;
    QString m_garbageReason;
};
