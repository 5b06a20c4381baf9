#include "videoframe.h"

#include "bandeddecode.h"
#include "clientinfo.h"
#include "pixeltransforms.h"
#include "yuyv.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <vector>

using namespace FramePixels;

namespace {

// A size beyond the client's largest frame comes from a broken handshake; such a frame gets no buffer
// rather than one that could take the machine down.
constexpr std::size_t kMaxPixels = std::size_t(ClientInfo::kMaxFramePixels);

// Bytes of a width x height picture, or 0 when there is no picture or it is beyond kMaxPixels.
// Written so that no intermediate product can overflow.
std::size_t pictureBytes(int width, int height)
{
    if (width <= 0 || height <= 0)
        return 0;
    if (static_cast<std::size_t>(width) > kMaxPixels / static_cast<std::size_t>(height))
        return 0;
    return static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * kPixelBytes;
}

// Buffers that frames on this thread have done with, for the next frames: the pixels, and the copies
// of the JPEGs. The capture thread makes one frame after another at one size, and a quarter turn writes
// into a second buffer; without this, every frame would take fresh pages from the system, which the
// kernel has to clear and map, at 720p about as much work as the frame's transforms. Two buffers
// suffice; a buffer serves any frame that it is large enough for.
class BufferPool
{
public:
    std::unique_ptr<unsigned char[]> take(std::size_t bytes, std::size_t &capacity)
    {
        for (Slot &slot : m_slots) {
            if (slot.buffer && slot.bytes >= bytes) {
                capacity = slot.bytes;
                return std::move(slot.buffer);
            }
        }
        capacity = bytes;
        return std::unique_ptr<unsigned char[]>(new (std::nothrow) unsigned char[bytes]);
    }

    std::unique_ptr<unsigned char[]> take(std::size_t bytes)
    {
        std::size_t capacity = 0;
        return take(bytes, capacity);
    }

    void give(std::unique_ptr<unsigned char[]> buffer, std::size_t bytes)
    {
        Slot *target = &m_slots[0];
        for (Slot &slot : m_slots) {
            if (!slot.buffer) {
                target = &slot;
                break;
            }
        }
        target->buffer = std::move(buffer);
        target->bytes = bytes;
    }

private:
    struct Slot
    {
        std::unique_ptr<unsigned char[]> buffer;
        std::size_t bytes = 0;
    };
    Slot m_slots[2];
};
thread_local BufferPool pool;
thread_local BufferPool jpegPool;

// Quarter turn of decoded pixels fitted back into width x height, after mirroring left-right and/or
// top-bottom: only the square is turned, into a second buffer between black bands, which then becomes
// the frame's.
void quarterTurn(std::unique_ptr<unsigned char[]> &pixels, int width, int height, bool clockwise, bool mirrorX,
                 bool mirrorY)
{
    const std::size_t bytes = pictureBytes(width, height);
    std::unique_ptr<unsigned char[]> turned = pool.take(bytes + kLoadSlack);
    if (!turned) {
        std::memset(pixels.get(), 0, bytes); // no memory for the turn: black rather than unturned
        return;
    }
    std::memset(turned.get() + bytes, 0, kLoadSlack);

    const QuarterTurn turn(width, height, clockwise, mirrorX, mirrorY);
    const std::ptrdiff_t stride = static_cast<std::ptrdiff_t>(width) * static_cast<std::ptrdiff_t>(kPixelBytes);
    const std::ptrdiff_t pixel = kPixelBytes;
    turn.fillBands(turned.get(), width, height);
    gatherBlock(pixels.get() + turn.y0 * stride + turn.x0 * pixel, turn.yStep * stride, turn.xStep * pixel, turn.side,
                turn.side, turned.get() + turn.dy * stride + turn.dx * pixel, static_cast<std::size_t>(stride));

    pool.give(std::move(pixels), bytes + kLoadSlack);
    pixels = std::move(turned);
}

} // namespace

VideoFrame::VideoFrame(const unsigned char *jpeg, int jpegLength, int width, int height)
    : m_width(width)
    , m_height(height)
{
    if (pictureBytes(width, height) == 0)
        return;
    m_pending = true;
    if (!jpeg || jpegLength <= 0)
        return;
    // Rounded up, so that a copy serves the following frames of about the same size.
    constexpr std::size_t kJpegGrain = 64 * 1024;
    const std::size_t length = static_cast<std::size_t>(jpegLength);
    m_jpeg = jpegPool.take((length + kJpegGrain - 1) / kJpegGrain * kJpegGrain, m_jpegCapacity);
    if (!m_jpeg)
        return; // no memory for the copy: a black frame, as for any JPEG that does not decode
    std::memcpy(m_jpeg.get(), jpeg, length);
    m_jpegLength = length;
}

VideoFrame::~VideoFrame()
{
    releaseJpeg();
    if (m_data)
        pool.give(std::move(m_data), pictureBytes(m_width, m_height) + kLoadSlack);
}

void VideoFrame::releaseJpeg() const
{
    if (m_jpeg)
        jpegPool.give(std::move(m_jpeg), m_jpegCapacity);
}

void VideoFrame::makePixels() const
{
    if (!m_pending)
        return;
    m_pending = false;
    const std::size_t bytes = pictureBytes(m_width, m_height);
    m_data = pool.take(bytes + kLoadSlack);
    if (m_data) {
        std::memset(m_data.get() + bytes, 0, kLoadSlack);
        Output output;
        output.bgr = m_data.get();
        const bool decoded = m_jpeg && decodeBanded(m_jpeg.get(), m_jpegLength, m_width, m_height, m_mirrorX, m_mirrorY, m_turns, output);
        m_decode = decoded ? Decode::Done : Decode::Failed;
        // A failed decode may have left part of a picture, or nothing; either way the camera gets
        // black, never old heap contents.
        if (!decoded)
            std::memset(m_data.get(), 0, bytes);
    }
    releaseJpeg();
}

std::uint64_t VideoFrame::blackKey() const
{
    // The bands depend on the frame's size alone: the turned square is centred either way round and
    // whatever the mirrors.
    if (!m_pending || !m_jpeg || m_turns == 0)
        return 0;
    return std::uint64_t(m_width) << 32 | std::uint64_t(m_height) << 1 | 1;
}

void VideoFrame::toYuyv(unsigned char *yuyv, std::ptrdiff_t stride, bool blackKept) const
{
    if (!m_pending) {
        if (m_data)
            bgrToYuyv(m_data.get(), static_cast<std::ptrdiff_t>(m_width) * std::ptrdiff_t(kPixelBytes), m_width, m_height, yuyv,
                      stride);
        return;
    }
    Output output;
    output.yuyv = yuyv;
    output.yuyvStride = stride;
    output.blackKept = blackKept;
    if (m_sample) {
        output.sample = Sample{m_sample, m_sampleStride, m_sampleStep, std::max(1, m_width / m_sampleStep),
                               std::max(1, m_height / m_sampleStep), m_width & ~1};
    }
    const bool decoded = m_jpeg && decodeBanded(m_jpeg.get(), m_jpegLength, m_width, m_height, m_mirrorX, m_mirrorY, m_turns, output);
    m_decode = decoded ? Decode::Done : Decode::Failed;
    if (!decoded) {
        for (int y = 0; y < m_height; ++y)
            fillYuyvBlack(yuyv + y * stride, m_width & ~1);
        if (output.sample.pixels)
            output.sample.fillBlack();
    }
    m_sampled = output.sample.pixels != nullptr;
    m_sample = nullptr; // the copy is the asker's from here on
}

void VideoFrame::keepSample(unsigned char *sample, std::ptrdiff_t stride, int step)
{
    if (step < 1)
        return;
    m_sample = sample;
    m_sampleStride = stride;
    m_sampleStep = step;
}

bool VideoFrame::isDecoded() const
{
    if (m_decode == Decode::NotYet)
        makePixels();
    return m_decode == Decode::Done;
}

unsigned char *VideoFrame::data()
{
    makePixels();
    return m_data.get();
}

const unsigned char *VideoFrame::data() const
{
    makePixels();
    return m_data.get();
}

std::size_t VideoFrame::byteCount() const
{
    return m_pending || m_data ? pictureBytes(m_width, m_height) : 0;
}

void VideoFrame::flipHorizontal()
{
    if (m_pending && m_turns == 0) {
        m_mirrorX = !m_mirrorX;
        return;
    }
    makePixels();
    if (m_decode != Decode::Done || m_width < 2)
        return;
    const std::size_t rowBytes = static_cast<std::size_t>(m_width) * kPixelBytes;
    unsigned char *tmp = scratch(rowBytes);
    for (int y = 0; y < m_height; ++y)
        mirrorRowInPlace(m_data.get() + static_cast<std::size_t>(y) * rowBytes, m_width, tmp);
}

void VideoFrame::flipVertical()
{
    if (m_pending && m_turns == 0) {
        m_mirrorY = !m_mirrorY;
        return;
    }
    makePixels();
    if (m_decode != Decode::Done || m_height < 2)
        return;
    swapRows(m_data.get(), m_width, m_height, false);
}

void VideoFrame::rotate(int turns)
{
    transform(false, false, turns);
}

void VideoFrame::transform(bool mirrorLeftRight, bool mirrorTopBottom, int turns)
{
    // Before the pixels are made, mirrors and half turns add up (the half turn is both mirrors), and a
    // quarter turn comes last; a transform after a quarter turn works on the pixels.
    if (m_pending && m_turns == 0) {
        const bool halfTurn = turns == 2;
        m_mirrorX = m_mirrorX != (mirrorLeftRight != halfTurn);
        m_mirrorY = m_mirrorY != (mirrorTopBottom != halfTurn);
        if (turns == 1 || turns == 3)
            m_turns = turns;
        return;
    }
    makePixels();
    if (!m_data)
        return;
    if (m_decode != Decode::Done)
        mirrorLeftRight = mirrorTopBottom = false; // as flipHorizontal and flipVertical would
    if (turns == 1 || turns == 3) {
        quarterTurn(m_data, m_width, m_height, turns == 1, mirrorLeftRight, mirrorTopBottom);
        return;
    }
    // The half turn is both mirrors at once, so mirrors and half turn together are again mirrors.
    if (turns == 2) {
        mirrorLeftRight = !mirrorLeftRight;
        mirrorTopBottom = !mirrorTopBottom;
    }
    if (mirrorTopBottom)
        swapRows(m_data.get(), m_width, m_height, mirrorLeftRight);
    else if (mirrorLeftRight)
        flipHorizontal();
}
