#include "videoframe.h"

#include "clientinfo.h"
#include "jpegdecoder.h"

#include <libyuv/planar_functions.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <vector>

namespace {

constexpr std::size_t kPixelBytes = 3;

// A size beyond the client's largest frame comes from a broken handshake; such a frame gets no buffer
// rather than one that could take the machine down.
constexpr std::size_t kMaxPixels = std::size_t(ClientInfo::kMaxFramePixels);

// The quarter turn moves pixels with 4-byte loads, so a load at the last pixel reads one byte past
// the picture. The buffer carries that byte, zeroed.
constexpr std::size_t kLoadSlack = 1;

// Edge in pixels of the tiles of the quarter turn: 32 rows of 96 bytes on each side stay in L1 while
// one tile is turned (bench/README.md has the measured choice).
constexpr int kTile = 32;

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

// Scratch memory of the transforms, per thread, grown and never shrunk: the capture thread turns
// every frame at the same size, so after the first frame no transform allocates.
unsigned char *scratch(std::size_t bytes)
{
    thread_local std::vector<unsigned char> buffer;
    if (buffer.size() < bytes)
        buffer.resize(bytes);
    return buffer.data();
}

// Pixel buffers that frames on this thread have done with, for the next frames of the same size.
// The capture thread makes one frame after another at one size, and a quarter turn writes into a
// second buffer; without this, every frame would take fresh pages from the system, which the kernel
// has to clear and map, at 720p about as much work as the frame's transforms. Two buffers suffice.
class BufferPool
{
public:
    std::unique_ptr<unsigned char[]> take(std::size_t bytes)
    {
        for (Slot &slot : m_slots) {
            if (slot.buffer && slot.bytes == bytes)
                return std::move(slot.buffer);
        }
        return std::unique_ptr<unsigned char[]>(new (std::nothrow) unsigned char[bytes]);
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

// Mirrors one row of width pixels into dst, which must not overlap it. libyuv picks its SIMD
// version at run time, far faster than swapping pixel by pixel in place.
void mirrorRow(const unsigned char *src, unsigned char *dst, int width)
{
    libyuv::RGB24Mirror(src, 0, dst, 0, width, 1);
}

void mirrorRowInPlace(unsigned char *row, int width, unsigned char *tmp)
{
    mirrorRow(row, tmp, width);
    std::memcpy(row, tmp, static_cast<std::size_t>(width) * kPixelBytes);
}

// Swaps each row above the middle with its counterpart below, through one row of scratch. With
// mirror set every row is also mirrored on the way, the middle row of an odd height in place: that
// reverses the order of all pixels, which is the half turn.
void swapRows(unsigned char *pixels, int width, int height, bool mirror)
{
    const std::size_t rowBytes = static_cast<std::size_t>(width) * kPixelBytes;
    unsigned char *tmp = scratch(rowBytes);
    unsigned char *top = pixels;
    unsigned char *bottom = pixels + (static_cast<std::size_t>(height) - 1) * rowBytes;
    for (; top < bottom; top += rowBytes, bottom -= rowBytes) {
        if (mirror) {
            mirrorRow(top, tmp, width);
            mirrorRow(bottom, top, width);
        } else {
            std::memcpy(tmp, top, rowBytes);
            std::memcpy(top, bottom, rowBytes);
        }
        std::memcpy(bottom, tmp, rowBytes);
    }
    if (mirror && top == bottom)
        mirrorRowInPlace(top, width, tmp);
}

// Fills the side x side square at dst, whose rows are dstRowBytes apart, with dst(i, j) = the pixel
// at src + j * stepJ + i * stepI. Tiles keep the strided side of the walk in cache.
void gatherSquare(const unsigned char *src, std::ptrdiff_t stepI, std::ptrdiff_t stepJ, int side,
                  unsigned char *dst, std::size_t dstRowBytes)
{
    const std::size_t rowBytes = dstRowBytes;
    for (int i0 = 0; i0 < side; i0 += kTile) {
        const int i1 = std::min(i0 + kTile, side);
        for (int j0 = 0; j0 < side; j0 += kTile) {
            const int j1 = std::min(j0 + kTile, side);
            // A 4-byte move is cheaper than a 3-byte one. Its extra byte lands on the next pixel of
            // the row, which is written after it; only the last pixel of a row is moved exactly,
            // because the next row may be finished already.
            const int wideEnd = i1 == side ? side - 1 : i1;
            for (int j = j0; j < j1; ++j) {
                unsigned char *d = dst + static_cast<std::size_t>(j) * rowBytes;
                const unsigned char *s = src + j * stepJ;
                int i = i0;
                for (; i + 4 <= wideEnd; i += 4) { // unrolled by four, as measured best
                    unsigned char *d4 = d + i * kPixelBytes;
                    const unsigned char *s4 = s + i * stepI;
                    std::memcpy(d4, s4, 4);
                    std::memcpy(d4 + 3, s4 + stepI, 4);
                    std::memcpy(d4 + 6, s4 + 2 * stepI, 4);
                    std::memcpy(d4 + 9, s4 + 3 * stepI, 4);
                }
                for (; i < wideEnd; ++i)
                    std::memcpy(d + i * kPixelBytes, s + i * stepI, 4);
                if (i < i1)
                    std::memcpy(d + i * kPixelBytes, s + i * stepI, kPixelBytes);
            }
        }
    }
}

// Quarter turn fitted back into width x height, after mirroring left-right and/or top-bottom: only
// the centred side x side square of the turned picture shows, side being the smaller of the two, so
// only that square is turned, into a second buffer between black bands, which then becomes the
// frame's. The mirrors cost nothing extra: they only change where in the picture the square's walk
// starts and which way it goes.
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

    const int side = std::min(width, height);
    const int dx = (width - side) / 2;
    const int dy = (height - side) / 2;
    // The square's origin in the picture before the turn. Both halvings round down in the turned
    // picture, so with an odd difference the source square sits one pixel further right (counter-
    // clockwise) or lower (clockwise) than the place it goes to.
    const int ox = clockwise ? dx : width - side - dx;
    const int oy = clockwise ? height - side - dy : dy;

    // square(i, j) = picture(x0 + xStep * j, y0 + yStep * i): clockwise picture(ox + j, oy + side - 1 - i),
    // counter-clockwise picture(ox + side - 1 - j, oy + i); a mirror before the turn reflects x or y.
    int x0 = clockwise ? ox : ox + side - 1;
    int xStep = clockwise ? 1 : -1;
    int y0 = clockwise ? oy + side - 1 : oy;
    int yStep = clockwise ? -1 : 1;
    if (mirrorX) {
        x0 = width - 1 - x0;
        xStep = -xStep;
    }
    if (mirrorY) {
        y0 = height - 1 - y0;
        yStep = -yStep;
    }

    const std::ptrdiff_t stride = static_cast<std::ptrdiff_t>(width) * static_cast<std::ptrdiff_t>(kPixelBytes);
    const std::ptrdiff_t pixel = kPixelBytes;
    const std::size_t rowBytes = static_cast<std::size_t>(stride);
    const std::size_t squareRowBytes = static_cast<std::size_t>(side) * kPixelBytes;
    unsigned char *out = turned.get();
    // The bands first: each row of the square ends with an exact 3-byte move, so none spills into them.
    if (width == side) {
        // Portrait or square: the square is whole rows, bands above and below.
        const std::size_t above = static_cast<std::size_t>(dy) * rowBytes;
        std::memset(out, 0, above);
        std::memset(out + above + squareRowBytes * static_cast<std::size_t>(side), 0,
                    static_cast<std::size_t>(height - side - dy) * rowBytes);
        out += above;
    } else {
        // Landscape: every row is band, square row, band.
        const std::size_t left = static_cast<std::size_t>(dx) * kPixelBytes;
        const std::size_t right = rowBytes - left - squareRowBytes;
        for (int y = 0; y < height; ++y) {
            unsigned char *row = out + static_cast<std::size_t>(y) * rowBytes;
            std::memset(row, 0, left);
            std::memset(row + left + squareRowBytes, 0, right);
        }
        out += left;
    }
    gatherSquare(pixels.get() + y0 * stride + x0 * pixel, yStep * stride, xStep * pixel, side, out, rowBytes);

    pool.give(std::move(pixels), bytes + kLoadSlack);
    pixels = std::move(turned);
}

} // namespace

VideoFrame::VideoFrame(const unsigned char *jpeg, int jpegLength, int width, int height)
    : m_width(width)
    , m_height(height)
{
    const std::size_t bytes = pictureBytes(width, height);
    if (bytes == 0)
        return;
    m_data = pool.take(bytes + kLoadSlack);
    if (!m_data)
        return;
    std::memset(m_data.get() + bytes, 0, kLoadSlack);

    if (jpeg && jpegLength > 0) {
        JpegDecoder decoder;
        m_decoded = decoder.decode(jpeg, static_cast<unsigned long>(jpegLength), m_data.get(), width, height) != 0;
    }
    // A failed decode may have left part of a picture, or nothing; either way the camera gets black,
    // never old heap contents.
    if (!m_decoded)
        std::memset(m_data.get(), 0, bytes);
}

VideoFrame::~VideoFrame()
{
    if (m_data)
        pool.give(std::move(m_data), pictureBytes(m_width, m_height) + kLoadSlack);
}

std::size_t VideoFrame::byteCount() const
{
    return m_data ? pictureBytes(m_width, m_height) : 0;
}

void VideoFrame::flipHorizontal()
{
    if (!m_decoded || m_width < 2)
        return;
    const std::size_t rowBytes = static_cast<std::size_t>(m_width) * kPixelBytes;
    unsigned char *tmp = scratch(rowBytes);
    for (int y = 0; y < m_height; ++y)
        mirrorRowInPlace(m_data.get() + static_cast<std::size_t>(y) * rowBytes, m_width, tmp);
}

void VideoFrame::flipVertical()
{
    if (!m_decoded || m_height < 2)
        return;
    swapRows(m_data.get(), m_width, m_height, false);
}

void VideoFrame::rotate(int turns)
{
    transform(false, false, turns);
}

void VideoFrame::transform(bool mirrorLeftRight, bool mirrorTopBottom, int turns)
{
    if (!m_data)
        return;
    if (!m_decoded)
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
