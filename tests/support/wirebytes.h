#pragma once

#include <QByteArray>
#include <QtEndian>

// The 4 bytes of a 32-bit value as the camera protocol puts them on the wire: big-endian, a negative
// value in two's complement.
inline QByteArray bigEndianU32(quint32 value)
{
    QByteArray bytes(4, '\0');
    qToBigEndian(value, bytes.data());
    return bytes;
}
