#include "transportstream.h"

#include <QtEndian>

#include <algorithm>
#include <cstdint>
#include <cstring>

int TransportStream::readU8()
{
    unsigned char b[1];
    read(b, 1);
    return b[0];
}

int TransportStream::readU16()
{
    unsigned char b[2];
    read(b, 2);
    return qFromBigEndian<quint16>(b);
}

int TransportStream::readU32()
{
    unsigned char b[4];
    read(b, 4);
    return static_cast<std::int32_t>(qFromBigEndian<quint32>(b));
}

void TransportStream::writeU8(int value)
{
    const unsigned char b[1] = {static_cast<unsigned char>(value)};
    write(b, 1);
}

void TransportStream::writeU32(int value)
{
    unsigned char b[4];
    qToBigEndian(static_cast<quint32>(value), b);
    write(b, 4);
}

void TransportStream::skip(int n)
{
    // Surplus reply bytes are rare and small; a huge count from a confused peer must not turn into a
    // huge allocation, so the bytes are drained through a fixed piece.
    constexpr int kPiece = 16 * 1024;
    unsigned char scratch[kPiece];
    try {
        while (n > 0) {
            const int chunk = std::min(n, kPiece);
            read(scratch, chunk);
            n -= chunk;
        }
    } catch (int) {
        // A reply whose surplus cannot be read still stands; the next read or write meets the stream
        // in whatever state this failure left it.
    }
}

int TransportStream::failWithErrno(int error, int code)
{
    m_failureReason = std::strerror(error);
    return code;
}
