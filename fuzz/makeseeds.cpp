// Writes the fuzzer's seed corpus: connections of a phone that answers the handshake and sends real
// JPEGs of a few sizes, baseline and progressive, plus the damaged frames the decoder once took for
// pictures. Run as `fuzz-seeds DIR`; the same files come out every time.

#include "damagedjpeg.h"
#include "jpegencoder.h"
#include "testpicture.h"
#include "wirebytes.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

void append(Bytes &to, const Bytes &bytes)
{
    to.insert(to.end(), bytes.begin(), bytes.end());
}

void append(Bytes &to, const QByteArray &bytes)
{
    to.insert(to.end(), bytes.begin(), bytes.end());
}

Bytes jpegOf(int width, int height, bool progressive, int variant = 0)
{
    const Bytes picture = makeTestPicture(width, height, variant);
    return encodeJpeg(picture.data(), width, height, 75, progressive);
}

// Noise uses every Huffman code the encoder has.
Bytes noiseJpegOf(int width, int height, bool progressive)
{
    const Bytes picture = makeNoisePicture(width, height);
    return encodeJpeg(picture.data(), width, height, 75, progressive);
}

// Transform choice, version reply (2.19, plus surplus bytes), resolution reply, then each JPEG as a frame.
Bytes connection(int transformChoice, int width, int height, const std::vector<Bytes> &jpegs, int surplus = 0)
{
    Bytes input{std::uint8_t(transformChoice)};
    input.push_back(1);
    append(input, bigEndianU32(3 + surplus));
    append(input, {2, 19, 0});
    input.insert(input.end(), std::size_t(surplus), 0x5a);
    input.push_back(2);
    append(input, bigEndianU32(5));
    append(input, {1, std::uint8_t(width >> 8), std::uint8_t(width), std::uint8_t(height >> 8), std::uint8_t(height)});
    for (const Bytes &jpeg : jpegs) {
        append(input, bigEndianU32(quint32(jpeg.size())));
        append(input, jpeg);
    }
    return input;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    const std::filesystem::path dir = argv[1];
    std::filesystem::create_directories(dir);

    const Bytes good = jpegOf(64, 48, false, 1);
    const Bytes cut(good.begin(), good.begin() + std::ptrdiff_t(good.size() * 6 / 10));
    const struct
    {
        const char *name;
        Bytes input;
    } seeds[] = {
        {"baseline-64x48", connection(0, 64, 48, {jpegOf(64, 48, false), good})},
        {"baseline-37x21", connection(5, 37, 21, {jpegOf(37, 21, false)})},
        {"baseline-2x1", connection(2, 2, 1, {jpegOf(2, 1, false)})},
        {"baseline-320x240", connection(9, 320, 240, {jpegOf(320, 240, false)})},
        {"baseline-noise-48x32", connection(10, 48, 32, {noiseJpegOf(48, 32, false)})},
        {"progressive-noise-48x32", connection(11, 48, 32, {noiseJpegOf(48, 32, true)})},
        {"progressive-64x48", connection(3, 64, 48, {jpegOf(64, 48, true)})},
        {"progressive-45x33", connection(14, 45, 33, {jpegOf(45, 33, true)})},
        {"progressive-160x120", connection(6, 160, 120, {jpegOf(160, 120, true)})},
        {"surplus-in-version-reply", connection(1, 16, 16, {jpegOf(16, 16, false)}, 5)},
        {"cut-inside-scan", connection(7, 64, 48, {cut, good})},
        {"fatal-after-warning-progressive",
         connection(0, 64, 48, {good, damagedjpeg::strayBytesThenBadScanLength(64, 48), good})},
        {"fatal-after-warning-baseline",
         connection(4, 64, 48, {good, damagedjpeg::badScanParametersThenUndefinedTable(64, 48), good})},
        {"cut-inside-scan-header", connection(8, 64, 48, {good, damagedjpeg::cutInsideScanHeader(good), good})},
    };
    for (const auto &seed : seeds) {
        std::ofstream out(dir / seed.name, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(seed.input.data()), std::streamsize(seed.input.size()));
        if (!out) {
            std::fprintf(stderr, "cannot write %s\n", (dir / seed.name).c_str());
            return 1;
        }
    }
    return 0;
}
