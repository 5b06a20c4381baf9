#include "yuyvreference.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {

uchar clampToByte(double value)
{
    return static_cast<uchar>(std::clamp(std::lround(value), 0L, 255L));
}

// Y, U, V of a colour, BT.601 with Y in 16..235 and U, V in 16..240.
double lumaOf(double r, double g, double b)
{
    return 16.0 + (65.481 * r + 128.553 * g + 24.966 * b) / 255.0;
}
double blueDifferenceOf(double r, double g, double b)
{
    return 128.0 + (-37.797 * r - 74.203 * g + 112.0 * b) / 255.0;
}
double redDifferenceOf(double r, double g, double b)
{
    return 128.0 + (112.0 * r - 93.786 * g - 18.214 * b) / 255.0;
}

} // namespace

int yuyvFrameBytes(int width, int height)
{
    return (width & ~1) * 2 * height;
}

QByteArray bgrToYuyvReference(const uchar *bgr, int width, int height)
{
    QByteArray yuyv(yuyvFrameBytes(width, height), Qt::Uninitialized);
    uchar *out = reinterpret_cast<uchar *>(yuyv.data());
    for (int y = 0; y < height; ++y) {
        const uchar *row = bgr + static_cast<qsizetype>(y) * width * 3;
        for (int x = 0; x + 1 < width; x += 2) {
            const uchar *left = row + x * 3;
            const uchar *right = left + 3;
            const double b = (left[0] + right[0]) / 2.0;
            const double g = (left[1] + right[1]) / 2.0;
            const double r = (left[2] + right[2]) / 2.0;
            *out++ = clampToByte(lumaOf(left[2], left[1], left[0]));
            *out++ = clampToByte(blueDifferenceOf(r, g, b));
            *out++ = clampToByte(lumaOf(right[2], right[1], right[0]));
            *out++ = clampToByte(redDifferenceOf(r, g, b));
        }
    }
    return yuyv;
}

QByteArray yuyvToBgrReference(const uchar *yuyv, int width, int height)
{
    const int evenWidth = width & ~1;
    QByteArray bgr(static_cast<qsizetype>(evenWidth) * height * 3, Qt::Uninitialized);
    uchar *out = reinterpret_cast<uchar *>(bgr.data());
    const int pairs = evenWidth / 2 * height;
    for (int i = 0; i < pairs; ++i, yuyv += 4) {
        const double u = yuyv[1] - 128.0;
        const double v = yuyv[3] - 128.0;
        for (const int lumaIndex : {0, 2}) {
            const double y = (yuyv[lumaIndex] - 16.0) * 255.0 / 219.0;
            *out++ = clampToByte(y + 2.017232 * u);
            *out++ = clampToByte(y - 0.391762 * u - 0.812968 * v);
            *out++ = clampToByte(y + 1.596027 * v);
        }
    }
    return bgr;
}

YuyvDifference compareBgrWithYuyv(const uchar *bgr, int width, int height, const uchar *yuyv)
{
    const QByteArray decoded = yuyvToBgrReference(yuyv, width, height);
    const int evenWidth = width & ~1;
    YuyvDifference difference;
    if (evenWidth == 0 || height <= 0)
        return difference;
    const auto *got = reinterpret_cast<const uchar *>(decoded.constData());
    qint64 sum = 0;
    for (int y = 0; y < height; ++y) {
        const uchar *expectedRow = bgr + static_cast<qsizetype>(y) * width * 3;
        const uchar *gotRow = got + static_cast<qsizetype>(y) * evenWidth * 3;
        for (int i = 0; i < evenWidth * 3; ++i) {
            const int delta = std::abs(expectedRow[i] - gotRow[i]);
            difference.max = std::max(difference.max, delta);
            sum += delta;
        }
    }
    difference.mean = static_cast<double>(sum) / (static_cast<double>(evenWidth) * height * 3);
    return difference;
}
