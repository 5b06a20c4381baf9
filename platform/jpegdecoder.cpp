#include "jpegdecoder.h"

#include <algorithm>
#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio> // jpeglib.h needs FILE and size_t declared before it
#include <memory>
#include <vector>

#include <jpeglib.h>

namespace {

// libjpeg's plain API rather than TurboJPEG's: TurboJPEG 2.1 reports a fatal error as a mere warning
// when a warning came earlier in the same call, so a JPEG that warned and then failed before writing
// a single row looked decoded. Here a fatal error always fails the decode, and warnings after the
// header (data cut short or damaged inside a scan, which libjpeg fills in) never do.

// The integer fast IDCT decodes faster than the default accurate one (bench/README.md); its pixels
// differ from the accurate ones by 1 grey level on average and by 3-5 at most, well inside what the
// phone's JPEG already lost. Fast upsampling would save about as much but puts errors of up to 20
// levels on colour edges, so upsampling keeps the default smooth filter.
constexpr J_DCT_METHOD dctMethod = JDCT_IFAST;

// Rows handed to libjpeg per call; it puts out at most a few at a time anyway.
constexpr int rowsPerCall = 16;

struct ErrorManager : jpeg_error_mgr
{
    std::jmp_buf escape;
};

// A fatal error: back to the setjmp of the call that met it; the decompressor is done with.
[[noreturn]] void escape(j_common_ptr info)
{
    std::longjmp(static_cast<ErrorManager *>(info->err)->escape, 1);
}

// Warnings and errors are counted and acted on, never printed.
void silence(j_common_ptr) {}

// One libjpeg decompressor. After any failed decode it is thrown away, and the next frame gets a new
// one: libjpeg leaves it in the middle of whatever it was reading (after a header it could not
// finish, every later header fails).
class Decompressor
{
public:
    Decompressor()
    {
        m_info.err = jpeg_std_error(&m_error);
        m_error.error_exit = escape;
        m_error.output_message = silence;
        if (setjmp(m_error.escape) == 0) {
            jpeg_create_decompress(&m_info);
            m_ready = true;
        }
    }
    ~Decompressor() { jpeg_destroy_decompress(&m_info); }
    Decompressor(const Decompressor &) = delete;
    Decompressor &operator=(const Decompressor &) = delete;

    bool ready() const { return m_ready; }

    // True when every band of the picture was written and handed over. No local with a destructor
    // lives across the setjmp, and none that changes after it is read after the jump.
    bool decode(const unsigned char *src, unsigned long srcLength, int width, int height, JpegBands &bands, int left,
                int columns)
    {
        if (setjmp(m_error.escape) != 0)
            return false;
        if (!readHeader(src, srcLength, width, height))
            return false;
        m_info.out_color_space = JCS_EXT_BGR;
        m_info.dct_method = dctMethod;
        // A progressive JPEG is read whole here, every scan, before any row is put out.
        jpeg_start_decompress(&m_info);
        std::ptrdiff_t offset = 0;
        if (columns > 0 && columns < width) {
            // One column more on each side than asked for: the outer columns of a cut are upsampled
            // from their own colour samples only and differ from the same columns of the whole picture.
            // From a multiple of 16 columns, 48 bytes, so that the cut keeps the rows' place against a
            // 16-byte boundary (JpegBands::cached); libjpeg-turbo itself starts a cut at a whole iMCU,
            // 8 or 16 columns.
            const int from = std::max(left - 1, 0) & ~15;
            JDIMENSION x = JDIMENSION(from);
            JDIMENSION cut = JDIMENSION(std::min(left + columns + 1, width) - from);
            jpeg_crop_scanline(&m_info, &x, &cut);
            offset = std::ptrdiff_t(x) * 3;
        }
        while (m_info.output_scanline < m_info.output_height) {
            const int top = int(m_info.output_scanline);
            const JpegBands::Band band = bands.next(top);
            const int count = std::min(band.rows, height - top);
            if (!band.first) {
                if (jpeg_skip_scanlines(&m_info, JDIMENSION(count)) != JDIMENSION(count))
                    return false;
                continue;
            }
            for (int done = 0; done < count;) {
                JSAMPROW rows[rowsPerCall];
                const int now = std::min(rowsPerCall, count - done);
                for (int i = 0; i < now; ++i)
                    rows[i] = band.first + (done + i) * band.stride + offset;
                const JDIMENSION read = jpeg_read_scanlines(&m_info, rows, JDIMENSION(now));
                if (read == 0)
                    return false; // no progress: cannot happen with data in memory, but never loop on it
                done += int(read);
            }
            JpegBands::Band written = band;
            written.rows = count;
            bands.done(top, written);
        }
        // The picture is whole; whatever follows its last row is of no use to it.
        jpeg_abort_decompress(&m_info);
        return true;
    }

    // 1 when every row was handed over, 0 on failure, -1 when the picture is not 4:2:0 as asked.
    int decodeYcc420(const unsigned char *src, unsigned long srcLength, int width, int height, JpegYccRows &rows)
    {
        if (setjmp(m_error.escape) != 0)
            return 0;
        if (!readHeader(src, srcLength, width, height))
            return 0;
        if (!isYcc420(width)) {
            jpeg_abort_decompress(&m_info);
            return -1;
        }
        m_info.raw_data_out = TRUE;
        m_info.dct_method = dctMethod;
        jpeg_start_decompress(&m_info);
        // Rows go out one iMCU row (16 picture rows) behind the decode, so that the chroma row below
        // each row's own is there: the luma of two iMCU rows is kept, the chroma of three.
        const std::size_t lumaStride = std::size_t(m_info.comp_info[0].width_in_blocks) * DCTSIZE;
        const std::size_t chromaStride = std::size_t(m_info.comp_info[1].width_in_blocks) * DCTSIZE + 16;
        const std::size_t lumaBytes = lumaStride * 2 * lumaRows;
        const std::size_t chromaBytes = chromaStride * 3 * chromaRows;
        if (m_planes.size() < lumaBytes + 2 * chromaBytes)
            m_planes.resize(lumaBytes + 2 * chromaBytes);
        unsigned char *luma = m_planes.data();
        unsigned char *cb = luma + lumaBytes;
        unsigned char *cr = cb + chromaBytes;
        const int chromaHeight = (height + 1) / 2;
        const auto handOver = [&](int imcu) {
            for (int y = imcu * lumaRows; y < std::min((imcu + 1) * lumaRows, height); ++y) {
                const int c = y / 2;
                const int next = y % 2 ? std::min(c + 1, chromaHeight - 1) : std::max(c - 1, 0);
                const std::size_t at = std::size_t(c % (3 * chromaRows)) * chromaStride;
                const std::size_t nextAt = std::size_t(next % (3 * chromaRows)) * chromaStride;
                rows.row(
                    y,
                    {luma + std::size_t(y % (2 * lumaRows)) * lumaStride, cb + at, cb + nextAt, cr + at, cr + nextAt});
            }
        };
        for (int imcu = 0; m_info.output_scanline < m_info.output_height; ++imcu) {
            JSAMPROW lumaRow[lumaRows];
            JSAMPROW cbRow[chromaRows];
            JSAMPROW crRow[chromaRows];
            for (int i = 0; i < lumaRows; ++i)
                lumaRow[i] = luma + std::size_t((imcu % 2) * lumaRows + i) * lumaStride;
            for (int i = 0; i < chromaRows; ++i) {
                cbRow[i] = cb + std::size_t((imcu % 3) * chromaRows + i) * chromaStride;
                crRow[i] = cr + std::size_t((imcu % 3) * chromaRows + i) * chromaStride;
            }
            JSAMPARRAY planes[3] = {lumaRow, cbRow, crRow};
            if (jpeg_read_raw_data(&m_info, planes, lumaRows) == 0)
                return 0; // no progress: cannot happen with data in memory, but never loop on it
            if (imcu > 0)
                handOver(imcu - 1);
        }
        handOver(int(m_info.total_iMCU_rows) - 1);
        jpeg_abort_decompress(&m_info);
        return 1;
    }

private:
    // Reads the header, which decides whether anything is written: it must read without a warning
    // (libjpeg counts them from each image's start; a header cut short reads with one, and libjpeg would
    // then fill the whole picture in), and only an image of exactly the frame's size fits the caller's
    // buffer. A fatal error jumps to the caller's setjmp.
    bool readHeader(const unsigned char *src, unsigned long srcLength, int width, int height)
    {
        jpeg_mem_src(&m_info, src, srcLength);
        jpeg_read_header(&m_info, TRUE);
        return m_error.num_warnings == 0 && m_info.image_width == JDIMENSION(width)
            && m_info.image_height == JDIMENSION(height);
    }

    static constexpr int lumaRows = 2 * DCTSIZE; // an iMCU row of 4:2:0
    static constexpr int chromaRows = DCTSIZE;

    // YCbCr with both chroma planes at half the width and height of the luma, upsampled smoothly from
    // more than two samples a row (libjpeg boxes narrower ones).
    bool isYcc420(int width) const
    {
        const jpeg_component_info *c = m_info.comp_info;
        return m_info.num_components == 3 && m_info.jpeg_color_space == JCS_YCbCr && m_info.do_fancy_upsampling
            && !m_info.CCIR601_sampling && width >= 16 && c[0].h_samp_factor == 2 && c[0].v_samp_factor == 2
            && c[1].h_samp_factor == 1 && c[1].v_samp_factor == 1 && c[2].h_samp_factor == 1 && c[2].v_samp_factor == 1;
    }

    jpeg_decompress_struct m_info{};
    std::vector<unsigned char> m_planes; // the rows of decodeYcc420(), kept from frame to frame
    ErrorManager m_error{};
    bool m_ready = false;
};

// The thread's decompressor, made on first use and freed when the thread ends or a decode fails, so
// that the per-frame decoder objects cost nothing, a capture thread that ends leaks nothing, and no
// failure reaches into the next frame.
thread_local std::unique_ptr<Decompressor> t_decompressor;

Decompressor *threadDecompressor()
{
    if (!t_decompressor) {
        t_decompressor = std::make_unique<Decompressor>();
        if (!t_decompressor->ready())
            t_decompressor.reset();
    }
    return t_decompressor.get();
}

// Runs one decode, 0 on failure, on the thread's decompressor; a failure replaces the decompressor.
template<typename Decode>
int onThreadDecompressor(const unsigned char *src, unsigned long srcLength, int width, int height, Decode decode)
{
    if (!src || srcLength == 0 || width <= 0 || height <= 0)
        return 0;
    Decompressor *decompressor = threadDecompressor();
    if (!decompressor)
        return 0;
    const int done = decode(*decompressor);
    if (done == 0)
        t_decompressor.reset();
    return done;
}

} // namespace

int JpegDecoder::decodeYcc420(const unsigned char *src, unsigned long srcLength, int width, int height,
                              JpegYccRows &rows)
{
    return onThreadDecompressor(src, srcLength, width, height, [&](Decompressor &decompressor) {
        return decompressor.decodeYcc420(src, srcLength, width, height, rows);
    });
}

unsigned char *JpegBands::cached(unsigned char *buffer)
{
    const auto at = reinterpret_cast<std::uintptr_t>(buffer);
    return buffer + ((at + 15) / 16 * 16 + 8 - at);
}

void JpegDecoder::init()
{
    threadDecompressor();
}

namespace {

// The whole picture as one band, straight into the caller's buffer.
class WholePicture final : public JpegBands
{
public:
    WholePicture(unsigned char *dst, int width, int height)
        : m_band{height, dst, std::ptrdiff_t(width) * 3}
    {
    }
    Band next(int) override { return m_band; }
    void done(int, const Band &) override {}

private:
    Band m_band;
};

} // namespace

int JpegDecoder::decode(const unsigned char *src, unsigned long srcLength, unsigned char *dst, int width,
                        int height)
{
    if (!dst || width <= 0 || height <= 0)
        return 0;
    WholePicture whole(dst, width, height);
    return decode(src, srcLength, width, height, whole, 0, 0);
}

int JpegDecoder::decode(const unsigned char *src, unsigned long srcLength, int width, int height, JpegBands &bands,
                        int left, int columns)
{
    return onThreadDecompressor(src, srcLength, width, height, [&](Decompressor &decompressor) {
        return decompressor.decode(src, srcLength, width, height, bands, left, columns) ? 1 : 0;
    });
}
