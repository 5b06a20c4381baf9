#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QtGlobal>

class SerialLine;

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
