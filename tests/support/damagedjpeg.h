#pragma once

#include "jpegencoder.h"
#include "testpicture.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// JPEGs of the test picture damaged in ways libjpeg meets a fatal error only after a warning, or
// fails to read the header of. Plain C++: the fuzzer's seed tool writes them too.
namespace damagedjpeg {

using Bytes = std::vector<std::uint8_t>;

// Offset of the index-th start-of-scan marker (FF DA), or 0 when there is none. Entropy-coded data
// stuffs every FF with a 00, so FF DA is always a marker.
inline std::size_t scanHeader(const Bytes &jpeg, int index = 0)
{
    for (std::size_t i = 2; i + 1 < jpeg.size(); ++i)
        if (jpeg[i] == 0xff && jpeg[i + 1] == 0xda && index-- == 0)
            return i;
    return 0;
}

// A progressive JPEG with two stray bytes before its second scan (libjpeg warns) and a length one
// too large in that scan's header (fatal, before any row is put out).
inline Bytes strayBytesThenBadScanLength(int width, int height, int variant = 0)
{
    const Bytes picture = makeTestPicture(width, height, variant);
    Bytes jpeg = encodeJpeg(picture.data(), width, height, 90, /*progressive=*/true);
    const std::size_t second = scanHeader(jpeg, 1);
    if (second == 0)
        return {};
    ++jpeg[second + 3];
    jpeg.insert(jpeg.begin() + static_cast<std::ptrdiff_t>(second), {0x12, 0x34});
    return jpeg;
}

// A baseline JPEG whose scan ends at coefficient 62 instead of 63 ("Invalid SOS parameters for
// sequential JPEG", a warning) and names AC table 6 of the 4 there are (fatal, before any row).
inline Bytes badScanParametersThenUndefinedTable(int width, int height, int variant = 0)
{
    const Bytes picture = makeTestPicture(width, height, variant);
    Bytes jpeg = encodeJpeg(picture.data(), width, height, 90);
    // FF DA, length (2), component count n, n x (component, DC << 4 | AC table), Ss, Se, Ah << 4 | Al
    const std::size_t sos = scanHeader(jpeg);
    if (sos == 0)
        return {};
    const std::size_t components = jpeg[sos + 4];
    jpeg[sos + 6] = 0x06;
    jpeg[sos + 5 + 2 * components + 1] = 62;
    return jpeg;
}

// The JPEG cut inside its scan header, just after the first component's number: libjpeg warns about
// the missing end, then fails on the end marker it puts in the data's place.
inline Bytes cutInsideScanHeader(const Bytes &jpeg)
{
    const std::size_t sos = scanHeader(jpeg);
    if (sos == 0)
        return {};
    return Bytes(jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(sos + 6));
}

} // namespace damagedjpeg
