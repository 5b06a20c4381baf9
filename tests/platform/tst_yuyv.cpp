#include "testpicture.h"
#include "yuyv.h"
#include "yuyvreference.h"
#include "yuyvrow.h"

#include <QtTest>

#include <libyuv/convert_argb.h>
#include <libyuv/convert_from_argb.h>
#include <turbojpeg.h>

#include <algorithm>
#include <random>

class TestYuyv : public QObject
{
    Q_OBJECT

private slots:
    void knownColoursGiveBt601LimitedRange_data();
    void knownColoursGiveBt601LimitedRange();
    void matchesScalarReference_data();
    void matchesScalarReference();
    void givesLibyuvsBytesForEveryColourAndPair();
    void jpegRowsGiveLibjpegsColoursForEveryYCbCr();
    void oddWidthDropsLastColumn();
    void tooNarrowPictureWritesNothing();
    void referenceTurnsYuyvBackIntoTheColours();
    void fittingKeepsTheAspectWithBlackBars_data();
    void fittingKeepsTheAspectWithBlackBars();
};

namespace {

QByteArray convert(const std::vector<std::uint8_t> &bgr, int width, int height)
{
    QByteArray yuyv(yuyvFrameBytes(width, height), '\0');
    bgrToYuyv(bgr.data(), width, height, reinterpret_cast<std::uint8_t *>(yuyv.data()));
    return yuyv;
}

int maxByteDifference(const QByteArray &a, const QByteArray &b)
{
    int max = 0;
    for (qsizetype i = 0; i < std::min(a.size(), b.size()); ++i)
        max = std::max(max, std::abs(uchar(a[i]) - uchar(b[i])));
    return max;
}

std::vector<std::uint8_t> flatPicture(int width, int height, int b, int g, int r)
{
    std::vector<std::uint8_t> bgr;
    for (int i = 0; i < width * height; ++i)
        bgr.insert(bgr.end(), {std::uint8_t(b), std::uint8_t(g), std::uint8_t(r)});
    return bgr;
}

} // namespace

void TestYuyv::knownColoursGiveBt601LimitedRange_data()
{
    QTest::addColumn<int>("b");
    QTest::addColumn<int>("g");
    QTest::addColumn<int>("r");
    QTest::addColumn<int>("y");
    QTest::addColumn<int>("u");
    QTest::addColumn<int>("v");
    QTest::newRow("white") << 255 << 255 << 255 << 235 << 128 << 128;
    QTest::newRow("black") << 0 << 0 << 0 << 16 << 128 << 128;
    QTest::newRow("grey") << 128 << 128 << 128 << 126 << 128 << 128;
    QTest::newRow("red") << 0 << 0 << 255 << 81 << 90 << 240;
    QTest::newRow("green") << 0 << 255 << 0 << 145 << 54 << 34;
    QTest::newRow("blue") << 255 << 0 << 0 << 41 << 240 << 110;
}

void TestYuyv::knownColoursGiveBt601LimitedRange()
{
    QFETCH(int, b);
    QFETCH(int, g);
    QFETCH(int, r);
    QFETCH(int, y);
    QFETCH(int, u);
    QFETCH(int, v);
    const int width = 6;
    const int height = 2;
    const QByteArray yuyv = convert(flatPicture(width, height, b, g, r), width, height);
    const int expected[4] = {y, u, y, v};
    for (qsizetype i = 0; i < yuyv.size(); ++i) {
        if (std::abs(uchar(yuyv[i]) - expected[i % 4]) > 2)
            QFAIL(qPrintable(QStringLiteral("byte %1 is %2, expected %3").arg(i).arg(uchar(yuyv[i])).arg(expected[i % 4])));
    }
}

void TestYuyv::matchesScalarReference_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::newRow("one pair") << 2 << 1;
    QTest::newRow("odd width") << 33 << 7;
    QTest::newRow("wider than a SIMD block") << 130 << 9;
    QTest::newRow("720p") << 1280 << 720;
}

void TestYuyv::matchesScalarReference()
{
    QFETCH(int, width);
    QFETCH(int, height);
    const std::vector<std::uint8_t> bgr = makeNoisePicture(width, height, 7);
    const QByteArray expected = bgrToYuyvReference(bgr.data(), width, height);
    // A guard zone behind the frame catches a conversion that writes past its last row.
    QByteArray yuyv(expected.size() + 64, '\x5a');
    bgrToYuyv(bgr.data(), width, height, reinterpret_cast<std::uint8_t *>(yuyv.data()));
    QCOMPARE(yuyv.mid(expected.size()), QByteArray(64, '\x5a'));
    yuyv.truncate(expected.size());
    QVERIFY2(maxByteDifference(yuyv, expected) <= 2,
             qPrintable(QStringLiteral("max difference %1").arg(maxByteDifference(yuyv, expected))));
}

// The camera's bytes were libyuv's before the conversion had a kernel of its own, and stay so: every
// colour as a pair of equal pixels, then random pairs at widths that end anywhere in a SIMD block.
void TestYuyv::givesLibyuvsBytesForEveryColourAndPair()
{
    const int width = 8192;
    std::vector<std::uint8_t> bgr(width * 3);
    std::vector<std::uint8_t> argb(width * 4);
    std::vector<std::uint8_t> expected(width * 2);
    std::vector<std::uint8_t> yuyv(width * 2);
    const auto libyuvRow = [&](int w) {
        libyuv::RGB24ToARGB(bgr.data(), w * 3, argb.data(), w * 4, w, 1);
        libyuv::ARGBToYUY2(argb.data(), w * 4, expected.data(), w * 2, w, 1);
    };
    for (std::uint32_t first = 0; first < (1u << 24); first += width / 2) {
        for (int i = 0; i < width; ++i) {
            const std::uint32_t colour = first + std::uint32_t(i / 2);
            bgr[i * 3] = std::uint8_t(colour);
            bgr[i * 3 + 1] = std::uint8_t(colour >> 8);
            bgr[i * 3 + 2] = std::uint8_t(colour >> 16);
        }
        libyuvRow(width);
        bgrToYuyv(bgr.data(), width, 1, yuyv.data());
        if (yuyv != expected)
            QFAIL(qPrintable(QStringLiteral("colours from %1 on").arg(first, 6, 16, QLatin1Char('0'))));
    }
    std::mt19937 random(5);
    for (int w : {2, 4, 14, 16, 18, 30, 32, 34, 46, 64, 100, 1280, 1282, width}) {
        std::generate(bgr.begin(), bgr.end(), [&] { return std::uint8_t(random()); });
        libyuvRow(w);
        std::fill(yuyv.begin(), yuyv.end(), 0x5a);
        bgrToYuyv(bgr.data(), w, 1, yuyv.data());
        QVERIFY2(std::equal(yuyv.begin(), yuyv.begin() + w * 2, expected.begin()), qPrintable(QString::number(w)));
        QVERIFY(std::all_of(yuyv.begin() + w * 2, yuyv.end(), [](std::uint8_t b) { return b == 0x5a; }));
    }
}

void TestYuyv::jpegRowsGiveLibjpegsColoursForEveryYCbCr()
{
    const Ycc420ToYuyvRow convertRow = fastYcc420ToYuyvRow();
    if (!convertRow)
        QSKIP("no kernel for JPEG rows on this processor");
    // Rows of every Y with one Cb and Cr throughout, so that upsampling keeps them, for all 65,536 of
    // them. The judge is libjpeg-turbo's own conversion of the same samples (full-size planes, which it
    // converts without upsampling): its pixels, and bgrToYuyv of them.
    constexpr int side = 256;
    std::vector<std::uint8_t> luma(side * side);
    std::vector<std::uint8_t> cb(side * side);
    std::vector<std::uint8_t> cr(side * side);
    for (int i = 0; i < side * side; ++i) {
        luma[i] = std::uint8_t(i % side);
        cr[i] = std::uint8_t(i / side);
    }
    std::vector<std::uint8_t> bgr(side * side * 3);
    std::vector<std::uint8_t> expected(side * 2);
    std::vector<std::uint8_t> actual(side * 2);
    std::vector<std::uint8_t> pixels(side * 4);
    std::vector<std::uint8_t> expectedPixels(side * 4); // B, G, R and a zero
    std::vector<std::uint8_t> cbRow(side / 2 + 16);
    std::vector<std::uint8_t> crRow(side / 2 + 16);
    tjhandle decoder = tjInitDecompress();
    QVERIFY(decoder);
    for (int blue = 0; blue < 256; ++blue) {
        std::fill(cb.begin(), cb.end(), std::uint8_t(blue));
        const unsigned char *planes[3] = {luma.data(), cb.data(), cr.data()};
        const int strides[3] = {side, side, side};
        QCOMPARE(tjDecodeYUVPlanes(decoder, planes, strides, TJSAMP_444, bgr.data(), side, 0, side, TJPF_BGR, 0), 0);
        std::fill(cbRow.begin(), cbRow.end(), std::uint8_t(blue));
        for (int red = 0; red < 256; ++red) {
            bgrToYuyv(bgr.data() + red * side * 3, side, 1, expected.data());
            std::fill(crRow.begin(), crRow.end(), std::uint8_t(red));
            convertRow(luma.data(), cbRow.data(), cbRow.data(), crRow.data(), crRow.data(), side, false, actual.data(),
                       pixels.data());
            for (int x = 0; x < side; ++x)
                std::copy_n(bgr.data() + (red * side + x) * 3, 3, expectedPixels.data() + x * 4);
            if (actual != expected || pixels != expectedPixels)
                QFAIL(qPrintable(QStringLiteral("Cb %1, Cr %2").arg(blue).arg(red)));
        }
    }
    tjDestroy(decoder);
}

void TestYuyv::oddWidthDropsLastColumn()
{
    const int width = 7;
    const int height = 3;
    std::vector<std::uint8_t> bgr = makeNoisePicture(width, height, 3);
    const QByteArray before = convert(bgr, width, height);
    QCOMPARE(before.size(), 6 * 2 * height);
    for (int y = 0; y < height; ++y) {
        std::uint8_t *last = &bgr[(y * width + width - 1) * 3];
        std::fill(last, last + 3, std::uint8_t(255 - last[0]));
    }
    QCOMPARE(convert(bgr, width, height), before);
    // Rows follow each other at 12 bytes: the second row is the second row of the picture.
    std::vector<std::uint8_t> evenPart;
    for (int y = 0; y < height; ++y)
        evenPart.insert(evenPart.end(), bgr.begin() + y * width * 3, bgr.begin() + (y * width + width - 1) * 3);
    QCOMPARE(convert(evenPart, width - 1, height), before);
}

void TestYuyv::tooNarrowPictureWritesNothing()
{
    const std::vector<std::uint8_t> bgr = makeNoisePicture(1, 4);
    std::uint8_t canary[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    bgrToYuyv(bgr.data(), 1, 4, canary);
    bgrToYuyv(bgr.data(), 0, 4, canary);
    bgrToYuyv(bgr.data(), 4, 0, canary);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(canary), 8), QByteArray("\1\2\3\4\5\6\7\x08", 8));
}

void TestYuyv::referenceTurnsYuyvBackIntoTheColours()
{
    const int width = 4;
    const int height = 2;
    for (const auto &[b, g, r] : {std::tuple{255, 255, 255}, {0, 0, 0}, {0, 0, 255}, {30, 200, 90}, {128, 64, 10}}) {
        const std::vector<std::uint8_t> bgr = flatPicture(width, height, b, g, r);
        const QByteArray yuyv = convert(bgr, width, height);
        const YuyvDifference difference =
            compareBgrWithYuyv(bgr.data(), width, height, reinterpret_cast<const uchar *>(yuyv.constData()));
        QVERIFY2(difference.max <= 3, qPrintable(QStringLiteral("colour %1,%2,%3: off by %4").arg(b).arg(g).arg(r).arg(difference.max)));
    }
}

void TestYuyv::fittingKeepsTheAspectWithBlackBars_data()
{
    QTest::addColumn<QSize>("picture");
    QTest::addColumn<QSize>("frame");
    QTest::addColumn<QRect>("fitted"); // null: the frame's own size, converted alone
    QTest::newRow("same size") << QSize(64, 48) << QSize(64, 48) << QRect();
    QTest::newRow("odd width of the frame's size") << QSize(65, 48) << QSize(64, 48) << QRect();
    QTest::newRow("wider: bars above and below") << QSize(128, 48) << QSize(64, 48) << QRect(0, 12, 64, 24);
    QTest::newRow("turned phone: bars left and right") << QSize(48, 64) << QSize(64, 48) << QRect(14, 0, 36, 48);
    QTest::newRow("smaller: scaled up") << QSize(32, 24) << QSize(128, 72) << QRect(16, 0, 96, 72);
    QTest::newRow("odd fitted width rounds to a pair") << QSize(19, 24) << QSize(64, 36) << QRect(16, 0, 30, 36);
}

void TestYuyv::fittingKeepsTheAspectWithBlackBars()
{
    QFETCH(QSize, picture);
    QFETCH(QSize, frame);
    QFETCH(QRect, fitted);
    YuyvFitter fitter;
    // A guard zone behind the frame catches a fit that writes past its last row.
    QByteArray yuyv(yuyvFrameBytes(frame.width(), frame.height()) + 64, '\x5a');
    auto *out = reinterpret_cast<std::uint8_t *>(yuyv.data());
    if (fitted.isNull()) {
        // Byte for byte what the camera writes without fitting.
        const std::vector<std::uint8_t> noise = makeNoisePicture(picture.width(), picture.height(), 9);
        fitter.fit(noise.data(), picture.width(), picture.height(), out, frame.width(), frame.height());
        QCOMPARE(yuyv.left(yuyv.size() - 64), convert(noise, picture.width(), picture.height()));
    } else {
        const FittedRect rect = fitInto(picture.width(), picture.height(), frame.width(), frame.height());
        QCOMPARE(QRect(rect.x, rect.y, rect.width, rect.height), fitted);
        const std::vector<std::uint8_t> flat = flatPicture(picture.width(), picture.height(), 40, 180, 90);
        fitter.fit(flat.data(), picture.width(), picture.height(), out, frame.width(), frame.height());
        const QByteArray colour = convert(flatPicture(2, 1, 40, 180, 90), 2, 1);
        const QByteArray black("\x10\x80\x10\x80", 4);
        for (int y = 0; y < frame.height(); ++y) {
            for (int x = 0; x < frame.width(); x += 2) {
                const QByteArray pair = yuyv.mid((y * frame.width() + x) * 2, 4);
                if (fitted.contains(x, y) ? maxByteDifference(pair, colour) > 2 : pair != black)
                    QFAIL(qPrintable(QStringLiteral("pixel %1,%2: %3").arg(x).arg(y).arg(QString::fromLatin1(pair.toHex()))));
            }
        }
    }
    QCOMPARE(yuyv.right(64), QByteArray(64, '\x5a'));
}

QTEST_GUILESS_MAIN(TestYuyv)
#include "tst_yuyv.moc"
