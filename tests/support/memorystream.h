#pragma once

#include "transportstream.h"

#include <QByteArray>
#include <QList>

// A TransportStream over bytes in memory, for tests of what goes over the wire: read() serves the
// given input (throwing 0 when it runs out, as a silent peer would), write() records each call.
// failReadsAfter makes reads throw once that many bytes have been served.
class MemoryStream : public TransportStream
{
public:
    explicit MemoryStream(QByteArray input = {}) : m_input(std::move(input)) {}

    int open() override { return 0; }
    int close() override { ++closeCalls; return 0; }
    int read(unsigned char *buffer, int length) override;
    void write(const unsigned char *buffer, int length) override;

    int unreadBytes() const { return int(m_input.size()) - m_position; }
    QByteArray written() const { return writes.join(); }

    QList<QByteArray> writes;  // one entry per write() call
    int readCalls = 0;
    int closeCalls = 0;
    int failReadsAfter = -1;    // bytes served before every read fails; -1: never

private:
    QByteArray m_input;
    int m_position = 0;
};
