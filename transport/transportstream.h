#pragma once

#include <string>
#include <utility>

// A byte stream to the phone's camera server, whatever carries it (TCP, USB forward, Bluetooth, serial).
//
// Failure convention, shared by every stream: open() returns 0 or a negative code of the stream's own;
// read() and write() move exactly the requested bytes or throw a plain int: 0 for a read failure, a
// time-out or use of a closed stream, 1 for a rejected write. A stream whose transport failed closes
// itself before throwing (a socket stream's read time-out leaves it open). close() may be called any
// number of times. Each object serves one connection: open, use, close, free.
//
// One thread uses a stream at a time; streams take no locks.
class TransportStream
{
public:
    virtual ~TransportStream() = default;

    virtual int open() = 0;
    virtual int close() = 0;
    // Fills exactly length bytes or throws; length <= 0 returns at once. The result means nothing.
    virtual int read(unsigned char *buffer, int length) = 0;
    // Sends exactly length bytes or throws; length <= 0 returns at once.
    virtual void write(const unsigned char *buffer, int length) = 0;

    // Wire helpers: big-endian integers, each moved with exactly one read() or write() call.
    // The readers and writers let the int exception pass; skip() swallows it.
    int readU8();
    int readU16();
    int readU32(); // the 32 bits as a signed int: a value with the top bit set comes out negative
    void writeU8(int value);
    void writeU32(int value);
    // Consumes and discards n bytes (n < 1: nothing). Reads in bounded pieces, so a count from the wire
    // cannot make it allocate without bound; a failure ends it quietly.
    void skip(int n);

    // After open() failed: what the system answered, in its own words ("Connection refused", "No such
    // file or directory"); empty when it said nothing. For the user's details, never for decisions.
    const std::string &failureReason() const { return m_failureReason; }

protected:
    TransportStream() = default;
    TransportStream(const TransportStream &) = delete;
    TransportStream &operator=(const TransportStream &) = delete;

    void setFailureReason(std::string reason) { m_failureReason = std::move(reason); }
    // Sets the system's text for errno value error and returns code, for a failing open().
    int failWithErrno(int error, int code);

private:
    std::string m_failureReason;
};
