#include "loopbackdevice.h"

#include <linux/videodev2.h>
#include <sys/mman.h>

// How v4l2loopback keeps its ring (0.12.7 and 0.15.0 alike): every queued output buffer becomes the
// newest frame at once, and a reader takes the newest, or the one before it when it is a frame
// behind. Its output queue never holds a buffer back, so VIDIOC_DQBUF only reorders the ring, and
// not the same way in both versions: 0.12.7 hands back the buffer just queued, which readers are
// still taking, and 0.15.0 moves the buffer it hands back to the newest place, where a reader that
// starts while it is being filled (its REQBUFS renumbers the ring from that order) takes it for the
// newest frame. So the buffers are queued in turn, without DQBUF: the one filled is always the one
// queued longest ago, as with write(), and the newest frame stays whole while the next is made.

LoopbackBuffers::~LoopbackBuffers()
{
    stop();
}

bool LoopbackBuffers::start(int fd, std::size_t frameBytes)
{
    stop();
    v4l2_requestbuffers request{};
    request.count = kCount;
    request.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    request.memory = V4L2_MEMORY_MMAP;
    // One buffer would be filled while readers take it.
    if (loopbackIoctl(fd, VIDIOC_REQBUFS, &request) < 0 || request.count < kCount)
        return false;
    m_fd = fd;
    m_frameBytes = frameBytes;
    for (unsigned index = 0; index < kCount; ++index) {
        v4l2_buffer buffer{};
        buffer.index = index;
        buffer.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
        buffer.memory = V4L2_MEMORY_MMAP;
        if (loopbackIoctl(fd, VIDIOC_QUERYBUF, &buffer) < 0 || buffer.length < frameBytes) {
            stop();
            return false;
        }
        void *data = ::mmap(nullptr, buffer.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, buffer.m.offset);
        if (data == MAP_FAILED) {
            stop();
            return false;
        }
        m_maps[m_count++] = Map{static_cast<std::uint8_t *>(data), buffer.length};
    }
    int type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    if (loopbackIoctl(fd, VIDIOC_STREAMON, &type) < 0) {
        stop();
        return false;
    }
    return true;
}

bool LoopbackBuffers::queue()
{
    v4l2_buffer buffer{};
    buffer.index = m_next;
    buffer.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    buffer.memory = V4L2_MEMORY_MMAP;
    buffer.bytesused = static_cast<std::uint32_t>(m_frameBytes);
    buffer.field = V4L2_FIELD_NONE;
    if (loopbackIoctl(m_fd, VIDIOC_QBUF, &buffer) < 0)
        return false;
    m_next = (m_next + 1) % m_count;
    return true;
}

void LoopbackBuffers::stop()
{
    for (unsigned i = 0; i < m_count; ++i)
        ::munmap(m_maps[i].data, m_maps[i].length);
    m_count = 0;
    m_next = 0;
    m_fd = -1;
}
