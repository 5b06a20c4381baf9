// The per-frame kernels of the capture path at the common camera sizes: JPEG decode, the frame
// transforms (with the plain pixel-by-pixel versions beside them) and the conversion for the
// virtual camera. bench/README.md has the figures and how to run this.

#include "jpegdecoder.h"
#include "jpegencoder.h"
#include "referencetransforms.h"
#include "videoframe.h"
#include "yuyv.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

unsigned char clampByte(int value)
{
    return static_cast<unsigned char>(value < 0 ? 0 : value > 255 ? 255 : value);
}

// What a camera sees, as far as the codec cares: smooth gradients (walls, sky), a few hard-edged
// shapes in strong colours, and sensor noise over everything, so that the JPEG carries texture in
// every block like a real frame does rather than compressing to almost nothing.
Bytes cameraLikePicture(int width, int height)
{
    Bytes bgr(static_cast<std::size_t>(width) * height * 3);
    std::uint32_t seed = 12345;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            int b = 150 + 80 * y / height - 40 * x / width;
            int g = 90 + 100 * x / width;
            int r = 60 + 120 * (height - y) / height;

            const int cx = x - width / 3;
            const int cy = y - height / 2;
            const int radius = height / 4;
            if (cx * cx + cy * cy < radius * radius) { // a face-sized disc
                b = 90;
                g = 140 + 30 * cy / radius;
                r = 210;
            } else if (x > width * 3 / 5 && x < width * 9 / 10 && y > height / 5 && y < height * 3 / 5) {
                b = 40; // a window or poster
                g = 60 + (x / 8 % 2) * 120;
                r = 30;
            } else if (y > height * 4 / 5) { // a desk with a grain
                b = 30 + (x + 3 * y) % 23;
                g = 70 + (x + 3 * y) % 31;
                r = 120;
            }

            seed = seed * 1664525u + 1013904223u;
            const int noise = static_cast<int>(seed >> 28) - 8;
            unsigned char *pixel = &bgr[(static_cast<std::size_t>(y) * width + x) * 3];
            pixel[0] = clampByte(b + noise);
            pixel[1] = clampByte(g + noise);
            pixel[2] = clampByte(r + noise);
        }
    }
    return bgr;
}

const Bytes &cameraJpeg(int width, int height)
{
    static std::map<std::pair<int, int>, Bytes> cache;
    Bytes &jpeg = cache[{width, height}];
    if (jpeg.empty()) {
        const Bytes picture = cameraLikePicture(width, height);
        jpeg = encodeJpeg(picture.data(), width, height, 85);
        if (jpeg.empty())
            std::abort();
    }
    return jpeg;
}

// Throughput in bytes of decoded picture.
void setThroughput(benchmark::State &state, int width, int height)
{
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * width * height * 3);
}

void setJpegSize(benchmark::State &state, const Bytes &jpeg)
{
    state.counters["jpeg_kB"] = static_cast<double>(jpeg.size()) / 1000.0;
}

void BM_JpegDecode(benchmark::State &state)
{
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    const Bytes &jpeg = cameraJpeg(width, height);
    Bytes pixels(static_cast<std::size_t>(width) * height * 3);
    for (auto _ : state) {
        JpegDecoder decoder;
        decoder.init();
        if (!decoder.decode(jpeg.data(), jpeg.size(), pixels.data(), width, height))
            state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(pixels.data());
    }
    setThroughput(state, width, height);
    setJpegSize(state, jpeg);
}

// What the pipeline pays per received frame: buffer and decode.
void BM_VideoFrameFromJpeg(benchmark::State &state)
{
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    const Bytes &jpeg = cameraJpeg(width, height);
    for (auto _ : state) {
        VideoFrame frame(jpeg.data(), static_cast<int>(jpeg.size()), width, height);
        benchmark::DoNotOptimize(frame.data());
    }
    setThroughput(state, width, height);
    setJpegSize(state, jpeg);
}

// A received frame into the camera's YUYV frame, as sent (arg 0) or with both mirrors and a quarter turn
// (arg 1): banded from the JPEG, or (Whole) decoded whole, transformed and converted.
template<bool Whole>
void BM_FrameToCamera(benchmark::State &state)
{
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    const bool transformed = state.range(2) != 0;
    const Bytes &jpeg = cameraJpeg(width, height);
    Bytes yuyv(static_cast<std::size_t>(width & ~1) * 2 * height);
    for (auto _ : state) {
        VideoFrame frame(jpeg.data(), static_cast<int>(jpeg.size()), width, height);
        if (Whole) {
            frame.data();
            frame.transform(transformed, transformed, transformed ? 1 : 0);
            bgrToYuyv(frame.data(), width, height, yuyv.data());
        } else {
            frame.transform(transformed, transformed, transformed ? 1 : 0);
            frame.toYuyv(yuyv.data(), (width & ~1) * 2);
        }
        benchmark::DoNotOptimize(yuyv.data());
    }
    setThroughput(state, width, height);
}

enum class Kernel { FlipHorizontal, FlipVertical, Rotate, PlainFlipHorizontal, PlainRotate, AllInOne, PlainAll };

// A transform applied again and again to one decoded frame; no transform's cost depends on the
// pixel values.
template<Kernel kernel>
void BM_Transform(benchmark::State &state)
{
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    const int turns = kernel == Kernel::Rotate || kernel == Kernel::PlainRotate ? static_cast<int>(state.range(2)) : 0;
    const Bytes &jpeg = cameraJpeg(width, height);
    VideoFrame frame(jpeg.data(), static_cast<int>(jpeg.size()), width, height);
    if (!frame.isDecoded()) {
        state.SkipWithError("decode failed");
        return;
    }
    for (auto _ : state) {
        switch (kernel) {
        case Kernel::FlipHorizontal:
            frame.flipHorizontal();
            break;
        case Kernel::FlipVertical:
            frame.flipVertical();
            break;
        case Kernel::Rotate:
            frame.rotate(turns);
            break;
        case Kernel::PlainFlipHorizontal:
            reference::flipHorizontal(frame.data(), width, height);
            break;
        case Kernel::PlainRotate:
            reference::rotate(frame.data(), width, height, turns);
            break;
        case Kernel::AllInOne: // both mirrors and a quarter turn, as the capture thread does them
            frame.transform(true, true, 1);
            break;
        case Kernel::PlainAll:
            reference::flipHorizontal(frame.data(), width, height);
            reference::flipVertical(frame.data(), width, height);
            reference::rotate(frame.data(), width, height, 1);
            break;
        }
        benchmark::ClobberMemory();
    }
    setThroughput(state, width, height);
}

void BM_BgrToYuyv(benchmark::State &state)
{
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    const Bytes bgr = cameraLikePicture(width, height);
    std::vector<std::uint8_t> yuyv(static_cast<std::size_t>(width & ~1) * 2 * height);
    for (auto _ : state) {
        bgrToYuyv(bgr.data(), width, height, yuyv.data());
        benchmark::ClobberMemory();
    }
    setThroughput(state, width, height);
}

// The quarter turn's conversion at 1280x720: the square's 720 frame columns made from the rows of the
// picture's bands, a strip of 64 columns per band, into the camera's frame, as the capture path does.
void BM_BgrColumnsToYuyv(benchmark::State &state)
{
    constexpr int width = 1280, height = 720, strip = 64, left = (width - height) / 2;
    const Bytes bgr = cameraLikePicture(width, height);
    std::vector<std::uint8_t> yuyv(static_cast<std::size_t>(width) * 2 * height);
    const std::uint8_t *columns[strip];
    for (auto _ : state) {
        for (int first = 0; first < height; first += strip) {
            const int count = std::min(strip, height - first);
            for (int c = 0; c < count; ++c)
                columns[c] = bgr.data() + (static_cast<std::size_t>(first + c) * width + left) * 3;
            bgrColumnsToYuyv(columns, count, height, true, yuyv.data() + (left + first) * 2, width * 2);
        }
        benchmark::ClobberMemory();
    }
    setThroughput(state, height, height);
}

// A phone's picture fitted into a device that a reader holds at 1280x720, against bgrToYuyv of the
// same picture into a device of its own size (the conversion that fitting replaces).
void BM_FitIntoYuyv(benchmark::State &state)
{
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    const Bytes bgr = cameraLikePicture(width, height);
    std::vector<std::uint8_t> yuyv(static_cast<std::size_t>(1280) * 2 * 720);
    YuyvFitter fitter;
    for (auto _ : state) {
        fitter.fit(bgr.data(), width, height, yuyv.data(), 1280, 720);
        benchmark::ClobberMemory();
    }
    setThroughput(state, width, height);
}

// With --benchmark_repetitions: the fastest repetition is the figure least disturbed by other work
// on a shared machine.
void commonSettings(benchmark::internal::Benchmark *b)
{
    b->Unit(benchmark::kMicrosecond)->ComputeStatistics("min", [](const std::vector<double> &runs) {
        return *std::min_element(runs.begin(), runs.end());
    });
}

void cameraSizes(benchmark::internal::Benchmark *b)
{
    commonSettings(b);
    b->ArgNames({"w", "h"})->Args({640, 480})->Args({1280, 720})->Args({1920, 1080});
}

void cameraSizesAndTurns(benchmark::internal::Benchmark *b)
{
    commonSettings(b);
    b->ArgNames({"w", "h", "turns"});
    for (const auto &[width, height] : {std::pair{640, 480}, {1280, 720}, {1920, 1080}})
        for (int turns = 1; turns <= 3; ++turns)
            b->Args({width, height, turns});
}

void cameraSizesAndTransforms(benchmark::internal::Benchmark *b)
{
    commonSettings(b);
    b->ArgNames({"w", "h", "transformed"});
    for (const auto &[width, height] : {std::pair{640, 480}, {1280, 720}, {1920, 1080}})
        for (int transformed = 0; transformed <= 1; ++transformed)
            b->Args({width, height, transformed});
}

void fitSizes(benchmark::internal::Benchmark *b)
{
    commonSettings(b);
    b->ArgNames({"w", "h"})->Args({720, 1280})->Args({1280, 720})->Args({640, 480})->Args({1920, 1080});
}

} // namespace

BENCHMARK(BM_JpegDecode)->Apply(cameraSizes);
BENCHMARK(BM_VideoFrameFromJpeg)->Apply(cameraSizes);
BENCHMARK(BM_Transform<Kernel::FlipHorizontal>)->Name("BM_FlipHorizontal")->Apply(cameraSizes);
BENCHMARK(BM_Transform<Kernel::PlainFlipHorizontal>)->Name("BM_PlainFlipHorizontal")->Apply(cameraSizes);
BENCHMARK(BM_Transform<Kernel::FlipVertical>)->Name("BM_FlipVertical")->Apply(cameraSizes);
BENCHMARK(BM_Transform<Kernel::Rotate>)->Name("BM_Rotate")->Apply(cameraSizesAndTurns);
BENCHMARK(BM_Transform<Kernel::PlainRotate>)->Name("BM_PlainRotate")->Apply(cameraSizesAndTurns);
BENCHMARK(BM_Transform<Kernel::AllInOne>)->Name("BM_MirrorsAndQuarterTurn")->Apply(cameraSizes);
BENCHMARK(BM_Transform<Kernel::PlainAll>)->Name("BM_PlainMirrorsAndQuarterTurn")->Apply(cameraSizes);
BENCHMARK(BM_BgrToYuyv)->Apply(cameraSizes);
BENCHMARK(BM_BgrColumnsToYuyv);
BENCHMARK(BM_FitIntoYuyv)->Apply(fitSizes);
BENCHMARK(BM_FrameToCamera<false>)->Name("BM_FrameToCamera")->Apply(cameraSizesAndTransforms);
BENCHMARK(BM_FrameToCamera<true>)->Name("BM_WholeFrameToCamera")->Apply(cameraSizesAndTransforms);

BENCHMARK_MAIN();
