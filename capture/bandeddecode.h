#pragma once

#include "pixeltransforms.h"

#include <cstddef>
#include <cstring>

// The decode of a frame's JPEG band by band, each band mirrored, turned and, for the camera,
// converted to YUYV while it is in cache.
namespace FramePixels {

// A small copy of the camera's picture: frame pixel (x, y), both multiples of step, at column x / step
// of row y / step; columns from shownWidth on, which the camera leaves out, are black.
struct Sample
{
    unsigned char *pixels = nullptr;
    std::ptrdiff_t stride = 0;
    int step = 1;
    int width = 0;
    int height = 0;
    int shownWidth = 0;

    // Where frame row y goes, or null when it is not sampled.
    unsigned char *row(int y) const
    {
        return y % step == 0 && y / step < height ? pixels + std::ptrdiff_t(y / step) * stride : nullptr;
    }
    void fillBlack() const
    {
        for (int y = 0; y < height; ++y)
            std::memset(pixels + y * stride, 0, std::size_t(width) * kPixelBytes);
    }
};

// Where the pixels of a banded decode end up: the frame's own B, G, R pixels, or the camera's YUYV
// and, when one is asked for, a sample of it.
struct Output
{
    unsigned char *bgr = nullptr;
    unsigned char *yuyv = nullptr;
    std::ptrdiff_t yuyvStride = 0;
    bool blackKept = false; // yuyv's black bands beside a turned square are there already
    Sample sample;
};

// Decodes the JPEG of a width x height frame, mirrored and then turned by turns (0, 1 or 3), into output.
bool decodeBanded(const unsigned char *jpeg, std::size_t length, int width, int height, bool mirrorX, bool mirrorY,
                  int turns, const Output &output);

} // namespace FramePixels
