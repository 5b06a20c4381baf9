#include "transportstream.h"

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
    return (b[0] << 8) | b[1];
}

int TransportStream::readU32()
{
    unsigned char b[4];
    read(b, 4);
    const std::uint32_t v = (std::uint32_t(b[0]) << 24) | (std::uint32_t(b[1]) << 16) | (std::uint32_t(b[2]) << 8) | b[3];
    return static_cast<std::int32_t>(v);
}

void TransportStream::writeU8(int value)
{
    const unsigned char b[1] = {static_cast<unsigned char>(value)};
    write(b, 1);
}

void TransportStream::writeU32(int value)
{
    const auto v = static_cast<std::uint32_t>(value);
    const unsigned char b[4] = {static_cast<unsigned char>(v >> 24), static_cast<unsigned char>(v >> 16),
                                static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
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
