#pragma once

#include "pseudoterminal.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

class QDeadlineTimer;

// The simulator's end of a serial line: a pseudo-terminal whose slave is a plain binary line (no
// echo, no character processing), as a serial link to a phone is, and which follows every open and
// close of the slave by any process, so that it knows when a client comes and when it has gone.
//
// The line holds the slave open itself as well. That keeps the slave's settings and buffered input
// within its reach, and keeps the master from ever reporting a hang-up of its own: a client that
// closes and at once opens again is still seen as one that left and one that came.
class SerialLine
{
public:
    SerialLine();
    ~SerialLine();
    SerialLine(const SerialLine &) = delete;
    SerialLine &operator=(const SerialLine &) = delete;

    bool isOpen() const { return m_watch != -1; }
    QString errorString() const { return m_error; }
    QString path() const { return m_terminal.slavePath(); }

    // Waits up to timeoutMs (-1: without limit) until a client holds the slave open.
    bool waitForClient(int timeoutMs);
    // Waits up to timeoutMs until what was sent has been read, or the client has left.
    bool waitUntilRead(int timeoutMs);
    // Drops what was sent but never read, so that it cannot reach the next client.
    void discardUnread();

private:
    friend class SerialLineChannel;

    // Takes in the kernel's reports of opens and closes of the slave.
    void takeReports();
    // What poll() takes for the time left until the deadline.
    static int pollTimeout(const QDeadlineTimer &deadline);

    PseudoTerminal m_terminal;
    int m_slave = -1; // the line's own open of the slave
    int m_watch = -1; // inotify descriptor watching the slave's path
    int m_clients = 0;
    quint64 m_departures = 0; // times the last client closed the slave
    QByteArray m_early;       // bytes of a client that came before the last one's session ended
    QString m_error;
};
