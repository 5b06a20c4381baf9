#pragma once

#include <vector>

// The simulator's moving test picture, made to look to a JPEG codec like a camera's: smooth
// gradients with vignetting, shapes that move, a sweeping hard edge, fine bars and mild sensor-like
// noise. At 1280x720 and quality 85 a frame encodes to roughly 60-150 KB.
//
// The picture depends only on the size and the frame number, and repeats every
// testPatternPeriod frames, so a pre-encoded loop of that length plays without a jump.
inline constexpr int testPatternPeriod = 60;

// Pixels of frame frameNumber: 3 bytes each in B, G, R order, top row first, no row gaps.
// Width and height must be positive.
std::vector<unsigned char> renderTestPattern(int width, int height, int frameNumber);
