#pragma once

#include <cstddef>

// JPEG decoder of the capture path, backed by libjpeg-turbo.
//
// Pixels come out as 3 bytes each in B, G, R order, top row first, rows without gaps: the order the
// virtual camera converts from in one pass (libyuv calls it RGB24). Every frame gets a fresh decoder
// object; the libjpeg decompressor behind it is kept per thread, so a decoder costs nothing to make,
// and replaced after every failed decode, so a failure never reaches into a later frame.
// Where a banded decode puts its rows, and what it does with each band while the band is in cache.
class JpegBands
{
public:
    struct Band
    {
        int rows = 0;                 // at least 1
        unsigned char *first = nullptr; // where the band's first row goes; null: rows not needed
        std::ptrdiff_t stride = 0;    // from one row to the next; negative puts the rows bottom up
    };
    // The band that starts at row top of the picture.
    virtual Band next(int top) = 0;
    // The band from next(top) has been written, its rows cut to the picture's last.
    virtual void done(int top, const Band &band) = 0;

    // libjpeg-turbo writes a row of pixels that starts on a 16-byte boundary with non-temporal stores,
    // past the caches: right for a picture that is read later, a trip to memory and back for a band
    // that is read at once. Rows that start 8 bytes past such a boundary are written through the
    // caches: a band's first row at cached(buffer), in a buffer kCachedSlack bytes longer than the band,
    // and a stride that is a multiple of 16 keep every row there, columns cut or not.
    static constexpr std::size_t kCachedSlack = 24;
    static unsigned char *cached(unsigned char *buffer);

protected:
    ~JpegBands() = default;
};

// Where a decode of a 4:2:0 picture hands its rows as the JPEG holds them, before libjpeg upsamples
// and converts them.
class JpegYccRows
{
public:
    struct Row
    {
        const unsigned char *y = nullptr; // the picture's width in samples
        // The nearest chroma rows and the next nearest ones (above for an even picture row, below for an
        // odd one, repeated at the picture's edges), as libjpeg's smooth upsampling weighs them;
        // (width + 1) / 2 samples each, readable 16 bytes further.
        const unsigned char *cb = nullptr;
        const unsigned char *cbNext = nullptr;
        const unsigned char *cr = nullptr;
        const unsigned char *crNext = nullptr;
    };
    // Picture row y, from the top down.
    virtual void row(int y, const Row &row) = 0;

protected:
    ~JpegYccRows() = default;
};

class JpegDecoder
{
public:
    JpegDecoder() = default;
    JpegDecoder(const JpegDecoder &) = delete;
    JpegDecoder &operator=(const JpegDecoder &) = delete;

    // Prepares the decoder for decode(); optional.
    void init();

    // Decodes the JPEG in src into dst, which holds exactly width * height * 3 bytes.
    // Returns nonzero on success, and then every pixel of dst was written. The header is read first:
    // an image of any other size than width x height, an empty frame (width or height 0) or data that
    // is no JPEG fails, and then nothing is written to dst. A JPEG that is cut short or damaged inside
    // its scan decodes what it has (libjpeg fills the rest) and counts as success. Any fatal error
    // fails, whatever libjpeg warned about before it; dst may then hold part of a picture.
    int decode(const unsigned char *src, unsigned long srcLength, unsigned char *dst, int width, int height);

    // The same decode, band by band from the top: each band goes where bands.next() says and is handed
    // to bands.done() before the next one is decoded. On failure the bands handed over so far may
    // have been written. With columns > 0, only columns left .. left + columns - 1 of each row are
    // sure to be written (as a whole decode gives them): the others cost next to nothing.
    int decode(const unsigned char *src, unsigned long srcLength, int width, int height, JpegBands &bands,
               int left = 0, int columns = 0);

    // The same decode for a YCbCr JPEG with 4:2:0 chroma and libjpeg's smooth upsampling, at least 16
    // pixels wide, row by row without the upsampling and the colour conversion. Returns -1, having
    // handed over nothing, for a JPEG of any other kind, which decode() takes.
    int decodeYcc420(const unsigned char *src, unsigned long srcLength, int width, int height, JpegYccRows &rows);
};
