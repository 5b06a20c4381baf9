#pragma once

// The frame transforms written the plain way, one pixel at a time through a full scratch picture,
// as the standard the fast transforms of VideoFrame are compared against (tests and benchmarks).
// Pictures are width x height pixels of 3 bytes, rows top to bottom without gaps. Plain C++ so the
// benchmarks can compile it in without Qt.
namespace reference {

// Mirrors every row left-right.
void flipHorizontal(unsigned char *pixels, int width, int height);

// Mirrors the rows top-bottom.
void flipVertical(unsigned char *pixels, int width, int height);

// Turns clockwise by turns quarters (1, 2 or 3; anything else changes nothing) into a scratch
// picture, then copies its centred crop back over a black picture of the original size.
void rotate(unsigned char *pixels, int width, int height, int turns);

} // namespace reference
