#include "cameraprotocol.h"

#include "clientinfo.h"
#include "transportstream.h"
#include "videoframe.h"


namespace {
enum Command { VersionQuery = 1, ResolutionQuery = 2, Command3 = 3 };
}

CameraProtocol::CameraProtocol(TransportStream *stream)
    : m_stream(stream)
{
}

bool CameraProtocol::readReplyHeader(int command, int minimumLength, int &payloadLength)
{
    const int echoed = m_stream->readU8();
    payloadLength = m_stream->readU32();
    // A reply that fails this check leaves its payload unread; the connection ends after it anyway.
    return echoed == command && payloadLength >= minimumLength;
}

bool CameraProtocol::queryVersion(unsigned char &major, unsigned char &minor, unsigned char &third)
{
    if (!m_stream)
        return false;
    try {
        m_stream->writeU8(VersionQuery);
        m_stream->writeU32(2);
        m_stream->writeU8(ClientInfo::kMajorVersion);
        m_stream->writeU8(ClientInfo::kMinorVersion);
        int length;
        if (!readReplyHeader(VersionQuery, 3, length))
            return false;
        major = static_cast<unsigned char>(m_stream->readU8());
        minor = static_cast<unsigned char>(m_stream->readU8());
        third = static_cast<unsigned char>(m_stream->readU8());
        m_stream->skip(length - 3);
        return true;
    } catch (int) {
        return false;
    }
}

bool CameraProtocol::queryResolution(int &width, int &height)
{
    if (!m_stream)
        return false;
    try {
        m_stream->writeU8(ResolutionQuery);
        m_stream->writeU32(0);
        int length;
        if (!readReplyHeader(ResolutionQuery, 5, length))
            return false;
        const int status = m_stream->readU8();
        width = m_stream->readU16();
        height = m_stream->readU16();
        m_stream->skip(length - 5);
        return status == 1;
    } catch (int) {
        return false;
    }
}

bool CameraProtocol::queryCommand3(unsigned char &value)
{
    if (!m_stream)
        return false;
    try {
        m_stream->writeU8(Command3);
        m_stream->writeU32(0);
        int length;
        if (!readReplyHeader(Command3, 1, length))
            return false;
        value = static_cast<unsigned char>(m_stream->readU8());
        m_stream->skip(length - 1);
        return true;
    } catch (int) {
        return false;
    }
}

long long CameraProtocol::maxJpegLength(int width, int height)
{
    // A JPEG of a camera picture is far smaller than its raw pixels; six bytes a pixel bounds even an
    // uncompressible 4:4:4 picture, and the extra megabyte leaves room for metadata and thumbnails.
    return 6LL * (width > 0 ? width : 0) * (height > 0 ? height : 0) + 1024 * 1024;
}

std::unique_ptr<VideoFrame> CameraProtocol::receiveFrame(int width, int height)
{
    if (!m_stream)
        return nullptr;
    try {
        const int length = m_stream->readU32();
        // A negative or absurd length means the byte stream can no longer be trusted: end the stream
        // like any other receive failure instead of allocating whatever the wire asks for.
        if (length < 0 || length > maxJpegLength(width, height))
            return nullptr;
        // One buffer serves every frame of the connection: frames come one after another at about
        // the same size, so after the first few it never grows again.
        if (m_jpeg.size() < static_cast<std::size_t>(length))
            m_jpeg.resize(static_cast<std::size_t>(length));
        m_stream->read(m_jpeg.data(), length);
        m_receivedAt = std::chrono::steady_clock::now();
        return std::make_unique<VideoFrame>(m_jpeg.data(), length, width, height);
    } catch (int) {
        return nullptr;
    }
}
