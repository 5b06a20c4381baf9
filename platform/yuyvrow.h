#pragma once

#include <cstddef>
#include <cstdint>

// One row of B, G, R pixels to YUYV, for bgrToYuyv(): width (even) pixels from bgr, width * 2 bytes to
// yuyv. A row function gives exactly the bytes of libyuv's ARGB route, which stays the judge: Y of
// each pixel is (66 R + 129 G + 25 B + 4224) >> 8; U and V are those of the pair's rounded average,
// (112 B - 74 G - 38 R + 32768) >> 8 and (112 R - 94 G - 18 B + 32768) >> 8.
using BgrToYuyvRow = void (*)(const std::uint8_t *bgr, std::uint8_t *yuyv, int width);

// The row function for this processor, or null where there is none faster than the ARGB route.
BgrToYuyvRow fastBgrToYuyvRow();

// The same for the columns of a quarter turn, with the contract of bgrColumnsToYuyv() (yuyv.h), or null
// where there is no faster way than gathering the picture and converting it.
using BgrColumnsToYuyv = void (*)(const std::uint8_t *const *columns, int count, int length, bool reversed,
                                  std::uint8_t *yuyv, std::ptrdiff_t stride);
BgrColumnsToYuyv fastBgrColumnsToYuyv();

// One row of a 4:2:0 JPEG picture before libjpeg-turbo upsamples and converts it, to the YUYV that the
// row function makes of the B, G, R row libjpeg-turbo would give, byte for byte: y holds width (at least
// 16) samples, the chroma rows (width + 1) / 2 each, cb and cr the nearest chroma rows, cbNext and
// crNext the next nearest (the row above for an even picture row, below for an odd one, repeated at the
// picture's edges). With mirrored (width even), the row is written mirrored left-right. Reads up to 16
// bytes past each chroma row; writes (width & ~1) * 2 bytes. Where bgrx is not null, it also gets the
// row's first width & ~1 pixels as libjpeg-turbo would give them, unmirrored, as B, G, R and a zero.
using Ycc420ToYuyvRow = void (*)(const std::uint8_t *y, const std::uint8_t *cb, const std::uint8_t *cbNext,
                                 const std::uint8_t *cr, const std::uint8_t *crNext, int width, bool mirrored,
                                 std::uint8_t *yuyv, std::uint8_t *bgrx);
Ycc420ToYuyvRow fastYcc420ToYuyvRow();
