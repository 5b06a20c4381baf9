#include "memorystream.h"

#include <cstring>

int MemoryStream::read(unsigned char *buffer, int length)
{
    if (length <= 0)
        return 0;
    ++readCalls;
    if (length > unreadBytes() || (failReadsAfter >= 0 && m_position + length > failReadsAfter))
        throw 0;
    std::memcpy(buffer, m_input.constData() + m_position, size_t(length));
    m_position += length;
    return length;
}

void MemoryStream::write(const unsigned char *buffer, int length)
{
    if (length <= 0)
        return;
    writes.append(QByteArray(reinterpret_cast<const char *>(buffer), length));
}
