#include "referencetransforms.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

namespace reference {

namespace {

unsigned char *pixelAt(unsigned char *pixels, int width, int x, int y)
{
    return pixels + (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)) * 3;
}

} // namespace

void flipHorizontal(unsigned char *pixels, int width, int height)
{
    if (width <= 1)
        return;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width / 2; ++x) {
            unsigned char tmp[3];
            std::memcpy(tmp, pixelAt(pixels, width, x, y), 3);
            std::memcpy(pixelAt(pixels, width, x, y), pixelAt(pixels, width, width - 1 - x, y), 3);
            std::memcpy(pixelAt(pixels, width, width - 1 - x, y), tmp, 3);
        }
    }
}

void flipVertical(unsigned char *pixels, int width, int height)
{
    if (height <= 1)
        return;
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
    std::vector<unsigned char> tmp(rowBytes);
    for (int y = 0; y < height / 2; ++y) {
        unsigned char *top = pixelAt(pixels, width, 0, y);
        unsigned char *bottom = pixelAt(pixels, width, 0, height - 1 - y);
        std::memcpy(tmp.data(), top, rowBytes);
        std::memcpy(top, bottom, rowBytes);
        std::memcpy(bottom, tmp.data(), rowBytes);
    }
}

void rotate(unsigned char *pixels, int width, int height, int turns)
{
    if (turns != 1 && turns != 2 && turns != 3)
        return;
    const int scratchWidth = turns == 2 ? width : height;
    const int scratchHeight = turns == 2 ? height : width;
    std::vector<unsigned char> scratch(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            int sx = 0;
            int sy = 0;
            if (turns == 1) {
                sx = height - 1 - y;
                sy = x;
            } else if (turns == 2) {
                sx = width - 1 - x;
                sy = height - 1 - y;
            } else {
                sx = y;
                sy = width - 1 - x;
            }
            std::memcpy(pixelAt(scratch.data(), scratchWidth, sx, sy), pixelAt(pixels, width, x, y), 3);
        }
    }

    const int cropWidth = std::min(width, scratchWidth);
    const int cropHeight = std::min(height, scratchHeight);
    std::memset(pixels, 0, scratch.size());
    const int dx = (width - cropWidth) / 2;
    const int dy = (height - cropHeight) / 2;
    const int sx = (scratchWidth - cropWidth) / 2;
    const int sy = (scratchHeight - cropHeight) / 2;
    for (int j = 0; j < cropHeight; ++j)
        for (int i = 0; i < cropWidth; ++i)
            std::memcpy(pixelAt(pixels, width, dx + i, dy + j),
                        pixelAt(scratch.data(), scratchWidth, sx + i, sy + j), 3);
}

} // namespace reference
