#pragma once

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
