#include "pixeltransforms.h"

#include "bgrmirror.h"

#include <vector>

namespace FramePixels {

namespace {

// Edge in pixels of the tiles of the quarter turn: 32 rows of 96 bytes on each side stay in L1 while
// one tile is turned (bench/README.md has the measured choice).
constexpr int kTile = 32;

} // namespace

unsigned char *scratch(std::size_t bytes, Scratch use)
{
    thread_local std::vector<unsigned char> buffers[3];
    std::vector<unsigned char> &buffer = buffers[static_cast<int>(use)];
    if (buffer.size() < bytes)
        buffer.resize(bytes);
    return buffer.data();
}

void mirrorRow(const unsigned char *src, unsigned char *dst, int width)
{
    mirrorBgrRows(src, 0, dst, 0, width, 1);
}

void mirrorRowInPlace(unsigned char *row, int width, unsigned char *tmp)
{
    mirrorRow(row, tmp, width);
    std::memcpy(row, tmp, static_cast<std::size_t>(width) * kPixelBytes);
}

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

void gatherBlock(const unsigned char *src, std::ptrdiff_t stepI, std::ptrdiff_t stepJ, int columns, int rows,
                 unsigned char *dst, std::size_t dstRowBytes)
{
    const std::size_t rowBytes = dstRowBytes;
    for (int i0 = 0; i0 < columns; i0 += kTile) {
        const int i1 = std::min(i0 + kTile, columns);
        for (int j0 = 0; j0 < rows; j0 += kTile) {
            const int j1 = std::min(j0 + kTile, rows);
            // A 4-byte move is cheaper than a 3-byte one. Its extra byte lands on the next pixel of
            // the row, which is written after it; only the last pixel of a block's row is moved
            // exactly, because the next pixel may be finished already.
            const int wideEnd = i1 == columns ? columns - 1 : i1;
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

} // namespace FramePixels
