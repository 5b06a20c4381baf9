#pragma once

#include <cstdint>

// Converts B, G, R pixels (3 bytes each, rows of width * 3 bytes) to packed YUYV 4:2:2, BT.601 limited
// range, the format every common webcam consumer accepts. YUYV pairs pixels, so an odd width loses its
// last column: dst holds (width & ~1) * 2 bytes per row, height rows.
void bgrToYuyv(const std::uint8_t *bgr, int width, int height, std::uint8_t *yuyv);
