#include "videoframe.h"

#include "bgrmirror.h"
#include "clientinfo.h"
#include "jpegdecoder.h"
#include "yuyv.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <vector>

namespace {

constexpr std::size_t kPixelBytes = 3;

// A size beyond the client's largest frame comes from a broken handshake; such a frame gets no buffer
// rather than one that could take the machine down.
constexpr std::size_t kMaxPixels = std::size_t(ClientInfo::kMaxFramePixels);

// The quarter turn moves pixels with 4-byte loads, so a load at the last pixel reads one byte past
// the picture. The buffer carries that byte, zeroed.
constexpr std::size_t kLoadSlack = 1;

// Edge in pixels of the tiles of the quarter turn: 32 rows of 96 bytes on each side stay in L1 while
// one tile is turned (bench/README.md has the measured choice).
constexpr int kTile = 32;

// Bytes of a width x height picture, or 0 when there is no picture or it is beyond kMaxPixels.
// Written so that no intermediate product can overflow.
std::size_t pictureBytes(int width, int height)
{
    if (width <= 0 || height <= 0)
        return 0;
    if (static_cast<std::size_t>(width) > kMaxPixels / static_cast<std::size_t>(height))
        return 0;
    return static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * kPixelBytes;
}

// Rows of decoded pixels per band: at 1280x720 a band of 240 kB stays in the 1 MiB L2 cache while it is
// mirrored, turned and converted, and a band turned into 64 columns fills whole 64-byte cache lines
// of the output (64 pixels of 3 bytes are three lines).
constexpr int kBandRows = 64;

// Scratch memory of the transforms, per thread and use, grown and never shrunk: the capture thread
// turns every frame at the same size, so after the first frame no transform allocates.
enum class Scratch { Row, Band, MirroredBand, Strip };

unsigned char *scratch(std::size_t bytes, Scratch use = Scratch::Row)
{
    thread_local std::vector<unsigned char> buffers[4];
    std::vector<unsigned char> &buffer = buffers[static_cast<int>(use)];
    if (buffer.size() < bytes)
        buffer.resize(bytes);
    return buffer.data();
}

// Buffers that frames on this thread have done with, for the next frames: the pixels, and the copies
// of the JPEGs. The capture thread makes one frame after another at one size, and a quarter turn writes
// into a second buffer; without this, every frame would take fresh pages from the system, which the
// kernel has to clear and map, at 720p about as much work as the frame's transforms. Two buffers
// suffice; a buffer serves any frame that it is large enough for.
class BufferPool
{
public:
    std::unique_ptr<unsigned char[]> take(std::size_t bytes, std::size_t &capacity)
    {
        for (Slot &slot : m_slots) {
            if (slot.buffer && slot.bytes >= bytes) {
                capacity = slot.bytes;
                return std::move(slot.buffer);
            }
        }
        capacity = bytes;
        return std::unique_ptr<unsigned char[]>(new (std::nothrow) unsigned char[bytes]);
    }

    std::unique_ptr<unsigned char[]> take(std::size_t bytes)
    {
        std::size_t capacity = 0;
        return take(bytes, capacity);
    }

    void give(std::unique_ptr<unsigned char[]> buffer, std::size_t bytes)
    {
        Slot *target = &m_slots[0];
        for (Slot &slot : m_slots) {
            if (!slot.buffer) {
                target = &slot;
                break;
            }
        }
        target->buffer = std::move(buffer);
        target->bytes = bytes;
    }

private:
    struct Slot
    {
        std::unique_ptr<unsigned char[]> buffer;
        std::size_t bytes = 0;
    };
    Slot m_slots[2];
};
thread_local BufferPool pool;
thread_local BufferPool jpegPool;

// Mirrors one row of width pixels into dst, which must not overlap it.
void mirrorRow(const unsigned char *src, unsigned char *dst, int width)
{
    mirrorBgrRows(src, 0, dst, 0, width, 1);
}

void mirrorRowInPlace(unsigned char *row, int width, unsigned char *tmp)
{
    mirrorRow(row, tmp, width);
    std::memcpy(row, tmp, static_cast<std::size_t>(width) * kPixelBytes);
}

// Swaps each row above the middle with its counterpart below, through one row of scratch. With
// mirror set every row is also mirrored on the way, the middle row of an odd height in place: that
// reverses the order of all pixels, which is the half turn.
void swapRows(unsigned char *pixels, int width, int height, bool mirror)
{
    const std::size_t rowBytes = static_cast<std::size_t>(width) * kPixelBytes;
    unsigned char *tmp = scratch(rowBytes);
    unsigned char *top = pixels;
    unsigned char *bottom = pixels + (static_cast<std::size_t>(height) - 1) * rowBytes;
    for (; top < bottom; top += rowBytes, bottom -= rowBytes) {
        if (mirror) {
            mirrorRow(top, tmp, width);
            mirrorRow(bottom, top, width);
        } else {
            std::memcpy(tmp, top, rowBytes);
            std::memcpy(top, bottom, rowBytes);
        }
        std::memcpy(bottom, tmp, rowBytes);
    }
    if (mirror && top == bottom)
        mirrorRowInPlace(top, width, tmp);
}

// Fills columns 0 .. columns - 1 of rows 0 .. rows - 1 at dst, whose rows are dstRowBytes apart, with
// dst(i, j) = the pixel at src + j * stepJ + i * stepI. Tiles keep the strided side of the walk in
// cache. Each source pixel is read with 4 bytes, so one byte past the last must be readable.
void gatherBlock(const unsigned char *src, std::ptrdiff_t stepI, std::ptrdiff_t stepJ, int columns, int rows,
                 unsigned char *dst, std::size_t dstRowBytes)
{
    const std::size_t rowBytes = dstRowBytes;
    for (int i0 = 0; i0 < columns; i0 += kTile) {
        const int i1 = std::min(i0 + kTile, columns);
        for (int j0 = 0; j0 < rows; j0 += kTile) {
            const int j1 = std::min(j0 + kTile, rows);
            // A 4-byte move is cheaper than a 3-byte one. Its extra byte lands on the next pixel of
            // the row, which is written after it; only the last pixel of a block's row is moved
            // exactly, because the next pixel may be finished already.
            const int wideEnd = i1 == columns ? columns - 1 : i1;
            for (int j = j0; j < j1; ++j) {
                unsigned char *d = dst + static_cast<std::size_t>(j) * rowBytes;
                const unsigned char *s = src + j * stepJ;
                int i = i0;
                for (; i + 4 <= wideEnd; i += 4) { // unrolled by four, as measured best
                    unsigned char *d4 = d + i * kPixelBytes;
                    const unsigned char *s4 = s + i * stepI;
                    std::memcpy(d4, s4, 4);
                    std::memcpy(d4 + 3, s4 + stepI, 4);
                    std::memcpy(d4 + 6, s4 + 2 * stepI, 4);
                    std::memcpy(d4 + 9, s4 + 3 * stepI, 4);
                }
                for (; i < wideEnd; ++i)
                    std::memcpy(d + i * kPixelBytes, s + i * stepI, 4);
                if (i < i1)
                    std::memcpy(d + i * kPixelBytes, s + i * stepI, kPixelBytes);
            }
        }
    }
}

// Where the quarter turn takes its pixels from. Only the centred side x side square of the turned
// picture shows, side being the smaller of the two, between black bands: dx columns on the left of a
// landscape frame, dy rows above a portrait one. Square pixel (column i, row j) is picture pixel
// (x0 + xStep * j, y0 + yStep * i), mirrors before the turn included: they only change where the
// walk starts and which way it goes.
struct QuarterTurn
{
    QuarterTurn(int width, int height, bool clockwise, bool mirrorX, bool mirrorY)
        : side(std::min(width, height))
        , dx((width - side) / 2)
        , dy((height - side) / 2)
    {
        // The square's origin in the picture before the turn. Both halvings round down in the turned
        // picture, so with an odd difference the source square sits one pixel further right (counter-
        // clockwise) or lower (clockwise) than the place it goes to.
        const int ox = clockwise ? dx : width - side - dx;
        const int oy = clockwise ? height - side - dy : dy;
        // Clockwise picture(ox + j, oy + side - 1 - i), counter-clockwise picture(ox + side - 1 - j, oy + i);
        // a mirror before the turn reflects x or y.
        x0 = clockwise ? ox : ox + side - 1;
        xStep = clockwise ? 1 : -1;
        y0 = clockwise ? oy + side - 1 : oy;
        yStep = clockwise ? -1 : 1;
        if (mirrorX) {
            x0 = width - 1 - x0;
            xStep = -xStep;
        }
        if (mirrorY) {
            y0 = height - 1 - y0;
            yStep = -yStep;
        }
    }

    // Square column of picture row y, which may lie outside 0 .. side - 1.
    int columnOf(int y) const { return (y - y0) * yStep; }

    // Blackens the bands around the square in a width x height picture. Each row of the square ends
    // with an exact 3-byte move, so none spills into them.
    void fillBands(unsigned char *pixels, int width, int height) const
    {
        const std::size_t rowBytes = static_cast<std::size_t>(width) * kPixelBytes;
        if (width == side) {
            // Portrait or square: the square is whole rows, bands above and below.
            std::memset(pixels, 0, static_cast<std::size_t>(dy) * rowBytes);
            std::memset(pixels + static_cast<std::size_t>(dy + side) * rowBytes, 0,
                        static_cast<std::size_t>(height - side - dy) * rowBytes);
            return;
        }
        // Landscape: every row is band, square row, band.
        const std::size_t left = static_cast<std::size_t>(dx) * kPixelBytes;
        const std::size_t right = rowBytes - left - static_cast<std::size_t>(side) * kPixelBytes;
        for (int y = 0; y < height; ++y) {
            unsigned char *row = pixels + static_cast<std::size_t>(y) * rowBytes;
            std::memset(row, 0, left);
            std::memset(row + rowBytes - right, 0, right);
        }
    }

    int side;
    int dx;
    int dy;
    int x0 = 0;
    int xStep = 1;
    int y0 = 0;
    int yStep = 1;
};

// Quarter turn of decoded pixels fitted back into width x height, after mirroring left-right and/or
// top-bottom: only the square is turned, into a second buffer between black bands, which then becomes
// the frame's.
void quarterTurn(std::unique_ptr<unsigned char[]> &pixels, int width, int height, bool clockwise, bool mirrorX,
                 bool mirrorY)
{
    const std::size_t bytes = pictureBytes(width, height);
    std::unique_ptr<unsigned char[]> turned = pool.take(bytes + kLoadSlack);
    if (!turned) {
        std::memset(pixels.get(), 0, bytes); // no memory for the turn: black rather than unturned
        return;
    }
    std::memset(turned.get() + bytes, 0, kLoadSlack);

    const QuarterTurn turn(width, height, clockwise, mirrorX, mirrorY);
    const std::ptrdiff_t stride = static_cast<std::ptrdiff_t>(width) * static_cast<std::ptrdiff_t>(kPixelBytes);
    const std::ptrdiff_t pixel = kPixelBytes;
    turn.fillBands(turned.get(), width, height);
    gatherBlock(pixels.get() + turn.y0 * stride + turn.x0 * pixel, turn.yStep * stride, turn.xStep * pixel, turn.side,
                turn.side, turned.get() + turn.dy * stride + turn.dx * pixel, static_cast<std::size_t>(stride));

    pool.give(std::move(pixels), bytes + kLoadSlack);
    pixels = std::move(turned);
}

// A small copy of the camera's picture: frame pixel (x, y), both multiples of step, at column x / step
// of row y / step; columns from shownWidth on, which the camera leaves out, are black.
struct Sample
{
    unsigned char *pixels = nullptr;
    std::ptrdiff_t stride = 0;
    int step = 1;
    int width = 0;
    int height = 0;
    int shownWidth = 0;

    // Where frame row y goes, or null when it is not sampled.
    unsigned char *row(int y) const
    {
        return y % step == 0 && y / step < height ? pixels + std::ptrdiff_t(y / step) * stride : nullptr;
    }
    void fillBlack() const
    {
        for (int y = 0; y < height; ++y)
            std::memset(pixels + y * stride, 0, std::size_t(width) * kPixelBytes);
    }
};

// Where the pixels of a banded decode end up: the frame's own B, G, R pixels, or the camera's YUYV
// and, when one is asked for, a sample of it.
struct Output
{
    unsigned char *bgr = nullptr;
    unsigned char *yuyv = nullptr;
    std::ptrdiff_t yuyvStride = 0;
    Sample sample;
};

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
        return Band{kBandRows, scratch(std::size_t(m_rowBytes) * kBandRows, Scratch::Band), m_rowBytes};
    }

    void done(int top, const Band &band) override
    {
        if (m_output.bgr && !m_mirrorX)
            return;
        if (m_output.sample.pixels)
            sample(top, band);
        const unsigned char *rows = band.first;
        if (m_mirrorX) {
            unsigned char *mirrored = m_output.bgr ? m_output.bgr + landingRow(top) * m_rowBytes
                                                   : scratch(std::size_t(m_rowBytes) * kBandRows, Scratch::MirroredBand);
            const std::ptrdiff_t stride = m_output.bgr ? step(m_rowBytes) : m_rowBytes;
            mirrorBgrRows(rows, m_rowBytes, mirrored, stride, m_width, band.rows);
            if (m_output.bgr)
                return;
            rows = mirrored;
        }
        bgrToYuyv(rows, m_rowBytes, m_width, band.rows, m_output.yuyv + landingRow(top) * m_output.yuyvStride,
                  step(m_output.yuyvStride));
    }

private:
    void sample(int top, const Band &band) const
    {
        const Sample &sample = m_output.sample;
        for (int r = 0; r < band.rows; ++r) {
            unsigned char *dst = sample.row(int(landingRow(top + r)));
            if (!dst)
                continue;
            // Sampled column i is picture column first + i * step of the band's unmirrored row.
            const unsigned char *src = band.first + r * band.stride;
            const std::ptrdiff_t first = m_mirrorX ? m_width - 1 : 0;
            const std::ptrdiff_t step = m_mirrorX ? -sample.step : sample.step;
            const int shown = std::min(sample.width, (sample.shownWidth + sample.step - 1) / sample.step);
            for (int i = 0; i < shown; ++i)
                std::memcpy(dst + i * kPixelBytes, src + (first + i * step) * std::ptrdiff_t(kPixelBytes), kPixelBytes);
            std::memset(dst + shown * kPixelBytes, 0, std::size_t(sample.width - shown) * kPixelBytes);
        }
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
// square. Into the frame's pixels the strips go straight; for the camera, each strip is gathered into
// a strip of scratch that is converted once it is whole. The camera's strips start at even columns,
// as YUYV pairs do, so a pair is never split between two strips; the column of a pair that falls
// outside the square is black.
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
        unsigned char *band = scratch(std::size_t(m_rowBytes) * kBandRows + kLoadSlack, Scratch::Band);
        // Rows above and below the square are skipped: libjpeg-turbo still upsamples the square's first
        // row from the colour samples above it, as in a whole decode.
        if (m_strip >= m_strips)
            return Band{m_height - top, nullptr, 0};
        if (top < m_top)
            return Band{m_top - top, nullptr, 0};
        return Band{m_bottom - top, band, m_rowBytes};
    }

    // The picture columns that the square shows.
    int left() const { return std::min(m_turn.x0, m_turn.x0 + m_turn.xStep * (m_turn.side - 1)); }
    int columns() const { return m_turn.side; }

    void done(int top, const Band &band) override
    {
        if (m_strip >= m_strips)
            return;
        // Square columns of these rows, lowest first, and the band row of the lowest.
        const int lowest = std::min(m_turn.columnOf(top), m_turn.columnOf(top + band.rows - 1));
        const int lowestRow = m_turn.y0 + m_turn.yStep * lowest - top;
        const std::ptrdiff_t pixel = kPixelBytes;
        gatherBlock(band.first + lowestRow * band.stride + m_turn.x0 * pixel, m_turn.yStep * band.stride,
                    m_turn.xStep * pixel, band.rows, m_turn.side,
                    m_target + (m_turn.dx + lowest - m_targetColumn) * pixel, m_targetRowBytes);
        if (top + band.rows < m_bottom)
            return;
        if (m_output.sample.pixels)
            sampleStrip();
        if (!m_output.bgr)
            bgrToYuyv(m_target, m_targetRowBytes, m_stripEnd - m_stripFirst, m_turn.side,
                      m_output.yuyv + m_turn.dy * m_output.yuyvStride + m_stripFirst * 2, m_output.yuyvStride);
        ++m_strip;
        startStrip();
    }

private:
    // The whole strip, row by row, so that the sample is written a run of pixels at a time. Its columns
    // beside the square are black, as in the camera's frame.
    void sampleStrip() const
    {
        const Sample &sample = m_output.sample;
        const int step = sample.step;
        const int firstX = (m_stripFirst + step - 1) / step * step;
        const int endX = std::min(m_stripEnd, sample.width * step);
        for (int y = (m_turn.dy + step - 1) / step * step; y < m_turn.dy + m_turn.side && y / step < sample.height;
             y += step) {
            const unsigned char *src = m_target + std::size_t(y - m_turn.dy) * m_targetRowBytes
                                       + std::size_t(firstX - m_stripFirst) * kPixelBytes;
            unsigned char *dst = sample.pixels + (y / step) * sample.stride + (firstX / step) * kPixelBytes;
            for (int x = firstX; x < endX; x += step, src += step * kPixelBytes, dst += kPixelBytes)
                std::memcpy(dst, src, kPixelBytes);
        }
    }

    // Sets up strip m_strip: its frame columns, the picture rows they come from, and where it is gathered.
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
        if (m_output.bgr) {
            m_target = m_output.bgr + m_turn.dy * m_rowBytes;
            m_targetColumn = 0;
            m_targetRowBytes = std::size_t(m_rowBytes);
            return;
        }
        m_targetRowBytes = kBandRows * kPixelBytes;
        m_target = scratch(m_targetRowBytes * std::size_t(m_turn.side), Scratch::Strip);
        m_targetColumn = m_stripFirst;
        // The column of a pair beside the square.
        for (int column : {m_turn.dx - 1, m_turn.dx + m_turn.side}) {
            if (column < m_stripFirst || column >= m_stripEnd)
                continue;
            for (int j = 0; j < m_turn.side; ++j)
                std::memset(m_target + j * m_targetRowBytes + (column - m_stripFirst) * kPixelBytes, 0, kPixelBytes);
        }
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
    unsigned char *m_target = nullptr; // where square row 0 of frame column m_targetColumn goes
    int m_targetColumn = 0;
    std::size_t m_targetRowBytes = 0;
};

// Decodes the JPEG of a width x height frame, mirrored and then turned by turns (0, 1 or 3), into output.
bool decodeBanded(const unsigned char *jpeg, std::size_t length, int width, int height, bool mirrorX, bool mirrorY,
                  int turns, const Output &output)
{
    if (turns != 0) {
        TurnedBands bands(width, height, QuarterTurn(width, height, turns == 1, mirrorX, mirrorY), output);
        bands.fillBands();
        return JpegDecoder().decode(jpeg, length, width, height, bands, bands.left(), bands.columns()) != 0;
    }
    MirroredBands bands(width, height, mirrorX, mirrorY, output);
    return JpegDecoder().decode(jpeg, length, width, height, bands) != 0;
}

} // namespace

VideoFrame::VideoFrame(const unsigned char *jpeg, int jpegLength, int width, int height)
    : m_width(width)
    , m_height(height)
{
    if (pictureBytes(width, height) == 0)
        return;
    m_pending = true;
    if (!jpeg || jpegLength <= 0)
        return;
    // Rounded up, so that a copy serves the following frames of about the same size.
    constexpr std::size_t kJpegGrain = 64 * 1024;
    const std::size_t length = static_cast<std::size_t>(jpegLength);
    m_jpeg = jpegPool.take((length + kJpegGrain - 1) / kJpegGrain * kJpegGrain, m_jpegCapacity);
    if (!m_jpeg)
        return; // no memory for the copy: a black frame, as for any JPEG that does not decode
    std::memcpy(m_jpeg.get(), jpeg, length);
    m_jpegLength = length;
}

VideoFrame::~VideoFrame()
{
    releaseJpeg();
    if (m_data)
        pool.give(std::move(m_data), pictureBytes(m_width, m_height) + kLoadSlack);
}

void VideoFrame::releaseJpeg() const
{
    if (m_jpeg)
        jpegPool.give(std::move(m_jpeg), m_jpegCapacity);
}

void VideoFrame::makePixels() const
{
    if (!m_pending)
        return;
    m_pending = false;
    const std::size_t bytes = pictureBytes(m_width, m_height);
    m_data = pool.take(bytes + kLoadSlack);
    if (m_data) {
        std::memset(m_data.get() + bytes, 0, kLoadSlack);
        Output output;
        output.bgr = m_data.get();
        const bool decoded = m_jpeg && decodeBanded(m_jpeg.get(), m_jpegLength, m_width, m_height, m_mirrorX, m_mirrorY, m_turns, output);
        m_decode = decoded ? Decode::Done : Decode::Failed;
        // A failed decode may have left part of a picture, or nothing; either way the camera gets
        // black, never old heap contents.
        if (!decoded)
            std::memset(m_data.get(), 0, bytes);
    }
    releaseJpeg();
}

void VideoFrame::toYuyv(unsigned char *yuyv, std::ptrdiff_t stride) const
{
    if (!m_pending) {
        if (m_data)
            bgrToYuyv(m_data.get(), static_cast<std::ptrdiff_t>(m_width) * 3, m_width, m_height, yuyv, stride);
        return;
    }
    Output output;
    output.yuyv = yuyv;
    output.yuyvStride = stride;
    if (m_sample) {
        output.sample = Sample{m_sample, m_sampleStride, m_sampleStep, std::max(1, m_width / m_sampleStep),
                               std::max(1, m_height / m_sampleStep), m_width & ~1};
    }
    const bool decoded = m_jpeg && decodeBanded(m_jpeg.get(), m_jpegLength, m_width, m_height, m_mirrorX, m_mirrorY, m_turns, output);
    m_decode = decoded ? Decode::Done : Decode::Failed;
    if (!decoded) {
        for (int y = 0; y < m_height; ++y)
            fillYuyvBlack(yuyv + y * stride, m_width & ~1);
        if (output.sample.pixels)
            output.sample.fillBlack();
    }
    m_sampled = output.sample.pixels != nullptr;
    m_sample = nullptr; // the copy is the asker's from here on
}

void VideoFrame::keepSample(unsigned char *sample, std::ptrdiff_t stride, int step)
{
    if (step < 1)
        return;
    m_sample = sample;
    m_sampleStride = stride;
    m_sampleStep = step;
}

bool VideoFrame::isDecoded() const
{
    if (m_decode == Decode::NotYet)
        makePixels();
    return m_decode == Decode::Done;
}

unsigned char *VideoFrame::data()
{
    makePixels();
    return m_data.get();
}

const unsigned char *VideoFrame::data() const
{
    makePixels();
    return m_data.get();
}

std::size_t VideoFrame::byteCount() const
{
    return m_pending || m_data ? pictureBytes(m_width, m_height) : 0;
}

void VideoFrame::flipHorizontal()
{
    if (m_pending && m_turns == 0) {
        m_mirrorX = !m_mirrorX;
        return;
    }
    makePixels();
    if (m_decode != Decode::Done || m_width < 2)
        return;
    const std::size_t rowBytes = static_cast<std::size_t>(m_width) * kPixelBytes;
    unsigned char *tmp = scratch(rowBytes);
    for (int y = 0; y < m_height; ++y)
        mirrorRowInPlace(m_data.get() + static_cast<std::size_t>(y) * rowBytes, m_width, tmp);
}

void VideoFrame::flipVertical()
{
    if (m_pending && m_turns == 0) {
        m_mirrorY = !m_mirrorY;
        return;
    }
    makePixels();
    if (m_decode != Decode::Done || m_height < 2)
        return;
    swapRows(m_data.get(), m_width, m_height, false);
}

void VideoFrame::rotate(int turns)
{
    transform(false, false, turns);
}

void VideoFrame::transform(bool mirrorLeftRight, bool mirrorTopBottom, int turns)
{
    // Before the pixels are made, mirrors and half turns add up (the half turn is both mirrors), and a
    // quarter turn comes last; a transform after a quarter turn works on the pixels.
    if (m_pending && m_turns == 0) {
        const bool halfTurn = turns == 2;
        m_mirrorX = m_mirrorX != (mirrorLeftRight != halfTurn);
        m_mirrorY = m_mirrorY != (mirrorTopBottom != halfTurn);
        if (turns == 1 || turns == 3)
            m_turns = turns;
        return;
    }
    makePixels();
    if (!m_data)
        return;
    if (m_decode != Decode::Done)
        mirrorLeftRight = mirrorTopBottom = false; // as flipHorizontal and flipVertical would
    if (turns == 1 || turns == 3) {
        quarterTurn(m_data, m_width, m_height, turns == 1, mirrorLeftRight, mirrorTopBottom);
        return;
    }
    // The half turn is both mirrors at once, so mirrors and half turn together are again mirrors.
    if (turns == 2) {
        mirrorLeftRight = !mirrorLeftRight;
        mirrorTopBottom = !mirrorTopBottom;
    }
    if (mirrorTopBottom)
        swapRows(m_data.get(), m_width, m_height, mirrorLeftRight);
    else if (mirrorLeftRight)
        flipHorizontal();
}
