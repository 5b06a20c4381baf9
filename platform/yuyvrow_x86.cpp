#include "yuyvrow.h"

#include <immintrin.h>

#include <algorithm>
#include <cstring>
#include <vector>

// The conversion in one pass over the pixels, 16 at a time with AVX2, where libyuv's route goes through
// a row of ARGB and three more passes. It takes the same arithmetic as libyuv's AVX2 kernels, so the
// bytes are the same; tst_yuyv checks them against libyuv for every colour. The JPEG row kernel at the
// end takes libjpeg-turbo's upsampling and colour conversion in front of the same sums, so that a
// JPEG's rows reach the camera without a B, G, R row in between; tst_yuyv checks it against
// libjpeg-turbo for every Y, Cb and Cr.

namespace {

std::uint8_t lumaOf(int b, int g, int r)
{
    return std::uint8_t((66 * r + 129 * g + 25 * b + 0x1080) >> 8);
}

void convertPairs(const std::uint8_t *bgr, std::uint8_t *yuyv, int pairs)
{
    for (int i = 0; i < pairs; ++i, bgr += 6, yuyv += 4) {
        const int b = (bgr[0] + bgr[3] + 1) >> 1;
        const int g = (bgr[1] + bgr[4] + 1) >> 1;
        const int r = (bgr[2] + bgr[5] + 1) >> 1;
        yuyv[0] = lumaOf(bgr[0], bgr[1], bgr[2]);
        yuyv[1] = std::uint8_t((112 * b - 74 * g - 38 * r + 0x8000) >> 8);
        yuyv[2] = lumaOf(bgr[3], bgr[4], bgr[5]);
        yuyv[3] = std::uint8_t((112 * r - 94 * g - 18 * b + 0x8000) >> 8);
    }
}

// Eight pixels (the 24 bytes from p, read no further) spread to B, G, R, 0, four to a 128-bit lane:
// pixels 0-3 are loaded from byte 0, pixels 4-7 from byte 8 on, where they start at offset 4.
__attribute__((target("avx2"), always_inline)) inline __m256i loadEight(const std::uint8_t *p)
{
    const __m256i spread = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1, 4, 5, 6, -1, 7, 8, 9,
                                            -1, 10, 11, 12, -1, 13, 14, 15, -1);
    return _mm256_shuffle_epi8(
        _mm256_loadu2_m128i(reinterpret_cast<const __m128i *>(p + 8), reinterpret_cast<const __m128i *>(p)), spread);
}

// Y of each pixel as two 16-bit parts, 25 B + 129 G and 66 R, of the pixels less 128 (so that the
// unsigned weight 129 fits); the bias adds the 128s back.
__attribute__((target("avx2"), always_inline)) inline __m256i lumaParts(__m256i pixels)
{
    return _mm256_maddubs_epi16(_mm256_set1_epi32(0x00428119), _mm256_xor_si256(pixels, _mm256_set1_epi8(char(0x80))));
}

// Sums of 16 bits plus their bias, to the bytes they give.
__attribute__((target("avx2"), always_inline)) inline __m256i scaled(__m256i sums, __m256i bias)
{
    return _mm256_srli_epi16(_mm256_add_epi16(sums, bias), 8);
}

// Eight pixels of a row. Gives per lane the 16-bit Y0 .. Y3, then U, V of pixels 0 and 1 and of 2 and 3.
__attribute__((target("avx2"), always_inline)) inline __m256i eightPixels(__m256i pixels)
{
    // U and V: the rounded average of each pair, twice over, against the U and the V weights.
    __m256i pairs = _mm256_avg_epu8(pixels, _mm256_srli_si256(pixels, 4));
    pairs = _mm256_shuffle_epi32(pairs, 0xA0);
    const __m256i chromaWeights =
        _mm256_setr_epi8(112, -74, -38, 0, -18, -94, 112, 0, 112, -74, -38, 0, -18, -94, 112, 0, 112, -74, -38, 0, -18,
                         -94, 112, 0, 112, -74, -38, 0, -18, -94, 112, 0);
    const __m256i chroma = _mm256_maddubs_epi16(pairs, chromaWeights);
    const __m256i bias =
        _mm256_setr_epi16(0x7e80, 0x7e80, 0x7e80, 0x7e80, short(0x8000), short(0x8000), short(0x8000), short(0x8000),
                          0x7e80, 0x7e80, 0x7e80, 0x7e80, short(0x8000), short(0x8000), short(0x8000), short(0x8000));
    return scaled(_mm256_hadd_epi16(lumaParts(pixels), chroma), bias);
}

// Sixteen pixels from bgr (48 bytes, read no further) to 32 bytes of YUYV.
__attribute__((target("avx2"))) void sixteenPixels(const std::uint8_t *bgr, std::uint8_t *yuyv)
{
    const __m256i first = eightPixels(loadEight(bgr));
    const __m256i second = eightPixels(loadEight(bgr + 24));
    // Per lane: Y0-3, U, V, U, V of both halves, as bytes; into Y U Y V order, then lanes into pixel order.
    const __m256i order = _mm256_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15, 0, 4, 1, 5, 2, 6, 3, 7,
                                           8, 12, 9, 13, 10, 14, 11, 15);
    const __m256i packed = _mm256_shuffle_epi8(_mm256_packus_epi16(first, second), order);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(yuyv), _mm256_permute4x64_epi64(packed, 0xD8));
}

__attribute__((target("avx2"))) void rowAvx2(const std::uint8_t *bgr, std::uint8_t *yuyv, int width)
{
    if (width < 16) {
        convertPairs(bgr, yuyv, width / 2);
        return;
    }
    for (int x = 0;; x += 16) {
        // The last sixteen end at the row's end and may overlap the ones before: pairs stay pairs,
        // since width is even, and they are written again with the same bytes.
        if (x + 16 > width)
            x = width - 16;
        sixteenPixels(bgr + x * 3, yuyv + x * 2);
        if (x + 16 == width)
            return;
    }
}

// Pixel i of first and of second, side by side, to their YUYV pair at pairs + 4 i, eight at a time:
// the sums of a row's pixels, with the pair's average taken between the two rows.
__attribute__((target("avx2"))) void pairRowAvx2(const std::uint8_t *first, const std::uint8_t *second, int width,
                                                 std::uint8_t *pairs)
{
    if (width < 8) {
        for (int i = 0; i < width; ++i) {
            const std::uint8_t pair[6] = {first[i * 3],  first[i * 3 + 1],  first[i * 3 + 2],
                                          second[i * 3], second[i * 3 + 1], second[i * 3 + 2]};
            convertPairs(pair, pairs + i * 4, 1);
        }
        return;
    }
    const __m256i uWeights = _mm256_set1_epi32(0x00dab670); // 112, -74, -38, 0
    const __m256i vWeights = _mm256_set1_epi32(0x0070a2ee); // -18, -94, 112, 0
    const __m256i lumaBias = _mm256_set1_epi16(0x7e80);
    const __m256i chromaBias = _mm256_set1_epi16(short(0x8000));
    // Per lane: Y of first 0-3, Y of second 0-3, U 0-3, V 0-3; into Y U Y V order.
    const __m256i order = _mm256_setr_epi8(0, 8, 4, 12, 1, 9, 5, 13, 2, 10, 6, 14, 3, 11, 7, 15, 0, 8, 4, 12, 1, 9, 5,
                                           13, 2, 10, 6, 14, 3, 11, 7, 15);
    for (int x = 0;; x += 8) {
        // The last eight end at the row's end and may overlap the ones before, with the same bytes.
        if (x + 8 > width)
            x = width - 8;
        const __m256i a = loadEight(first + x * 3);
        const __m256i b = loadEight(second + x * 3);
        const __m256i average = _mm256_avg_epu8(a, b);
        const __m256i bytes = _mm256_packus_epi16(
            scaled(_mm256_hadd_epi16(lumaParts(a), lumaParts(b)), lumaBias),
            scaled(_mm256_hadd_epi16(_mm256_maddubs_epi16(average, uWeights), _mm256_maddubs_epi16(average, vWeights)),
                   chromaBias));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(pairs + x * 4), _mm256_shuffle_epi8(bytes, order));
        if (x + 8 == width)
            return;
    }
}

// An 8 x 8 block of 4-byte pairs turned over: pair k of source row p (rows srcStride bytes apart) to
// byte 4 p of destination row k (rows dstStride bytes apart).
__attribute__((target("avx2"))) void transposeEight(const std::uint8_t *src, std::ptrdiff_t srcStride,
                                                    std::uint8_t *dst, std::ptrdiff_t dstStride)
{
    __m256i r[8];
    for (int p = 0; p < 8; ++p)
        r[p] = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src + p * srcStride));
    __m256i t[8];
    for (int p = 0; p < 8; p += 2) {
        t[p] = _mm256_unpacklo_epi32(r[p], r[p + 1]);
        t[p + 1] = _mm256_unpackhi_epi32(r[p], r[p + 1]);
    }
    // u[k] holds pair k (lane 0) and k + 4 (lane 1) of rows 0-3, u[4 + k] of rows 4-7.
    const __m256i u[8] = {_mm256_unpacklo_epi64(t[0], t[2]), _mm256_unpackhi_epi64(t[0], t[2]),
                          _mm256_unpacklo_epi64(t[1], t[3]), _mm256_unpackhi_epi64(t[1], t[3]),
                          _mm256_unpacklo_epi64(t[4], t[6]), _mm256_unpackhi_epi64(t[4], t[6]),
                          _mm256_unpacklo_epi64(t[5], t[7]), _mm256_unpackhi_epi64(t[5], t[7])};
    for (int k = 0; k < 4; ++k) {
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + k * dstStride),
                            _mm256_permute2x128_si256(u[k], u[k + 4], 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + (k + 4) * dstStride),
                            _mm256_permute2x128_si256(u[k], u[k + 4], 0x31));
    }
}

// Each pair of columns is converted along its length, where the pixels lie one after another, into a
// row of pairs; the rows of pairs are then turned over into the picture's rows, 8 x 8 pairs at a time.
__attribute__((target("avx2,prfchw"))) void columnsAvx2(const std::uint8_t *const *columns, int count, int length,
                                                        bool reversed, std::uint8_t *yuyv, std::ptrdiff_t stride)
{
    thread_local std::vector<std::uint8_t> black;
    thread_local std::vector<std::uint8_t> pairs;
    const int pairRows = count / 2;
    const std::ptrdiff_t pairRowBytes = std::ptrdiff_t(length) * 4;
    if (black.size() < std::size_t(length) * 3)
        black.resize(std::size_t(length) * 3);
    if (pairs.size() < std::size_t(pairRowBytes) * std::size_t(pairRows))
        pairs.resize(std::size_t(pairRowBytes) * std::size_t(pairRows));
    for (int p = 0; p < pairRows; ++p) {
        const std::uint8_t *first = columns[2 * p] ? columns[2 * p] : black.data();
        const std::uint8_t *second = columns[2 * p + 1] ? columns[2 * p + 1] : black.data();
        pairRowAvx2(first, second, length, pairs.data() + p * pairRowBytes);
    }
    // Row k of the picture, and the step to row k + 1.
    std::uint8_t *row0 = reversed ? yuyv + std::ptrdiff_t(length - 1) * stride : yuyv;
    const std::ptrdiff_t step = reversed ? -stride : stride;
    const int pairRows8 = pairRows & ~7;
    const int length8 = length & ~7;
    const std::ptrdiff_t blockBytes = std::ptrdiff_t(pairRows8) * 4;
    for (int k = 0; k < length8; k += 8) {
        // The frame's rows are cold, a frame apart from their last write, and far apart: the lines of
        // the next eight are asked for, to be written, while these are turned over.
        for (int i = k + 8; i < std::min(k + 16, length8) && blockBytes > 0; ++i) {
            const std::uint8_t *row = row0 + i * step;
            for (std::ptrdiff_t at = 0; at < blockBytes; at += 64)
                __builtin_prefetch(row + at, 1);
            __builtin_prefetch(row + blockBytes - 1, 1);
        }
        for (int p = 0; p < pairRows8; p += 8)
            transposeEight(pairs.data() + p * pairRowBytes + k * 4, pairRowBytes, row0 + k * step + p * 4, step);
    }
    // What is left of whole blocks, a pair at a time.
    for (int k = 0; k < length; ++k) {
        for (int p = k < length8 ? pairRows8 : 0; p < pairRows; ++p)
            std::memcpy(row0 + k * step + p * 4, pairs.data() + p * pairRowBytes + k * 4, 4);
    }
}

// Sixteen bytes from p, as 16-bit values.
__attribute__((target("avx2"), always_inline)) inline __m256i widened(const std::uint8_t *p)
{
    return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
}

// The column sums of the smooth upsampling, 3 x nearest row + next nearest row, of both chroma planes
// side by side (Cb, Cr) for samples 0 .. samples - 1 at pair 1 on, the edge samples repeated at pair 0
// and pair samples + 1.
__attribute__((target("avx2"))) void columnSums(const std::uint8_t *cb, const std::uint8_t *cbNext,
                                                const std::uint8_t *cr, const std::uint8_t *crNext, int samples,
                                                std::int16_t *sums)
{
    const __m256i three = _mm256_set1_epi16(3);
    for (int j = 0; j < samples; j += 16) {
        const __m256i blue = _mm256_add_epi16(_mm256_mullo_epi16(widened(cb + j), three), widened(cbNext + j));
        const __m256i red = _mm256_add_epi16(_mm256_mullo_epi16(widened(cr + j), three), widened(crNext + j));
        // Per lane, samples 0-3 then 4-7 of the lane's eight; into the order of the samples.
        const __m256i low = _mm256_unpacklo_epi16(blue, red);
        const __m256i high = _mm256_unpackhi_epi16(blue, red);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(sums + 2 * (j + 1)),
                            _mm256_permute2x128_si256(low, high, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(sums + 2 * (j + 9)),
                            _mm256_permute2x128_si256(low, high, 0x31));
    }
    std::memcpy(sums, sums + 2, 4);
    std::memcpy(sums + 2 * (samples + 1), sums + 2 * samples, 4);
}

// Sixteen pixels from x on (x even) of Y (16-bit) and the column sums of the chroma to the 32 bytes
// of their YUYV. The chroma is upsampled as libjpeg does it (3/4 of the nearer sample and 1/4 of the
// further one across the row, with its biases of 8 and 7) and converted with its JFIF arithmetic
// (R = Y + 1.402 Cr, G = Y - 0.34414 Cb - 0.71414 Cr, B = Y + 1.772 Cb, each product rounded as its
// tables have it) to R, G, B, clamped; then the B, G, R kernel's sums.
__attribute__((target("avx2"), always_inline)) inline __m256i yccSixteen(__m256i y, const std::int16_t *sums, int x,
                                                                         std::uint8_t *bgrx)
{
    // Pairs (Cb, Cr) of the eight samples from x / 2 - 1, from x / 2 (at pair x / 2 + 1) and from x / 2 + 1.
    const std::int16_t *at = sums + x + 2;
    const __m256i before = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(at - 2));
    const __m256i here =
        _mm256_mullo_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(at)), _mm256_set1_epi16(3));
    const __m256i after = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(at + 2));
    // Less 128 x 16 before the shift, so that the samples come out centred on 0.
    const __m256i even =
        _mm256_srai_epi16(_mm256_add_epi16(_mm256_add_epi16(here, before), _mm256_set1_epi16(8 - 2048)), 4);
    const __m256i odd =
        _mm256_srai_epi16(_mm256_add_epi16(_mm256_add_epi16(here, after), _mm256_set1_epi16(7 - 2048)), 4);
    // (Cb, Cr) of pixels 0-3 and 8-11, and of pixels 4-7 and 12-15.
    const __m256i chroma[2] = {_mm256_unpacklo_epi32(even, odd), _mm256_unpackhi_epi32(even, odd)};
    const __m256i luma[2] = {_mm256_unpacklo_epi16(y, y), _mm256_unpackhi_epi16(y, y)};

    // Per pixel: (B, R) in 16 bits, and G's part in 32. libjpeg's rounded products
    // (116130 Cb + 32768) >> 16 and (91881 Cr + 32768) >> 16 are what these rounded multiplies give for
    // every Cb and Cr from -128 to 127 (tst_yuyv tries them all); G's part, -22554 Cb + 18734 Cr -
    // 65536 Cr, is rounded once.
    const __m256i crOnly = _mm256_set1_epi32(int(0xffff0000u));
    const __m256i cbOnly = _mm256_set1_epi32(0xffff);
    const __m256i products = _mm256_set1_epi32(0x33747169); // 29033 for 2 Cb, 13172 for Cr
    const __m256i greenWeights = _mm256_set1_epi32(int(0x492e0000u | std::uint16_t(-22554)));
    __m256i blueRed[2];
    __m256i greenParts[2];
    for (int k = 0; k < 2; ++k) {
        const __m256i cr = _mm256_and_si256(chroma[k], crOnly);
        const __m256i doubled = _mm256_add_epi16(chroma[k], _mm256_and_si256(chroma[k], cbOnly));
        blueRed[k] = _mm256_add_epi16(luma[k], _mm256_add_epi16(_mm256_mulhrs_epi16(doubled, products), cr));
        greenParts[k] =
            _mm256_srai_epi32(_mm256_add_epi32(_mm256_sub_epi32(_mm256_madd_epi16(chroma[k], greenWeights), cr),
                                               _mm256_set1_epi32(32768)),
                              16);
    }
    // B and R clamped to bytes, side by side in a 16-bit lane per pixel, in pixel order; G in 16 bits.
    const __m256i bytes = _mm256_packus_epi16(blueRed[0], blueRed[1]);
    const __m256i green = _mm256_max_epi16(
        _mm256_min_epi16(_mm256_add_epi16(y, _mm256_packs_epi32(greenParts[0], greenParts[1])), _mm256_set1_epi16(255)),
        _mm256_setzero_si256());
    if (bgrx) {
        // B, R, G, 0 per pixel, into B, G, R, 0 and pixel order.
        const __m256i order = _mm256_setr_epi8(0, 2, 1, 3, 4, 6, 5, 7, 8, 10, 9, 11, 12, 14, 13, 15, 0, 2, 1, 3, 4, 6,
                                               5, 7, 8, 10, 9, 11, 12, 14, 13, 15);
        const __m256i low = _mm256_shuffle_epi8(_mm256_unpacklo_epi16(bytes, green), order);
        const __m256i high = _mm256_shuffle_epi8(_mm256_unpackhi_epi16(bytes, green), order);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(bgrx + x * 4), _mm256_permute2x128_si256(low, high, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(bgrx + x * 4 + 32), _mm256_permute2x128_si256(low, high, 0x31));
    }

    const __m256i lumaOut = _mm256_srli_epi16(
        _mm256_add_epi16(_mm256_add_epi16(_mm256_maddubs_epi16(bytes, _mm256_set1_epi16(0x4219)), // 25 B + 66 R
                                          _mm256_mullo_epi16(green, _mm256_set1_epi16(129))),
                         _mm256_set1_epi16(0x1080)),
        8);
    // U in the pair's first lane, V in its second, from the pair's rounded averages: of B and R as
    // bytes, of G in 16 bits, each moved from the pair's first lane into both.
    const __m256i firstTwice = _mm256_setr_epi8(0, 1, 0, 1, 4, 5, 4, 5, 8, 9, 8, 9, 12, 13, 12, 13, 0, 1, 0, 1, 4, 5, 4,
                                                5, 8, 9, 8, 9, 12, 13, 12, 13);
    const __m256i blueRedAverage =
        _mm256_shuffle_epi8(_mm256_avg_epu8(bytes, _mm256_srli_epi32(bytes, 16)), firstTwice);
    const __m256i greenAverage = _mm256_shuffle_epi8(_mm256_avg_epu16(green, _mm256_srli_epi32(green, 16)), firstTwice);
    const __m256i blueRedWeights = _mm256_set1_epi32(int(0x70eeda70u));     // U: 112 B - 38 R, V: -18 B + 112 R
    const __m256i greenChromaWeights = _mm256_set1_epi32(int(0xffa2ffb6u)); // U: -74 G, V: -94 G
    // Each sum's high byte is already where the pair puts U or V.
    const __m256i chromaOut =
        _mm256_and_si256(_mm256_add_epi16(_mm256_add_epi16(_mm256_maddubs_epi16(blueRedAverage, blueRedWeights),
                                                           _mm256_mullo_epi16(greenAverage, greenChromaWeights)),
                                          _mm256_set1_epi16(short(0x8000))),
                         _mm256_set1_epi16(short(0xff00)));
    return _mm256_or_si256(lumaOut, chromaOut);
}

// Eight YUYV pairs as they lie in a row mirrored left-right: in reverse order, each pair's two Y swapped.
__attribute__((target("avx2"), always_inline)) inline __m256i mirroredPairs(__m256i pairs)
{
    const __m256i reversed = _mm256_setr_epi8(6, 5, 4, 7, 2, 1, 0, 3, 14, 13, 12, 15, 10, 9, 8, 11, 6, 5, 4, 7, 2, 1, 0,
                                              3, 14, 13, 12, 15, 10, 9, 8, 11);
    return _mm256_shuffle_epi8(_mm256_permute4x64_epi64(pairs, 0x1b), reversed);
}

// The row's pixels after its column sums. One loop per choice, without a test in it, keeps more of
// the constants in registers: with the chroma's mask in yccSixteen, 3-4 % less time a row.
template<bool mirrored, bool withPixels>
__attribute__((target("avx2"))) void yccPixels(const std::uint8_t *y, const std::int16_t *sums, int pixels,
                                               std::uint8_t *yuyv, std::uint8_t *bgrx)
{
    for (int x = 0;; x += 16) {
        // The last sixteen end at the row's end and may overlap the ones before, with the same bytes.
        if (x + 16 > pixels)
            x = pixels - 16;
        const __m256i pairs = yccSixteen(widened(y + x), sums, x, withPixels ? bgrx : nullptr);
        if (mirrored)
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(yuyv + (pixels - 16 - x) * 2), mirroredPairs(pairs));
        else
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(yuyv + x * 2), pairs);
        if (x + 16 == pixels)
            return;
    }
}

__attribute__((target("avx2"))) void yccRowAvx2(const std::uint8_t *y, const std::uint8_t *cb,
                                                const std::uint8_t *cbNext, const std::uint8_t *cr,
                                                const std::uint8_t *crNext, int width, bool mirrored,
                                                std::uint8_t *yuyv, std::uint8_t *bgrx)
{
    thread_local std::vector<std::int16_t> sums;
    const int samples = (width + 1) / 2;
    // Pairs of sums for the samples and the two edges; columnSums writes whole blocks of 16.
    const std::size_t pairs = std::size_t(samples) + 32;
    if (sums.size() < 2 * pairs)
        sums.resize(2 * pairs);
    columnSums(cb, cbNext, cr, crNext, samples, sums.data());
    const int pixels = width & ~1;
    const auto pixelsOf = bgrx ? (mirrored ? yccPixels<true, true> : yccPixels<false, true>)
                               : (mirrored ? yccPixels<true, false> : yccPixels<false, false>);
    pixelsOf(y, sums.data(), pixels, yuyv, bgrx);
}

} // namespace

BgrColumnsToYuyv fastBgrColumnsToYuyv()
{
    return __builtin_cpu_supports("avx2") ? columnsAvx2 : nullptr;
}

BgrToYuyvRow fastBgrToYuyvRow()
{
    return __builtin_cpu_supports("avx2") ? rowAvx2 : nullptr;
}

Ycc420ToYuyvRow fastYcc420ToYuyvRow()
{
    return __builtin_cpu_supports("avx2") ? yccRowAvx2 : nullptr;
}
