#include "yuyv.h"

#include "yuyvrow.h"

#include <libyuv/convert_argb.h>
#include <libyuv/convert_from_argb.h>
#include <libyuv/scale_argb.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// libyuv has no direct 3-byte-to-YUY2 path, so where there is no row function of our own the
// pixels pass through ARGB a strip of rows at a time. A strip small enough to stay in the L1 cache
// between the two passes is what makes this fast (bench/README.md has the figures); libyuv's own
// per-call set-up, a few rows of scratch it allocates each time, costs less than the misses.
constexpr int stripBytes = 12 * 1024;

} // namespace

void bgrToYuyv(const std::uint8_t *bgr, int width, int height, std::uint8_t *yuyv)
{
    bgrToYuyv(bgr, std::ptrdiff_t(width) * 3, width, height, yuyv, std::ptrdiff_t(width & ~1) * 2);
}

void bgrToYuyv(const std::uint8_t *bgr, std::ptrdiff_t bgrStride, int width, int height, std::uint8_t *yuyv,
               std::ptrdiff_t yuyvStride)
{
    const int evenWidth = width & ~1;
    if (!bgr || !yuyv || evenWidth <= 0 || height <= 0)
        return;

    static const BgrToYuyvRow fastRow = fastBgrToYuyvRow();
    if (fastRow) {
        for (int row = 0; row < height; ++row)
            fastRow(bgr + row * bgrStride, yuyv + row * yuyvStride, evenWidth);
        return;
    }
    const int argbStride = evenWidth * 4;
    const int stripRows = std::clamp(stripBytes / argbStride, 1, height);
    // Reused by every frame of a thread; it only grows when a frame is wider than any before.
    thread_local std::vector<std::uint8_t> argb;
    const std::size_t needed = static_cast<std::size_t>(argbStride) * stripRows;
    if (argb.size() < needed)
        argb.resize(needed);

    for (int row = 0; row < height; row += stripRows) {
        const int rows = std::min(stripRows, height - row);
        // libyuv's "RGB24" is B, G, R in memory, the decoder's order. An odd width's last column
        // is left out here by converting only evenWidth pixels of each row.
        libyuv::RGB24ToARGB(bgr + row * bgrStride, int(bgrStride), argb.data(), argbStride, evenWidth, rows);
        libyuv::ARGBToYUY2(argb.data(), argbStride, yuyv + row * yuyvStride, int(yuyvStride), evenWidth, rows);
    }
}

void bgrColumnsToYuyv(const std::uint8_t *const *columns, int count, int length, bool reversed, std::uint8_t *yuyv,
                      std::ptrdiff_t stride)
{
    if (!columns || !yuyv || count < 2 || length <= 0)
        return;
    count &= ~1;
    static const BgrColumnsToYuyv fastColumns = fastBgrColumnsToYuyv();
    if (fastColumns) {
        fastColumns(columns, count, length, reversed, yuyv, stride);
        return;
    }
    // Without a kernel of its own the picture is gathered pixel by pixel and converted.
    thread_local std::vector<std::uint8_t> picture;
    const std::ptrdiff_t rowBytes = std::ptrdiff_t(count) * 3;
    picture.assign(static_cast<std::size_t>(rowBytes) * length, 0);
    for (int c = 0; c < count; ++c) {
        if (!columns[c])
            continue;
        for (int k = 0; k < length; ++k)
            std::memcpy(picture.data() + k * rowBytes + c * 3, columns[c] + std::ptrdiff_t(k) * 3, 3);
    }
    bgrToYuyv(picture.data(), rowBytes, count, length, reversed ? yuyv + (length - 1) * stride : yuyv,
              reversed ? -stride : stride);
}

FittedRect fitInto(int width, int height, int frameWidth, int frameHeight)
{
    FittedRect rect;
    if (width <= 0 || height <= 0 || frameWidth < 2 || frameHeight <= 0)
        return rect;
    // The side that touches the frame's edge sets the scale; the other is rounded to the nearest pixel.
    const long long w = width, h = height, fw = frameWidth, fh = frameHeight;
    long long fittedWidth = fw;
    long long fittedHeight = fh;
    if (w * fh > fw * h)
        fittedHeight = (h * fw + w / 2) / w;
    else
        fittedWidth = (w * fh + h / 2) / h;
    rect.width = static_cast<int>(std::clamp((fittedWidth + 1) & ~1LL, 2LL, fw & ~1LL));
    rect.height = static_cast<int>(std::clamp(fittedHeight, 1LL, fh));
    rect.x = ((frameWidth - rect.width) / 2) & ~1;
    rect.y = (frameHeight - rect.height) / 2;
    return rect;
}

// Limited-range black, as many pixel pairs as the widest frame has.
void fillYuyvBlack(std::uint8_t *yuyv, int pixels)
{
    static const std::vector<std::uint8_t> black = [] {
        std::vector<std::uint8_t> row(static_cast<std::size_t>(8192) * 2);
        for (std::size_t i = 0; i < row.size(); i += 2) {
            row[i] = 16;
            row[i + 1] = 128;
        }
        return row;
    }();
    for (int done = 0; done < pixels;) {
        const int now = std::min(pixels - done, static_cast<int>(black.size() / 2));
        std::memcpy(yuyv + static_cast<std::ptrdiff_t>(done) * 2, black.data(), static_cast<std::size_t>(now) * 2);
        done += now;
    }
}

void YuyvFitter::fit(const std::uint8_t *bgr, int width, int height, std::uint8_t *yuyv, int frameWidth,
                     int frameHeight)
{
    if (!bgr || !yuyv || width <= 0 || height <= 0 || frameWidth < 2 || frameHeight <= 0)
        return;
    if ((width & ~1) == frameWidth && height == frameHeight) {
        bgrToYuyv(bgr, width, height, yuyv);
        return;
    }
    const FittedRect rect = fitInto(width, height, frameWidth, frameHeight);
    const int stride = frameWidth * 2;
    for (int row = 0; row < frameHeight; ++row) {
        std::uint8_t *line = yuyv + static_cast<std::ptrdiff_t>(row) * stride;
        if (row < rect.y || row >= rect.y + rect.height) {
            fillYuyvBlack(line, frameWidth);
        } else {
            fillYuyvBlack(line, rect.x);
            fillYuyvBlack(line + (rect.x + rect.width) * 2, frameWidth - rect.x - rect.width);
        }
    }

    const int argbStride = width * 4;
    const int scaledStride = rect.width * 4;
    m_argb.resize(static_cast<std::size_t>(argbStride) * height);
    m_scaled.resize(static_cast<std::size_t>(scaledStride) * rect.height);
    libyuv::RGB24ToARGB(bgr, width * 3, m_argb.data(), argbStride, width, height);
    libyuv::ARGBScale(m_argb.data(), argbStride, width, height, m_scaled.data(), scaledStride, rect.width,
                      rect.height, libyuv::kFilterBilinear);
    libyuv::ARGBToYUY2(m_scaled.data(), scaledStride, yuyv + static_cast<std::ptrdiff_t>(rect.y) * stride + rect.x * 2,
                       stride, rect.width, rect.height);
}
