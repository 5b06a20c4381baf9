#include "bandeddecode.h"

#include "bgrmirror.h"
#include "jpegdecoder.h"
#include "yuyv.h"
#include "yuyvrow.h"

#include <algorithm>

namespace FramePixels {

namespace {

// The sample's row of frame row y, where it has one, from the picture row that lands there: its pixels
// pixelBytes apart, the picture's own order, mirrored left-right into the frame when mirrorX.
void sampleRow(const Sample &sample, std::ptrdiff_t y, const unsigned char *pictureRow, std::ptrdiff_t pixelBytes,
               bool mirrorX, int width)
{
    unsigned char *dst = sample.row(int(y));
    if (!dst)
        return;
    // Sampled column i is picture column first + i * step.
    const std::ptrdiff_t first = mirrorX ? width - 1 : 0;
    const std::ptrdiff_t step = mirrorX ? -sample.step : sample.step;
    const int shown = std::min(sample.width, (sample.shownWidth + sample.step - 1) / sample.step);
    for (int i = 0; i < shown; ++i)
        std::memcpy(dst + i * kPixelBytes, pictureRow + (first + i * step) * pixelBytes, kPixelBytes);
    std::memset(dst + shown * kPixelBytes, 0, std::size_t(sample.width - shown) * kPixelBytes);
}

// Rows of decoded pixels per band: at 1280x720 a band of 240 kB stays in the 1 MiB L2 cache while it is
// mirrored, turned and converted, and a band turned into 64 columns fills whole 64-byte cache lines
// of the output (64 pixels of 3 bytes are three lines).
constexpr int kBandRows = 64;

// A band of rows rowBytes long (at most kBandRows of them) in scratch memory, placed where libjpeg-turbo
// writes them through the caches, since each band is read back at once.
JpegBands::Band scratchBand(int rows, std::ptrdiff_t rowBytes)
{
    const std::ptrdiff_t stride = (rowBytes + 15) / 16 * 16;
    unsigned char *buffer =
        scratch(std::size_t(stride) * kBandRows + kLoadSlack + JpegBands::kCachedSlack, Scratch::Band);
    return JpegBands::Band{rows, JpegBands::cached(buffer), stride};
}

// A decode with mirrors and no turn: each band lands on its mirrored rows. The frame's pixels take
// the decoder's rows directly unless they are mirrored left-right; the camera's rows are converted
// from each band.
class MirroredBands final : public JpegBands
{
public:
    MirroredBands(int width, int height, bool mirrorX, bool mirrorY, Output output)
        : m_width(width)
        , m_height(height)
        , m_rowBytes(static_cast<std::ptrdiff_t>(width) * static_cast<std::ptrdiff_t>(kPixelBytes))
        , m_mirrorX(mirrorX)
        , m_mirrorY(mirrorY)
        , m_output(output)
    {
    }

    Band next(int top) override
    {
        if (m_output.bgr && !m_mirrorX)
            return Band{m_height - top, m_output.bgr + landingRow(top) * m_rowBytes, step(m_rowBytes)};
        return scratchBand(kBandRows, m_rowBytes);
    }

    void done(int top, const Band &band) override
    {
        if (m_output.bgr && !m_mirrorX)
            return;
        if (m_output.sample.pixels)
            sample(top, band);
        const unsigned char *rows = band.first;
        std::ptrdiff_t rowsStride = band.stride;
        if (m_mirrorX) {
            unsigned char *mirrored = m_output.bgr ? m_output.bgr + landingRow(top) * m_rowBytes
                                                   : scratch(std::size_t(m_rowBytes) * kBandRows, Scratch::MirroredBand);
            const std::ptrdiff_t stride = m_output.bgr ? step(m_rowBytes) : m_rowBytes;
            mirrorBgrRows(rows, band.stride, mirrored, stride, m_width, band.rows);
            if (m_output.bgr)
                return;
            rows = mirrored;
            rowsStride = m_rowBytes;
        }
        bgrToYuyv(rows, rowsStride, m_width, band.rows, m_output.yuyv + landingRow(top) * m_output.yuyvStride,
                  step(m_output.yuyvStride));
    }

private:
    void sample(int top, const Band &band) const
    {
        for (int r = 0; r < band.rows; ++r)
            sampleRow(m_output.sample, landingRow(top + r), band.first + r * band.stride, kPixelBytes, m_mirrorX,
                      m_width);
    }

    std::ptrdiff_t landingRow(int y) const { return m_mirrorY ? m_height - 1 - y : y; }
    std::ptrdiff_t step(std::ptrdiff_t stride) const { return m_mirrorY ? -stride : stride; }

    int m_width;
    int m_height;
    std::ptrdiff_t m_rowBytes;
    bool m_mirrorX;
    bool m_mirrorY;
    Output m_output;
};

// A decode with a quarter turn: each band of picture rows becomes a strip of columns of the turned
// square. Into the frame's pixels the strips are gathered straight; for the camera, the band's rows
// are converted as the strip's columns, along the picture rows where their pixels lie one after
// another. The camera's strips start at even columns, as YUYV pairs do, so a pair is never split
// between two strips; the column of a pair that falls outside the square is black.
class TurnedBands final : public JpegBands
{
public:
    TurnedBands(int width, int height, const QuarterTurn &turn, Output output)
        : m_width(width)
        , m_height(height)
        , m_rowBytes(static_cast<std::ptrdiff_t>(width) * static_cast<std::ptrdiff_t>(kPixelBytes))
        , m_turn(turn)
        , m_output(output)
    {
        // Frame columns first .. end - 1 are made from the picture, in strips of kBandRows columns
        // from first on; the rest of each frame row is band.
        if (m_output.bgr) {
            m_first = turn.dx;
            m_end = turn.dx + turn.side;
        } else {
            m_first = turn.dx & ~1;
            m_end = std::min((turn.dx + turn.side + 1) & ~1, width & ~1);
        }
        // The decode runs from the top row down; the strips come in the order of their picture rows.
        m_strips = m_end > m_first ? (m_end - m_first + kBandRows - 1) / kBandRows : 0;
        m_strip = 0;
        startStrip();
    }

    // Blackens what lies outside the square: the bands.
    void fillBands() const
    {
        if (m_output.bgr) {
            m_turn.fillBands(m_output.bgr, m_width, m_height);
            return;
        }
        if (m_output.sample.pixels)
            m_output.sample.fillBlack();
        if (m_output.blackKept)
            return;
        const int evenWidth = m_width & ~1;
        for (int y = 0; y < m_height; ++y) {
            unsigned char *row = m_output.yuyv + y * m_output.yuyvStride;
            if (y < m_turn.dy || y >= m_turn.dy + m_turn.side || m_end <= m_first) {
                fillYuyvBlack(row, evenWidth);
            } else {
                fillYuyvBlack(row, m_first);
                fillYuyvBlack(row + m_end * 2, evenWidth - m_end);
            }
        }
    }

    Band next(int top) override
    {
        // Rows above and below the square are skipped: libjpeg-turbo still upsamples the square's first
        // row from the colour samples above it, as in a whole decode.
        if (m_strip >= m_strips)
            return Band{m_height - top, nullptr, 0};
        if (top < m_top)
            return Band{m_top - top, nullptr, 0};
        return scratchBand(m_bottom - top, m_rowBytes);
    }

    // The picture columns that the square shows.
    int left() const { return std::min(m_turn.x0, m_turn.x0 + m_turn.xStep * (m_turn.side - 1)); }
    int columns() const { return m_turn.side; }

    void done(int top, const Band &band) override
    {
        if (m_strip >= m_strips)
            return;
        if (m_output.bgr) {
            // Square columns of these rows, lowest first, and the band row of the lowest.
            const int lowest = std::min(m_turn.columnOf(top), m_turn.columnOf(top + band.rows - 1));
            const int lowestRow = m_turn.y0 + m_turn.yStep * lowest - top;
            const std::ptrdiff_t pixel = kPixelBytes;
            gatherBlock(band.first + lowestRow * band.stride + m_turn.x0 * pixel, m_turn.yStep * band.stride,
                        m_turn.xStep * pixel, band.rows, m_turn.side,
                        m_output.bgr + m_turn.dy * m_rowBytes + (m_turn.dx + lowest) * pixel, std::size_t(m_rowBytes));
            if (top + band.rows < m_bottom)
                return;
        } else {
            // The strip's frame columns as runs of picture pixels: square row j of a column is pixel j of
            // the run, or pixel side - 1 - j when the square's rows run right to left in the picture.
            const unsigned char *columns[kBandRows] = {};
            const unsigned char *squareLeft = band.first + left() * std::ptrdiff_t(kPixelBytes);
            for (int x = m_stripFirst; x < m_stripEnd; ++x) {
                const int column = x - m_turn.dx;
                const int y = m_turn.y0 + m_turn.yStep * column;
                if (column >= 0 && column < m_turn.side && y >= top && y < top + band.rows)
                    columns[x - m_stripFirst] = squareLeft + (y - top) * band.stride;
            }
            const bool reversed = m_turn.xStep < 0;
            if (m_output.sample.pixels)
                sampleColumns(columns, reversed);
            bgrColumnsToYuyv(columns, m_stripEnd - m_stripFirst, m_turn.side, reversed,
                             m_output.yuyv + m_turn.dy * m_output.yuyvStride + m_stripFirst * 2, m_output.yuyvStride);
        }
        ++m_strip;
        startStrip();
    }

private:
    // The sample's pixels of the strip's columns; those beside the square are black already.
    void sampleColumns(const unsigned char *const *columns, bool reversed) const
    {
        const Sample &sample = m_output.sample;
        const int step = sample.step;
        const int firstY = (m_turn.dy + step - 1) / step * step;
        for (int x = (m_stripFirst + step - 1) / step * step; x < m_stripEnd && x / step < sample.width; x += step) {
            const unsigned char *column = columns[x - m_stripFirst];
            if (!column)
                continue;
            for (int y = firstY; y < m_turn.dy + m_turn.side && y / step < sample.height; y += step) {
                const int j = y - m_turn.dy;
                std::memcpy(sample.pixels + (y / step) * sample.stride + (x / step) * kPixelBytes,
                            column + std::ptrdiff_t(reversed ? m_turn.side - 1 - j : j) * std::ptrdiff_t(kPixelBytes),
                            kPixelBytes);
            }
        }
    }

    // Sets up strip m_strip: its frame columns and the picture rows they come from.
    void startStrip()
    {
        if (m_strip >= m_strips)
            return;
        // Strip k of the decode's order counts from the left when the square's columns follow the
        // picture's rows downwards, from the right otherwise.
        const int k = m_turn.yStep > 0 ? m_strip : m_strips - 1 - m_strip;
        m_stripFirst = m_first + k * kBandRows;
        m_stripEnd = std::min(m_stripFirst + kBandRows, m_end);
        const int firstColumn = std::max(m_stripFirst - m_turn.dx, 0);
        const int endColumn = std::min(m_stripEnd - m_turn.dx, m_turn.side);
        const int rowA = m_turn.y0 + m_turn.yStep * firstColumn;
        const int rowB = m_turn.y0 + m_turn.yStep * (endColumn - 1);
        m_top = std::min(rowA, rowB);
        m_bottom = std::max(rowA, rowB) + 1;
    }

    int m_width;
    int m_height;
    std::ptrdiff_t m_rowBytes;
    QuarterTurn m_turn;
    Output m_output;
    int m_first = 0;
    int m_end = 0;
    int m_strips = 0;
    int m_strip = 0;
    int m_stripFirst = 0;
    int m_stripEnd = 0;
    int m_top = 0;    // the strip's picture rows
    int m_bottom = 0;
};

// The camera's rows of a frame without a quarter turn, each made straight from the JPEG's own rows,
// without a B, G, R row in between except for the rows that the preview samples.
class YccRows final : public JpegYccRows
{
public:
    YccRows(Ycc420ToYuyvRow convert, int width, int height, bool mirrorX, bool mirrorY, const Output &output)
        : m_convert(convert)
        , m_width(width)
        , m_height(height)
        , m_mirrorX(mirrorX)
        , m_mirrorY(mirrorY)
        , m_output(output)
        // The preview's sampled rows are also made as pixels, 4 bytes each, to take the sample from.
        , m_pixels(output.sample.pixels ? scratch(std::size_t(width) * 4, Scratch::Band) : nullptr)
    {
    }
    void row(int y, const Row &row) override
    {
        const int landing = m_mirrorY ? m_height - 1 - y : y;
        unsigned char *pixels = m_pixels && m_output.sample.row(landing) ? m_pixels : nullptr;
        m_convert(row.y, row.cb, row.cbNext, row.cr, row.crNext, m_width, m_mirrorX,
                  m_output.yuyv + landing * m_output.yuyvStride, pixels);
        if (pixels)
            sampleRow(m_output.sample, landing, pixels, 4, m_mirrorX, m_width & ~1);
    }

private:
    Ycc420ToYuyvRow m_convert;
    int m_width;
    int m_height;
    bool m_mirrorX;
    bool m_mirrorY;
    Output m_output;
    unsigned char *m_pixels;
};

} // namespace

bool decodeBanded(const unsigned char *jpeg, std::size_t length, int width, int height, bool mirrorX, bool mirrorY,
                  int turns, const Output &output)
{
    if (turns != 0) {
        TurnedBands bands(width, height, QuarterTurn(width, height, turns == 1, mirrorX, mirrorY), output);
        bands.fillBands();
        return JpegDecoder().decode(jpeg, length, width, height, bands, bands.left(), bands.columns()) != 0;
    }
    static const Ycc420ToYuyvRow yccToYuyv = fastYcc420ToYuyvRow();
    // Mirrored left-right, a row of odd width pairs its pixels across the JPEG's chroma samples.
    if (yccToYuyv && (!mirrorX || width % 2 == 0) && !output.bgr) {
        YccRows rows(yccToYuyv, width, height, mirrorX, mirrorY, output);
        const int done = JpegDecoder().decodeYcc420(jpeg, length, width, height, rows);
        if (done >= 0)
            return done != 0;
    }
    MirroredBands bands(width, height, mirrorX, mirrorY, output);
    return JpegDecoder().decode(jpeg, length, width, height, bands) != 0;
}

} // namespace FramePixels
