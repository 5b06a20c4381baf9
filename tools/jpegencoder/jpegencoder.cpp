#include "jpegencoder.h"

#include <turbojpeg.h>

#include <memory>

namespace {

struct CompressorDeleter
{
    void operator()(void *handle) const { tjDestroy(handle); }
};

} // namespace

std::vector<unsigned char> encodeJpeg(const unsigned char *pixels, int width, int height, int quality, bool progressive,
                                      bool fullChroma)
{
    constexpr int maxJpegSide = 65500; // JPEG_MAX_DIMENSION of libjpeg
    if (!pixels || width <= 0 || height <= 0 || width > maxJpegSide || height > maxJpegSide || quality < 1
        || quality > 100)
        return {};
    const std::unique_ptr<void, CompressorDeleter> compressor(tjInitCompress());
    if (!compressor)
        return {};

    // Compress straight into the vector: tjBufSize is the worst case for any picture of this size,
    // and TJFLAG_NOREALLOC keeps TurboJPEG from swapping in a buffer of its own.
    const int sampling = fullChroma ? TJSAMP_444 : TJSAMP_420;
    const unsigned long capacity = tjBufSize(width, height, sampling);
    if (capacity == static_cast<unsigned long>(-1))
        return {};
    std::vector<unsigned char> jpeg(capacity);
    unsigned char *out = jpeg.data();
    unsigned long size = capacity;
    if (tjCompress2(compressor.get(), pixels, width, width * 3, height, TJPF_BGR, &out, &size, sampling, quality,
                    TJFLAG_NOREALLOC | (progressive ? TJFLAG_PROGRESSIVE : 0))
        != 0)
        return {};
    jpeg.resize(size);
    return jpeg;
}
