#include "damagedjpeg.h"
#include "jpegencoder.h"
#include "referencetransforms.h"
#include "testpicture.h"
#include "videoframe.h"
#include "yuyv.h"

#include <QSize>
#include <QTest>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes jpegOf(int width, int height)
{
    const Bytes picture = makeTestPicture(width, height);
    return encodeJpeg(picture.data(), width, height);
}

// A frame that decoded, its pixels then replaced by noise: the transforms only move 3-byte units,
// and noise shows every misplaced byte. Null when the frame did not decode.
std::unique_ptr<VideoFrame> noiseFrame(int width, int height, std::uint32_t seed = 7)
{
    const Bytes jpeg = jpegOf(width, height);
    auto frame = std::make_unique<VideoFrame>(jpeg.data(), int(jpeg.size()), width, height);
    if (!frame->isDecoded() || frame->byteCount() != std::size_t(width) * height * 3)
        return nullptr;
    const Bytes noise = makeNoisePicture(width, height, seed);
    std::memcpy(frame->data(), noise.data(), noise.size());
    return frame;
}

Bytes pixelsOf(const VideoFrame &frame)
{
    return Bytes(frame.data(), frame.data() + frame.byteCount());
}

// Index of the first differing byte, or -1.
long long firstDifference(const Bytes &actual, const Bytes &expected)
{
    if (actual.size() != expected.size())
        return 0;
    const auto mismatch = std::mismatch(actual.begin(), actual.end(), expected.begin());
    return mismatch.first == actual.end() ? -1 : mismatch.first - actual.begin();
}

// Rows of every size with every mirror and turn, in columns width, height, mirror, upsideDown, turns.
void addTransformRows(const QList<QSize> &sizes)
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<bool>("mirror");
    QTest::addColumn<bool>("upsideDown");
    QTest::addColumn<int>("turns");
    for (const QSize &size : sizes) {
        for (int flips = 0; flips < 4; ++flips) {
            for (int turns = 0; turns <= 3; ++turns) {
                const bool mirror = flips & 1;
                const bool upsideDown = flips & 2;
                QTest::addRow("%dx%d %s%sturns %d", size.width(), size.height(), mirror ? "mirror " : "",
                              upsideDown ? "upside-down " : "", turns)
                    << size.width() << size.height() << mirror << upsideDown << turns;
            }
        }
    }
}

bool isBlack(const unsigned char *pixel)
{
    return pixel[0] == 0 && pixel[1] == 0 && pixel[2] == 0;
}

} // namespace

class TestVideoFrame : public QObject
{
    Q_OBJECT
private slots:
    void decodesAJpegOfItsOwnSize();
    void failedDecodeGivesABlackFrame_data();
    void failedDecodeGivesABlackFrame();
    void failedDecodeIgnoresFlipsButStillRotates();
    void onlySaneSizesGetAPixelBuffer_data();
    void onlySaneSizesGetAPixelBuffer();

    void transformsMatchThePlainAlgorithm_data();
    void transformsMatchThePlainAlgorithm();
    void quarterTurnShowsTheCentredSquareBetweenBands_data();
    void quarterTurnShowsTheCentredSquareBetweenBands();
    void quarterTurnOfLandscapeMapsPixelsAsDescribed();
    void oppositeTurnsRestoreThePicture_data();
    void oppositeTurnsRestoreThePicture();
    void otherTurnValuesChangeNothing_data();
    void otherTurnValuesChangeNothing();
    void flipHorizontalOfWidthThreeSwapsTheOuterColumns();
    void bandedDecodeMatchesTheWholeFrameRoute_data();
    void bandedDecodeMatchesTheWholeFrameRoute();
    void failedDecodeGivesTheCameraBlack_data() { failedDecodeGivesABlackFrame_data(); }
    void failedDecodeGivesTheCameraBlack();
};

void TestVideoFrame::decodesAJpegOfItsOwnSize()
{
    const int width = 320;
    const int height = 240;
    const Bytes picture = makeTestPicture(width, height);
    const Bytes jpeg = encodeJpeg(picture.data(), width, height);
    QVERIFY(!jpeg.empty());

    const VideoFrame frame(jpeg.data(), int(jpeg.size()), width, height);
    QVERIFY(frame.isDecoded());
    QCOMPARE(frame.width(), width);
    QCOMPARE(frame.height(), height);
    QCOMPARE(frame.byteCount(), picture.size());

    // Same byte order and row order as the source picture: with B and R swapped or the rows upside
    // down this picture is off by 50 to 60 levels on average. The JPEG itself loses about 5, mostly
    // colour at the edges of its flat blocks (4:2:0 chroma).
    long long errorSum = 0;
    for (std::size_t i = 0; i < picture.size(); ++i)
        errorSum += std::abs(int(frame.data()[i]) - int(picture[i]));
    const double meanError = double(errorSum) / double(picture.size());
    QVERIFY2(meanError < 10.0, qPrintable(QString::number(meanError)));
}

void TestVideoFrame::failedDecodeGivesABlackFrame_data()
{
    QTest::addColumn<Bytes>("jpeg");
    QTest::addColumn<int>("length");

    const Bytes smaller = jpegOf(64, 47);
    const Bytes larger = jpegOf(65, 48);
    const Bytes garbage = makeNoisePicture(100, 1);
    const Bytes good = jpegOf(64, 48);
    const Bytes failsAfterWarning = damagedjpeg::strayBytesThenBadScanLength(64, 48);
    QTest::newRow("JPEG one row short") << smaller << int(smaller.size());
    QTest::newRow("JPEG one column wider") << larger << int(larger.size());
    QTest::newRow("no JPEG at all") << garbage << int(garbage.size());
    QTest::newRow("header cut off") << good << 20;
    QTest::newRow("fatal error after a warning") << failsAfterWarning << int(failsAfterWarning.size());
    QTest::newRow("zero length") << good << 0;
    QTest::newRow("negative length") << good << -1;
    QTest::newRow("null pointer") << Bytes() << 100;
}

void TestVideoFrame::failedDecodeGivesABlackFrame()
{
    QFETCH(Bytes, jpeg);
    QFETCH(int, length);

    // The frame before leaves its pixel buffer, picture and all, to this one.
    const Bytes previous = jpegOf(64, 48);
    QVERIFY(VideoFrame(previous.data(), int(previous.size()), 64, 48).isDecoded());
    const VideoFrame frame(jpeg.empty() ? nullptr : jpeg.data(), length, 64, 48);
    QVERIFY(!frame.isDecoded());
    QCOMPARE(frame.byteCount(), std::size_t(64 * 48 * 3));
    const Bytes pixels = pixelsOf(frame);
    QCOMPARE(std::count(pixels.begin(), pixels.end(), 0), qsizetype(pixels.size()));
}

void TestVideoFrame::failedDecodeIgnoresFlipsButStillRotates()
{
    const Bytes wrongSize = jpegOf(41, 30);
    VideoFrame frame(wrongSize.data(), int(wrongSize.size()), 40, 30);
    QVERIFY(!frame.isDecoded());
    const Bytes noise = makeNoisePicture(40, 30);
    std::memcpy(frame.data(), noise.data(), noise.size());

    frame.flipHorizontal();
    frame.flipVertical();
    QCOMPARE(firstDifference(pixelsOf(frame), noise), -1);

    Bytes expected = noise;
    reference::rotate(expected.data(), 40, 30, 1);
    frame.rotate(1);
    QCOMPARE(firstDifference(pixelsOf(frame), expected), -1);

    // The same when the three steps run as one.
    for (int turns : {1, 2}) {
        VideoFrame fused(wrongSize.data(), int(wrongSize.size()), 40, 30);
        std::memcpy(fused.data(), noise.data(), noise.size());
        fused.transform(true, true, turns);
        Bytes turned = noise;
        reference::rotate(turned.data(), 40, 30, turns);
        QCOMPARE(firstDifference(pixelsOf(fused), turned), -1);
    }
}

void TestVideoFrame::onlySaneSizesGetAPixelBuffer_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<bool>("hasPicture");
    QTest::newRow("width 0") << 0 << 480 << false;
    QTest::newRow("height 0") << 640 << 0 << false;
    QTest::newRow("negative width") << -640 << 480 << false;
    QTest::newRow("both negative") << -2 << -2 << false;
    QTest::newRow("65535 x 65535") << 65535 << 65535 << false;
    QTest::newRow("int max x int max") << INT_MAX << INT_MAX << false;
    QTest::newRow("int max x 1") << INT_MAX << 1 << false;
    QTest::newRow("just above 8192 x 8192") << 8193 << 8192 << false;
    QTest::newRow("8K still has a picture") << 7680 << 4320 << true;
}

void TestVideoFrame::onlySaneSizesGetAPixelBuffer()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(bool, hasPicture);
    const Bytes jpeg = jpegOf(16, 16);

    VideoFrame frame(jpeg.data(), int(jpeg.size()), width, height);
    QVERIFY(!frame.isDecoded());
    QCOMPARE(frame.width(), width);
    QCOMPARE(frame.height(), height);
    if (hasPicture) {
        QCOMPARE(frame.byteCount(), std::size_t(width) * std::size_t(height) * 3);
        const Bytes pixels = pixelsOf(frame);
        QCOMPARE(std::count(pixels.begin(), pixels.end(), 0), qsizetype(pixels.size()));
    } else {
        QCOMPARE(frame.byteCount(), std::size_t(0));
        QVERIFY(!frame.data());
    }
    frame.flipHorizontal();
    frame.flipVertical();
    for (int turns = 1; turns <= 3; ++turns)
        frame.rotate(turns);
}

void TestVideoFrame::transformsMatchThePlainAlgorithm_data()
{

    // One-pixel lines, tiny odd and even pictures, sides at and just past the turn's tile edge (32),
    // the common camera sizes and their odd neighbours in both orientations.
    const QList<QSize> sizes = {{1, 1},   {1, 9},   {9, 1},    {2, 3},    {3, 2},    {7, 5},    {5, 7},
                                {32, 32}, {33, 17}, {65, 33},  {640, 480}, {641, 480}, {480, 641}, {480, 640},
                                {481, 481}};
    addTransformRows(sizes);
}

void TestVideoFrame::transformsMatchThePlainAlgorithm()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(bool, mirror);
    QFETCH(bool, upsideDown);
    QFETCH(int, turns);

    const std::unique_ptr<VideoFrame> frame = noiseFrame(width, height);
    const std::unique_ptr<VideoFrame> fused = noiseFrame(width, height);
    QVERIFY(frame && fused);
    Bytes expected = pixelsOf(*frame);

    // The controller's order: mirror, upside down, then turn.
    if (mirror) {
        reference::flipHorizontal(expected.data(), width, height);
        frame->flipHorizontal();
    }
    if (upsideDown) {
        reference::flipVertical(expected.data(), width, height);
        frame->flipVertical();
    }
    reference::rotate(expected.data(), width, height, turns);
    frame->rotate(turns);

    QCOMPARE(frame->width(), width);
    QCOMPARE(frame->height(), height);
    QCOMPARE(firstDifference(pixelsOf(*frame), expected), -1);

    // All three steps in one pass.
    fused->transform(mirror, upsideDown, turns);
    QCOMPARE(firstDifference(pixelsOf(*fused), expected), -1);
}

void TestVideoFrame::quarterTurnShowsTheCentredSquareBetweenBands_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("turns");
    QTest::addColumn<int>("left");
    QTest::addColumn<int>("right");
    QTest::addColumn<int>("top");
    QTest::addColumn<int>("bottom");
    QTest::newRow("640x480 turns 1") << 640 << 480 << 1 << 80 << 80 << 0 << 0;
    QTest::newRow("480x640 turns 1") << 480 << 640 << 1 << 0 << 0 << 80 << 80;
    QTest::newRow("641x480 turns 3") << 641 << 480 << 3 << 80 << 81 << 0 << 0;
    QTest::newRow("480x641 turns 3") << 480 << 641 << 3 << 0 << 0 << 80 << 81;
    QTest::newRow("480x480 turns 1") << 480 << 480 << 1 << 0 << 0 << 0 << 0;
}

void TestVideoFrame::quarterTurnShowsTheCentredSquareBetweenBands()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, turns);
    QFETCH(int, left);
    QFETCH(int, right);
    QFETCH(int, top);
    QFETCH(int, bottom);

    const std::unique_ptr<VideoFrame> frame = noiseFrame(width, height);
    QVERIFY(frame);
    for (std::size_t i = 0; i < frame->byteCount(); ++i)
        frame->data()[i] |= 1; // no black pixel before the turn
    frame->rotate(turns);

    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const bool band = x < left || x >= width - right || y < top || y >= height - bottom;
            const unsigned char *pixel = frame->data() + (std::size_t(y) * width + x) * 3;
            if (isBlack(pixel) != band)
                QFAIL(qPrintable(QStringLiteral("pixel %1,%2 is %3black").arg(x).arg(y).arg(band ? "not " : "")));
        }
    }
}

void TestVideoFrame::quarterTurnOfLandscapeMapsPixelsAsDescribed()
{
    // Checked against the picture itself, not against the plain algorithm: column 80 + i of row j
    // shows what stood at column 80 + j of row 479 - i.
    const std::unique_ptr<VideoFrame> frame = noiseFrame(640, 480);
    QVERIFY(frame);
    const Bytes before = pixelsOf(*frame);
    frame->rotate(1);
    for (int j = 0; j < 480; ++j) {
        for (int i = 0; i < 480; ++i) {
            const unsigned char *now = frame->data() + (std::size_t(j) * 640 + 80 + i) * 3;
            const unsigned char *then = before.data() + (std::size_t(479 - i) * 640 + 80 + j) * 3;
            if (std::memcmp(now, then, 3) != 0)
                QFAIL(qPrintable(QStringLiteral("column %1 row %2").arg(80 + i).arg(j)));
        }
    }
}

void TestVideoFrame::oppositeTurnsRestoreThePicture_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("second");
    QTest::newRow("half turn twice, 640x480") << 640 << 480 << 2 << 2;
    QTest::newRow("half turn twice, 7x5") << 7 << 5 << 2 << 2;
    QTest::newRow("half turn twice, 1x9") << 1 << 9 << 2 << 2;
    QTest::newRow("1 then 3, 480x480") << 480 << 480 << 1 << 3;
    QTest::newRow("3 then 1, 5x5") << 5 << 5 << 3 << 1;
    QTest::newRow("1 then 3, 1x1") << 1 << 1 << 1 << 3;
}

void TestVideoFrame::oppositeTurnsRestoreThePicture()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, first);
    QFETCH(int, second);

    const std::unique_ptr<VideoFrame> frame = noiseFrame(width, height);
    QVERIFY(frame);
    const Bytes before = pixelsOf(*frame);
    frame->rotate(first);
    QVERIFY(width * height == 1 || firstDifference(pixelsOf(*frame), before) != -1);
    frame->rotate(second);
    QCOMPARE(firstDifference(pixelsOf(*frame), before), -1);
}

void TestVideoFrame::otherTurnValuesChangeNothing_data()
{
    QTest::addColumn<int>("turns");
    QTest::newRow("0") << 0;
    QTest::newRow("4") << 4;
    QTest::newRow("-1") << -1;
    QTest::newRow("-3") << -3;
    QTest::newRow("int min") << INT_MIN;
}

void TestVideoFrame::otherTurnValuesChangeNothing()
{
    QFETCH(int, turns);
    const std::unique_ptr<VideoFrame> frame = noiseFrame(64, 48);
    QVERIFY(frame);
    const Bytes before = pixelsOf(*frame);
    frame->rotate(turns);
    QCOMPARE(firstDifference(pixelsOf(*frame), before), -1);
}

void TestVideoFrame::flipHorizontalOfWidthThreeSwapsTheOuterColumns()
{
    const std::unique_ptr<VideoFrame> frame = noiseFrame(3, 4);
    QVERIFY(frame);
    const Bytes before = pixelsOf(*frame);
    frame->flipHorizontal();
    for (int y = 0; y < 4; ++y) {
        const unsigned char *row = frame->data() + y * 9;
        const unsigned char *old = before.data() + y * 9;
        QCOMPARE(std::memcmp(row, old + 6, 3), 0);
        QCOMPARE(std::memcmp(row + 3, old + 3, 3), 0);
        QCOMPARE(std::memcmp(row + 6, old, 3), 0);
    }
}

void TestVideoFrame::bandedDecodeMatchesTheWholeFrameRoute_data()
{

    // One pixel, tiny odd pictures, and pictures of several bands and strips (64 rows or columns each)
    // whose square sits at an even or an odd column, in both orientations.
    const QList<QSize> sizes = {{1, 1},    {2, 3},    {7, 5},     {5, 7},     {33, 17}, {200, 150},
                                {202, 150}, {150, 201}, {129, 129}, {643, 480}, {360, 643}};
    addTransformRows(sizes);
}

void TestVideoFrame::bandedDecodeMatchesTheWholeFrameRoute()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(bool, mirror);
    QFETCH(bool, upsideDown);
    QFETCH(int, turns);
    // Noise through the JPEG: nearly every pixel differs from its neighbours, so a misplaced one shows.
    const Bytes noise = makeNoisePicture(width, height, 3);
    const Bytes jpeg = encodeJpeg(noise.data(), width, height);
    const int yuyvStride = (width & ~1) * 2;

    // The whole-frame route: the picture decoded, transformed, then converted.
    VideoFrame whole(jpeg.data(), int(jpeg.size()), width, height);
    QVERIFY(whole.isDecoded());
    whole.transform(mirror, upsideDown, turns);
    const Bytes pixels = pixelsOf(whole);
    Bytes yuyv(std::size_t(yuyvStride) * height);
    bgrToYuyv(pixels.data(), width, height, yuyv.data());

    // Straight into the camera's frame, with no one asking for the frame's pixels or a sample: the
    // JPEG's own rows converted, where its layout allows.
    VideoFrame direct(jpeg.data(), int(jpeg.size()), width, height);
    direct.transform(mirror, upsideDown, turns);
    Bytes camera(yuyv.size(), 0x5a);
    direct.toYuyv(camera.data(), yuyvStride);
    QCOMPARE(firstDifference(camera, yuyv), -1);

    // Banded into the camera's frame, over whatever it held, with a sample of it for the preview, taken
    // at every step-th pixel into rows with a gap; then banded into the frame's own pixels.
    VideoFrame banded(jpeg.data(), int(jpeg.size()), width, height);
    const int step = 1 + (width + height) % 3;
    const int sampleWidth = std::max(1, width / step);
    const int sampleHeight = std::max(1, height / step);
    const std::size_t sampleStride = std::size_t(sampleWidth) * 3 + 1;
    Bytes sample(sampleStride * sampleHeight, 0x5a);
    banded.keepSample(sample.data(), std::ptrdiff_t(sampleStride), step);
    banded.transform(mirror, upsideDown, turns);
    camera.assign(camera.size(), 0x5a);
    banded.toYuyv(camera.data(), yuyvStride);
    QCOMPARE(firstDifference(camera, yuyv), -1);
    QVERIFY(banded.hasSample());
    // The sample is the picture's pixels, except a last odd column, which the camera leaves out: black.
    Bytes expected(sample.size(), 0x5a);
    for (int y = 0; y < sampleHeight; ++y) {
        for (int x = 0; x < sampleWidth; ++x) {
            unsigned char *to = expected.data() + y * sampleStride + x * 3;
            if (x * step < (width & ~1))
                std::memcpy(to, pixels.data() + (std::size_t(y) * step * width + std::size_t(x) * step) * 3, 3);
            else
                std::memset(to, 0, 3);
        }
    }
    QCOMPARE(firstDifference(sample, expected), -1);
    QCOMPARE(firstDifference(pixelsOf(banded), pixels), -1);
}

void TestVideoFrame::failedDecodeGivesTheCameraBlack()
{
    QFETCH(Bytes, jpeg);
    QFETCH(int, length);

    VideoFrame frame(jpeg.empty() ? nullptr : jpeg.data(), length, 64, 48);
    Bytes sample(32 * 24 * 3, 0x5a);
    frame.keepSample(sample.data(), 32 * 3, 2);
    Bytes camera(64 * 48 * 2, 0x5a);
    frame.toYuyv(camera.data(), 64 * 2);
    Bytes expected(camera.size());
    const Bytes zeros(64 * 48 * 3, 0);
    bgrToYuyv(zeros.data(), 64, 48, expected.data());
    QCOMPARE(firstDifference(camera, expected), -1);
    QCOMPARE(firstDifference(sample, Bytes(sample.size(), 0)), -1);
    QVERIFY(!frame.isDecoded());
}

QTEST_APPLESS_MAIN(TestVideoFrame)
#include "tst_videoframe.moc"
