#pragma once

#include <cstdint>
#include <vector>

// Converts B, G, R pixels (3 bytes each, rows of width * 3 bytes) to packed YUYV 4:2:2, BT.601 limited
// range, the format every common webcam consumer accepts. YUYV pairs pixels, so an odd width loses its
// last column: dst holds (width & ~1) * 2 bytes per row, height rows.
void bgrToYuyv(const std::uint8_t *bgr, int width, int height, std::uint8_t *yuyv);

// Where a picture of width x height lands when it is fitted into a frame: as large as the frame
// allows with its aspect kept, centred, an even number of pixels wide from an even column.
struct FittedRect
{
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};
FittedRect fitInto(int width, int height, int frameWidth, int frameHeight);

// Scales B, G, R pictures into YUYV frames of another size (frameWidth even), their aspect kept, with
// black bars left and right or above and below. A picture of the frame's own size (after an odd last
// column is dropped) is converted by bgrToYuyv alone, byte for byte as it would be without fitting.
// Keeps its scratch pictures from one frame to the next; one thread at a time.
class YuyvFitter
{
public:
    void fit(const std::uint8_t *bgr, int width, int height, std::uint8_t *yuyv, int frameWidth, int frameHeight);

private:
    std::vector<std::uint8_t> m_argb;
    std::vector<std::uint8_t> m_scaled;
};
