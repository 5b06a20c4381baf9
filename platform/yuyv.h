#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Converts B, G, R pixels (3 bytes each, rows of width * 3 bytes) to packed YUYV 4:2:2, BT.601 limited
// range, the format every common webcam consumer accepts. YUYV pairs pixels, so an odd width loses its
// last column: dst holds (width & ~1) * 2 bytes per row, height rows.
void bgrToYuyv(const std::uint8_t *bgr, int width, int height, std::uint8_t *yuyv);

// The same for rows that lie bgrStride and yuyvStride bytes apart (either may be negative), such as a
// strip of columns of a larger picture. Each pixel pair converts alone, so a picture converted strip by
// strip, from even columns, gives the same bytes as converted whole.
void bgrToYuyv(const std::uint8_t *bgr, std::ptrdiff_t bgrStride, int width, int height, std::uint8_t *yuyv,
               std::ptrdiff_t yuyvStride);

// The YUYV of a picture whose columns are runs of B, G, R pixels, as a quarter turn makes them of the
// rows of a picture: column c is the length pixels from columns[c] on (black where columns[c] is
// null), pixel k in row k, or in row length - 1 - k when reversed; rows lie stride bytes apart, count
// is even. The bytes are those bgrToYuyv() makes of that picture, without the picture being made.
void bgrColumnsToYuyv(const std::uint8_t *const *columns, int count, int length, bool reversed, std::uint8_t *yuyv,
                      std::ptrdiff_t stride);

// Black (as bgrToYuyv makes it of black pixels) for pixels pixels from yuyv on, pixels even.
void fillYuyvBlack(std::uint8_t *yuyv, int pixels);

// A picture that writes itself into a YUYV frame of its own size, so that it can be made straight into
// the camera's frame, without a B, G, R copy of it in between.
class YuyvPicture
{
public:
    // Writes the picture as bgrToYuyv() would, into rows stride bytes apart. With blackKept, the frame
    // holds what the last picture written into it left, and that picture's blackKey() was this one's:
    // the black it shares need not be written again.
    virtual void toYuyv(std::uint8_t *yuyv, std::ptrdiff_t stride, bool blackKept) const = 0;
    // Pictures with the same nonzero key leave the same pixels of their frame black, whatever they show
    // (the bands beside a turned picture); 0 for a picture that writes every pixel.
    virtual std::uint64_t blackKey() const { return 0; }
    // The picture as B, G, R pixels, for fitting it into a frame of another size; null when it has none.
    virtual const std::uint8_t *bgr() const = 0;

protected:
    ~YuyvPicture() = default;
};

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
