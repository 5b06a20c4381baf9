#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QString>
#include <QtGlobal>

// A pseudo-terminal pair: the slave (/dev/pts/N) is an ordinary tty for whoever opens it, as a serial
// port would be, and this object holds the master, whose reads and writes are the other end of that
// line. Reads of the master get what clients of the slave wrote; writes to it arrive as their input.
//
// Closing the master hangs up every open of the slave, and the slave's path goes away.
class PseudoTerminal
{
public:
    // Opens a new pair; isOpen() tells whether that worked and errorString() why not.
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal &) = delete;
    PseudoTerminal &operator=(const PseudoTerminal &) = delete;

    bool isOpen() const { return m_master != -1; }
    QString errorString() const { return m_error; }

    QString slavePath() const { return m_slavePath; } // e.g. /dev/pts/3
    int slaveNumber() const { return m_slaveNumber; } // 3 for /dev/pts/3; -1 when not open
    // The master, non-blocking and closed on exec; -1 when not open or hung up.
    int masterFd() const { return m_master; }

    // Closes the master: every client of the slave sees the line hang up.
    void hangUp();

private:
    int m_master = -1;
    int m_slaveNumber = -1;
    QString m_slavePath;
    QString m_error;
};

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

    PseudoTerminal m_terminal;
    int m_slave = -1; // the line's own open of the slave
    int m_watch = -1; // inotify descriptor watching the slave's path
    int m_clients = 0;
    quint64 m_departures = 0; // times the last client closed the slave
    QByteArray m_early;       // bytes of a client that came before the last one's session ended
    QString m_error;
};

// One client's connection over a SerialLine, as the blocking QIODevice that PhoneSession serves:
// waitForReadyRead() and waitForBytesWritten() move bytes between the master and in-memory buffers.
// Once the client has closed the slave the channel closes itself and no longer reads or writes, so
// nothing meant for this client reaches the next one.
class SerialLineChannel : public QIODevice
{
public:
    // Opens the channel for the client that holds the line now.
    explicit SerialLineChannel(SerialLine &line);
    ~SerialLineChannel() override;

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override;
    qint64 bytesToWrite() const override;
    bool waitForReadyRead(int msecs) override;
    bool waitForBytesWritten(int msecs) override;
    void close() override;

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 maxSize) override;

private:
    enum class Moved { Read, Written };
    // Reads and writes until `wanted` has happened, msecs pass or the client leaves.
    bool waitFor(Moved wanted, int msecs);
    bool clientLeft();
    // Writes what it can without blocking; the number written, -1 when the line failed.
    qint64 flushPending();

    SerialLine &m_line;
    const quint64 m_departuresAtStart;
    QByteArray m_in;
    QByteArray m_out;
    qint64 m_sent = 0; // of m_out
};
