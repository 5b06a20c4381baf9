#pragma once

#include <cstddef>
#include <cstdint>

// Mirrors rows of width B, G, R pixels (3 bytes each) left to right: row r of src, srcStride bytes
// apart, lands reversed on row r of dst, dstStride bytes apart (either stride may be negative). src and
// dst must not overlap. SIMD chosen at run time, several times faster than moving pixel by pixel.
void mirrorBgrRows(const std::uint8_t *src, std::ptrdiff_t srcStride, std::uint8_t *dst, std::ptrdiff_t dstStride,
                   int width, int rows);
