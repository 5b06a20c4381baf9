#pragma once

#include <vector>

// Encodes pixels in the decoder's layout (B, G, R, top row first) to a baseline 4:2:0 JPEG, the kind
// phone camera servers send. For the phone simulator, tests and benchmarks. Returns an empty vector
// when the picture cannot be encoded.
std::vector<unsigned char> encodeJpeg(const unsigned char *pixels, int width, int height, int quality = 85);
