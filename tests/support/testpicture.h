#pragma once

#include <cstdint>
#include <vector>

// Deterministic pictures in the decoder's layout (B, G, R, top row first) for codec and camera
// tests. Plain C++ on purpose: the virtual camera test that runs inside a VM uses them too.

// Smooth gradients under 16x16 blocks of flat colour: what JPEG keeps well. variant shifts the
// colours so that consecutive frames differ everywhere.
inline std::vector<std::uint8_t> makeTestPicture(int width, int height, int variant = 0)
{
    std::vector<std::uint8_t> bgr(static_cast<std::size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint8_t *pixel = &bgr[(static_cast<std::size_t>(y) * width + x) * 3];
            const int block = (x / 16 + y / 16 + variant) % 4;
            pixel[0] = static_cast<std::uint8_t>(block == 1 ? 200 : 40 + (x * 160) / (width > 1 ? width : 1));
            pixel[1] = static_cast<std::uint8_t>(block == 2 ? 220 : 30 + (y * 180) / (height > 1 ? height : 1));
            pixel[2] = static_cast<std::uint8_t>(block == 3 ? 230 : (60 + variant * 37) % 256);
        }
    }
    return bgr;
}

// Every byte from a small linear congruential generator: every colour, every edge.
inline std::vector<std::uint8_t> makeNoisePicture(int width, int height, std::uint32_t seed = 1)
{
    std::vector<std::uint8_t> bgr(static_cast<std::size_t>(width) * height * 3);
    for (std::uint8_t &byte : bgr) {
        seed = seed * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(seed >> 24);
    }
    return bgr;
}
