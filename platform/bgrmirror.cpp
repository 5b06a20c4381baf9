#include "bgrmirror.h"

#include <libyuv/planar_functions.h>

void mirrorBgrRows(const std::uint8_t *src, std::ptrdiff_t srcStride, std::uint8_t *dst, std::ptrdiff_t dstStride,
                   int width, int rows)
{
    // libyuv's "RGB24" is any 3-byte pixel; its mirror keeps the bytes of each pixel in order.
    libyuv::RGB24Mirror(src, int(srcStride), dst, int(dstStride), width, rows);
}
