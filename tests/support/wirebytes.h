#pragma once

#include <QByteArray>

// The 4 bytes of a 32-bit value as the camera protocol puts them on the wire: big-endian, a negative
// value in two's complement.
inline QByteArray bigEndianU32(quint32 value)
{
    QByteArray bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = char(value >> (24 - 8 * i));
    return bytes;
}
