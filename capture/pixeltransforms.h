#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>

// The pixel work behind the frames' mirrors and turns, on pictures of B, G, R pixels whose rows follow
// each other without gaps: shared by the transforms of whole pictures and the banded decode.
namespace FramePixels {

inline constexpr std::size_t kPixelBytes = 3;

// The quarter turn moves pixels with 4-byte loads, so a load at the last pixel reads one byte past
// the picture. The buffer carries that byte, zeroed.
inline constexpr std::size_t kLoadSlack = 1;

// Scratch memory of the transforms, per thread and use, grown and never shrunk: the capture thread
// turns every frame at the same size, so after the first frame no transform allocates.
enum class Scratch { Row, Band, MirroredBand };

unsigned char *scratch(std::size_t bytes, Scratch use = Scratch::Row);

// Mirrors one row of width pixels into dst, which must not overlap it.
void mirrorRow(const unsigned char *src, unsigned char *dst, int width);
// Mirrors a row in place through tmp, a row of scratch.
void mirrorRowInPlace(unsigned char *row, int width, unsigned char *tmp);

// Swaps each row above the middle with its counterpart below, through one row of scratch. With
// mirror set every row is also mirrored on the way, the middle row of an odd height in place: that
// reverses the order of all pixels, which is the half turn.
void swapRows(unsigned char *pixels, int width, int height, bool mirror);

// Fills columns 0 .. columns - 1 of rows 0 .. rows - 1 at dst, whose rows are dstRowBytes apart, with
// dst(i, j) = the pixel at src + j * stepJ + i * stepI. Tiles keep the strided side of the walk in
// cache. Each source pixel is read with 4 bytes, so one byte past the last must be readable.
void gatherBlock(const unsigned char *src, std::ptrdiff_t stepI, std::ptrdiff_t stepJ, int columns, int rows,
                 unsigned char *dst, std::size_t dstRowBytes);

// Where the quarter turn takes its pixels from. Only the centred side x side square of the turned
// picture shows, side being the smaller of the two, between black bands: dx columns on the left of a
// landscape frame, dy rows above a portrait one. Square pixel (column i, row j) is picture pixel
// (x0 + xStep * j, y0 + yStep * i), mirrors before the turn included: they only change where the
// walk starts and which way it goes.
struct QuarterTurn
{
    QuarterTurn(int width, int height, bool clockwise, bool mirrorX, bool mirrorY)
        : side(std::min(width, height))
        , dx((width - side) / 2)
        , dy((height - side) / 2)
    {
        // The square's origin in the picture before the turn. Both halvings round down in the turned
        // picture, so with an odd difference the source square sits one pixel further right (counter-
        // clockwise) or lower (clockwise) than the place it goes to.
        const int ox = clockwise ? dx : width - side - dx;
        const int oy = clockwise ? height - side - dy : dy;
        // Clockwise picture(ox + j, oy + side - 1 - i), counter-clockwise picture(ox + side - 1 - j, oy + i);
        // a mirror before the turn reflects x or y.
        x0 = clockwise ? ox : ox + side - 1;
        xStep = clockwise ? 1 : -1;
        y0 = clockwise ? oy + side - 1 : oy;
        yStep = clockwise ? -1 : 1;
        if (mirrorX) {
            x0 = width - 1 - x0;
            xStep = -xStep;
        }
        if (mirrorY) {
            y0 = height - 1 - y0;
            yStep = -yStep;
        }
    }

    // Square column of picture row y, which may lie outside 0 .. side - 1.
    int columnOf(int y) const { return (y - y0) * yStep; }

    // Blackens the bands around the square in a width x height picture. Each row of the square ends
    // with an exact 3-byte move, so none spills into them.
    void fillBands(unsigned char *pixels, int width, int height) const
    {
        const std::size_t rowBytes = static_cast<std::size_t>(width) * kPixelBytes;
        if (width == side) {
            // Portrait or square: the square is whole rows, bands above and below.
            std::memset(pixels, 0, static_cast<std::size_t>(dy) * rowBytes);
            std::memset(pixels + static_cast<std::size_t>(dy + side) * rowBytes, 0,
                        static_cast<std::size_t>(height - side - dy) * rowBytes);
            return;
        }
        // Landscape: every row is band, square row, band.
        const std::size_t left = static_cast<std::size_t>(dx) * kPixelBytes;
        const std::size_t right = rowBytes - left - static_cast<std::size_t>(side) * kPixelBytes;
        for (int y = 0; y < height; ++y) {
            unsigned char *row = pixels + static_cast<std::size_t>(y) * rowBytes;
            std::memset(row, 0, left);
            std::memset(row + rowBytes - right, 0, right);
        }
    }

    int side;
    int dx;
    int dy;
    int x0 = 0;
    int xStep = 1;
    int y0 = 0;
    int yStep = 1;
};

} // namespace FramePixels
