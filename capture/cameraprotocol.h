#pragma once

#include <chrono>
#include <memory>
#include <vector>

class TransportStream;
class VideoFrame;

// The client side of the camera server's protocol, the same bytes over every transport.
//
//   request:  command (1 byte) | payload length (u32 BE) | payload
//   reply:    command echoed   | payload length (u32 BE) | payload (bytes beyond the known fields discarded)
//   frames:   JPEG length (u32 BE) | JPEG bytes, sent unasked after the resolution reply, forever
//
// Version query (1, payload: client major, minor) answers major, minor, a third byte; resolution query
// (2) answers status (1 = success), width, height (u16 BE each); command 3 answers one byte.
// Each query writes its whole request before reading. Every stream failure is caught here: a query
// then returns false and receiveFrame() null. The stream is borrowed, never opened or closed; a null
// stream makes every operation fail without I/O.
class CameraProtocol
{
public:
    explicit CameraProtocol(TransportStream *stream);

    bool queryVersion(unsigned char &major, unsigned char &minor, unsigned char &third);
    // width and height are stored as they arrive, even when the status then fails the query.
    bool queryResolution(int &width, int &height);
    bool queryCommand3(unsigned char &value);

    // Receives one frame and decodes it at width x height. Null when the stream fails or the announced
    // JPEG length is negative or larger than any JPEG of that size can be; a JPEG that does not decode
    // still gives a frame (not decoded). Frames are received one after another on one thread.
    std::unique_ptr<VideoFrame> receiveFrame(int width, int height);

    // When the last frame's bytes had all arrived: the start of its way to the virtual camera.
    std::chrono::steady_clock::time_point lastFrameReceivedAt() const { return m_receivedAt; }

    // The longest JPEG accepted for a frame of width x height.
    static long long maxJpegLength(int width, int height);

private:
    bool readReplyHeader(int command, int minimumLength, int &payloadLength);

    TransportStream *m_stream;
    std::vector<unsigned char> m_jpeg;
    std::chrono::steady_clock::time_point m_receivedAt;
};
