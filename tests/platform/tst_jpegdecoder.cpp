#include "damagedjpeg.h"
#include "jpegdecoder.h"
#include "jpegencoder.h"
#include "testpicture.h"
#include "workerthread.h"

#include <QBuffer>
#include <QImage>
#include <QtTest>

#include <algorithm>
#include <memory>

class TestJpegDecoder : public QObject
{
    Q_OBJECT

private slots:
    void decodesWhatWasEncoded_data();
    void decodesWhatWasEncoded();
    void givesBlueGreenRedWithTopRowFirst();
    void refusesImageOfAnotherSize_data();
    void refusesImageOfAnotherSize();
    void refusesEmptyFrameAndNonJpegData_data();
    void refusesEmptyFrameAndNonJpegData();
    void decodesTruncatedJpegAsFarAsItGoes();
    void failedDecodeFailsWholeAndSpoilsNoLaterFrame_data();
    void failedDecodeFailsWholeAndSpoilsNoLaterFrame();
    void handsOverTheRowsOf420PicturesOnly_data();
    void handsOverTheRowsOf420PicturesOnly();
    void decodesOnOneThreadAfterAnother();
    void decodesOnSeveralThreadsAtOnce();
};

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Difference
{
    int max = 0;
    double mean = 0;
};

Difference compare(const Bytes &a, const Bytes &b, std::size_t count)
{
    Difference difference;
    double sum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const int delta = std::abs(a[i] - b[i]);
        difference.max = std::max(difference.max, delta);
        sum += delta;
    }
    difference.mean = count ? sum / count : 0;
    return difference;
}

// The largest difference away from the edges of the test picture's 16x16 blocks, where 4:2:0
// chroma smears the colour of one block into the next.
int maxInsideBlocks(const Bytes &a, const Bytes &b, int width, int height)
{
    int max = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            if (x % 16 >= 3 && x % 16 <= 12 && y % 16 >= 3 && y % 16 <= 12)
                for (int c = 0; c < 3; ++c) {
                    const std::size_t i = (static_cast<std::size_t>(y) * width + x) * 3 + c;
                    max = std::max(max, std::abs(a[i] - b[i]));
                }
    return max;
}

// Decodes the way the capture path does: a fresh decoder per frame, init, then decode.
int decodeFrame(const Bytes &jpeg, Bytes &pixels, int width, int height)
{
    JpegDecoder decoder;
    decoder.init();
    return decoder.decode(jpeg.data(), jpeg.size(), pixels.data(), width, height);
}

const std::uint8_t canaryByte = 0xa5;

// A JPEG and the picture it must decode to, or an empty picture when it must fail.
using Frames = QList<std::pair<Bytes, Bytes>>;
constexpr int frameWidth = 64;
constexpr int frameHeight = 48;

bool untouched(const Bytes &pixels)
{
    return std::all_of(pixels.begin(), pixels.end(), [](std::uint8_t byte) { return byte == canaryByte; });
}

} // namespace

void TestJpegDecoder::decodesWhatWasEncoded_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::newRow("small") << 64 << 48;
    QTest::newRow("not a multiple of the 16x16 MCU") << 37 << 21;
    QTest::newRow("one pixel") << 1 << 1;
    QTest::newRow("720p") << 1280 << 720;
}

void TestJpegDecoder::decodesWhatWasEncoded()
{
    QFETCH(int, width);
    QFETCH(int, height);
    const Bytes picture = makeTestPicture(width, height);
    const Bytes jpeg = encodeJpeg(picture.data(), width, height, 95);
    QVERIFY(jpeg.size() > 2);
    QCOMPARE(jpeg[0], std::uint8_t(0xff)); // SOI
    QCOMPARE(jpeg[1], std::uint8_t(0xd8));

    Bytes pixels(picture.size(), canaryByte);
    QVERIFY(decodeFrame(jpeg, pixels, width, height) != 0);
    // A wrong byte order, row order or row length is off by far more than this.
    const double mean = compare(pixels, picture, picture.size()).mean;
    QVERIFY2(mean < 6.0, qPrintable(QString::number(mean)));
    const int insideBlocks = maxInsideBlocks(pixels, picture, width, height);
    QVERIFY2(insideBlocks < 10, qPrintable(QString::number(insideBlocks)));
}

void TestJpegDecoder::givesBlueGreenRedWithTopRowFirst()
{
    // A JPEG written by another encoder from an image that knows which colour is which: red on
    // top, blue at the bottom left, green at the bottom right.
    QImage image(32, 32, QImage::Format_RGB32);
    image.fill(Qt::red);
    for (int y = 16; y < 32; ++y)
        for (int x = 0; x < 32; ++x)
            image.setPixel(x, y, x < 16 ? qRgb(0, 0, 255) : qRgb(0, 255, 0));
    QByteArray encoded;
    QBuffer buffer(&encoded);
    buffer.open(QIODevice::WriteOnly);
    QVERIFY(image.save(&buffer, "JPEG", 95));
    const Bytes jpeg(encoded.begin(), encoded.end());

    Bytes pixels(32 * 32 * 3, canaryByte);
    QVERIFY(decodeFrame(jpeg, pixels, 32, 32) != 0);
    const auto at = [&pixels](int x, int y) {
        const std::uint8_t *p = &pixels[(y * 32 + x) * 3];
        return std::tuple{int(p[0]), int(p[1]), int(p[2])};
    };
    const auto near = [](std::tuple<int, int, int> got, int b, int g, int r) {
        const auto [gb, gg, gr] = got;
        return std::abs(gb - b) < 12 && std::abs(gg - g) < 12 && std::abs(gr - r) < 12;
    };
    QVERIFY(near(at(8, 4), 0, 0, 255));
    QVERIFY(near(at(24, 4), 0, 0, 255));
    QVERIFY(near(at(4, 26), 255, 0, 0));
    QVERIFY(near(at(26, 26), 0, 255, 0));
}

void TestJpegDecoder::refusesImageOfAnotherSize_data()
{
    QTest::addColumn<int>("frameWidth");
    QTest::addColumn<int>("frameHeight");
    // The JPEG is 64x48 in every row.
    QTest::newRow("frame narrower") << 63 << 48;
    QTest::newRow("frame lower") << 64 << 32;
    QTest::newRow("frame wider") << 80 << 48;
    QTest::newRow("frame higher") << 64 << 49;
    QTest::newRow("width and height swapped") << 48 << 64;
}

void TestJpegDecoder::refusesImageOfAnotherSize()
{
    QFETCH(int, frameWidth);
    QFETCH(int, frameHeight);
    const Bytes picture = makeTestPicture(64, 48);
    const Bytes jpeg = encodeJpeg(picture.data(), 64, 48);
    Bytes pixels(static_cast<std::size_t>(frameWidth) * frameHeight * 3, canaryByte);
    QCOMPARE(decodeFrame(jpeg, pixels, frameWidth, frameHeight), 0);
    QVERIFY(untouched(pixels));
}

void TestJpegDecoder::refusesEmptyFrameAndNonJpegData_data()
{
    const Bytes picture = makeTestPicture(16, 16);
    const Bytes jpeg = encodeJpeg(picture.data(), 16, 16);

    QTest::addColumn<Bytes>("data");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::newRow("zero width") << jpeg << 0 << 16;
    QTest::newRow("zero height") << jpeg << 16 << 0;
    QTest::newRow("negative size") << jpeg << -16 << -16;
    QTest::newRow("no data") << Bytes{} << 16 << 16;
    QTest::newRow("garbage") << makeNoisePicture(100, 1) << 16 << 16;
    QTest::newRow("start marker only") << Bytes{0xff, 0xd8} << 16 << 16;
    QTest::newRow("cut inside the tables") << Bytes(jpeg.begin(), jpeg.begin() + 100) << 16 << 16;
    QTest::newRow("cut inside the scan header") << damagedjpeg::cutInsideScanHeader(jpeg) << 16 << 16;
    // libjpeg reads this header with a mere warning and would go on to fill the whole picture in.
    const std::size_t sos = damagedjpeg::scanHeader(jpeg);
    const std::size_t sosEnd = sos + 2 + (std::size_t(jpeg[sos + 2]) << 8 | jpeg[sos + 3]);
    QTest::newRow("scan header's last byte missing")
        << Bytes(jpeg.begin(), jpeg.begin() + std::ptrdiff_t(sosEnd - 1)) << 16 << 16;
}

void TestJpegDecoder::refusesEmptyFrameAndNonJpegData()
{
    QFETCH(Bytes, data);
    QFETCH(int, width);
    QFETCH(int, height);
    Bytes pixels(static_cast<std::size_t>(std::max(width, 0)) * std::max(height, 0) * 3 + 16, canaryByte);
    JpegDecoder decoder;
    decoder.init();
    // An empty vector's data() may be null; the decoder must cope with both.
    const std::uint8_t none = 0;
    const std::uint8_t *source = data.empty() ? &none : data.data();
    QCOMPARE(decoder.decode(source, data.size(), pixels.data(), width, height), 0);
    QVERIFY(untouched(pixels));
    QCOMPARE(decoder.decode(nullptr, 0, pixels.data(), width, height), 0);
}

void TestJpegDecoder::decodesTruncatedJpegAsFarAsItGoes()
{
    // libjpeg reports the missing end as a warning and fills the rows it never got with grey; the
    // picture is usable as far as the data went, so the frame counts as decoded.
    const int width = 256;
    const int height = 256;
    const Bytes picture = makeTestPicture(width, height);
    const Bytes jpeg = encodeJpeg(picture.data(), width, height, 90);
    const Bytes truncated(jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(jpeg.size() * 6 / 10));

    Bytes pixels(picture.size(), canaryByte);
    QVERIFY(decodeFrame(truncated, pixels, width, height) != 0);
    const Bytes topQuarter(pixels.begin(), pixels.begin() + static_cast<std::ptrdiff_t>(picture.size() / 4));
    QVERIFY(compare(topQuarter, picture, topQuarter.size()).mean < 6.0);
    const Bytes bottomRow(pixels.end() - width * 3, pixels.end());
    QVERIFY(!untouched(bottomRow));
    QVERIFY(compare(bottomRow, Bytes(picture.end() - width * 3, picture.end()), bottomRow.size()).mean > 20.0);
}

void TestJpegDecoder::failedDecodeFailsWholeAndSpoilsNoLaterFrame_data()
{
    // Frames decoded one after another on one thread: each JPEG with the picture it must show, or
    // with no picture when it must fail.
    QTest::addColumn<Frames>("frames");
    const auto good = [](int variant) {
        const Bytes picture = makeTestPicture(frameWidth, frameHeight, variant);
        return std::pair{encodeJpeg(picture.data(), frameWidth, frameHeight, 90), picture};
    };
    const auto bad = [](const Bytes &jpeg) { return std::pair{jpeg, Bytes()}; };

    // libjpeg reports these fatal errors as warnings when a warning came first; no row is written.
    QTest::newRow("progressive: stray bytes, then a scan header of the wrong length")
        << Frames{good(1), bad(damagedjpeg::strayBytesThenBadScanLength(frameWidth, frameHeight, 2)), good(3)};
    QTest::newRow("baseline: invalid scan parameters, then an undefined Huffman table")
        << Frames{good(1), bad(damagedjpeg::badScanParametersThenUndefinedTable(frameWidth, frameHeight, 2)), good(3)};
    // A failed header read used to leave the decoder unable to read any later header.
    const auto third = good(2);
    QTest::newRow("three good, one cut inside its scan header, three good")
        << Frames{good(0), good(1), third, bad(damagedjpeg::cutInsideScanHeader(third.first)), good(3), good(4), good(5)};
}

void TestJpegDecoder::failedDecodeFailsWholeAndSpoilsNoLaterFrame()
{
    QFETCH(Frames, frames);
    for (qsizetype i = 0; i < frames.size(); ++i) {
        const auto &[jpeg, picture] = frames[i];
        QVERIFY(!jpeg.empty());
        Bytes pixels(std::size_t(frameWidth) * frameHeight * 3, canaryByte);
        const int result = decodeFrame(jpeg, pixels, frameWidth, frameHeight);
        if (picture.empty()) {
            QVERIFY2(result == 0, qPrintable(QStringLiteral("frame %1 counted as decoded").arg(i + 1)));
            continue;
        }
        QVERIFY2(result != 0, qPrintable(QStringLiteral("frame %1 failed").arg(i + 1)));
        const double mean = compare(pixels, picture, pixels.size()).mean;
        QVERIFY2(mean < 6.0, qPrintable(QStringLiteral("frame %1 off by %2").arg(i + 1).arg(mean)));
    }
}

void TestJpegDecoder::handsOverTheRowsOf420PicturesOnly_data()
{
    QTest::addColumn<Bytes>("jpeg");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("expected");
    const Bytes picture = makeTestPicture(17, 9);
    QTest::newRow("4:2:0") << encodeJpeg(picture.data(), 17, 9) << 17 << 1;
    QTest::newRow("4:2:0, progressive") << encodeJpeg(picture.data(), 17, 9, 85, true) << 17 << 1;
    QTest::newRow("4:4:4") << encodeJpeg(picture.data(), 17, 9, 85, false, true) << 17 << -1;
    const Bytes narrow = makeTestPicture(15, 9);
    QTest::newRow("narrower than 16") << encodeJpeg(narrow.data(), 15, 9) << 15 << -1;
    QImage grey(17, 9, QImage::Format_Grayscale8);
    grey.fill(128);
    QByteArray encoded;
    QBuffer buffer(&encoded);
    QVERIFY(buffer.open(QIODevice::WriteOnly) && grey.save(&buffer, "JPEG"));
    QTest::newRow("grey") << Bytes(encoded.begin(), encoded.end()) << 17 << -1;
}

void TestJpegDecoder::handsOverTheRowsOf420PicturesOnly()
{
    QFETCH(Bytes, jpeg);
    QFETCH(int, width);
    QFETCH(int, expected);
    struct Rows final : JpegYccRows
    {
        void row(int y, const Row &row) override
        {
            order.push_back(y);
            // Above the top row, its own chroma row is repeated.
            if (y == 0)
                QVERIFY(row.cb == row.cbNext && row.cr == row.crNext);
        }
        std::vector<int> order;
    } rows;
    QCOMPARE(JpegDecoder().decodeYcc420(jpeg.data(), jpeg.size(), width, 9, rows), expected);
    const std::vector<int> all = {0, 1, 2, 3, 4, 5, 6, 7, 8};
    QCOMPARE(rows.order, expected > 0 ? all : std::vector<int>{});
}

void TestJpegDecoder::decodesOnOneThreadAfterAnother()
{
    // Each capture connection runs on a new thread; every one needs its own working decoder and
    // leaves nothing behind when it ends.
    const Bytes picture = makeTestPicture(96, 64);
    const Bytes jpeg = encodeJpeg(picture.data(), 96, 64);
    Bytes expected(picture.size());
    QVERIFY(decodeFrame(jpeg, expected, 96, 64));
    for (int round = 0; round < 4; ++round) {
        Bytes pixels(picture.size(), canaryByte);
        int result = 0;
        WorkerThread thread([&] { result = decodeFrame(jpeg, pixels, 96, 64); });
        QVERIFY(thread.join(10000));
        QVERIFY(result != 0);
        QVERIFY(pixels == expected);
    }
}

void TestJpegDecoder::decodesOnSeveralThreadsAtOnce()
{
    const Bytes picture = makeTestPicture(320, 240);
    const Bytes jpeg = encodeJpeg(picture.data(), 320, 240);
    Bytes expected(picture.size());
    QVERIFY(decodeFrame(jpeg, expected, 320, 240));
    constexpr int threadCount = 4;
    std::vector<int> mismatches(threadCount, 0);
    std::vector<std::unique_ptr<WorkerThread>> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.push_back(std::make_unique<WorkerThread>([&, t] {
            Bytes pixels(picture.size());
            for (int i = 0; i < 20; ++i)
                if (!decodeFrame(jpeg, pixels, 320, 240) || pixels != expected)
                    ++mismatches[t];
        }));
    }
    for (auto &thread : threads)
        QVERIFY(thread->join(30000));
    QCOMPARE(mismatches, std::vector<int>(threadCount, 0));
}

QTEST_GUILESS_MAIN(TestJpegDecoder)
#include "tst_jpegdecoder.moc"
