#pragma once

#include <vector>

// Encodes pixels in the decoder's layout (B, G, R, top row first) to a baseline 4:2:0 JPEG, the kind
// phone camera servers send, or with progressive set to a progressive one (a picture in several
// scans), with fullChroma set to one whose colour is kept at full size (4:4:4). For the phone
// simulator, tests, benchmarks and the fuzzer's seeds. Returns an empty vector when the picture cannot
// be encoded.
std::vector<unsigned char> encodeJpeg(const unsigned char *pixels, int width, int height, int quality = 85,
                                      bool progressive = false, bool fullChroma = false);
