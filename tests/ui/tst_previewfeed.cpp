// The preview's side of the capture thread: what it copies, and that a GUI thread that does not take
// the copies makes nothing pile up.

#include "previewfeed.h"
#include "videoframe.h"
#include "jpegencoder.h"
#include "testpicture.h"

#include <QSignalSpy>
#include <QtTest>

#include <thread>

namespace {

// Hands the feed the test picture `variant` as the capture thread would, from a thread of its own,
// into a camera that makes its picture from the JPEG, or without a camera.
void writeOnAnotherThread(PreviewFeed &feed, int variant, bool camera = true)
{
    std::thread([&feed, variant, camera] {
        const std::vector<std::uint8_t> bgr = makeTestPicture(64, 48, variant);
        const std::vector<unsigned char> jpeg = encodeJpeg(bgr.data(), 64, 48, 95);
        VideoFrame frame(jpeg.data(), int(jpeg.size()), 64, 48);
        feed.onFrameReceived(frame);
        if (camera) {
            std::vector<unsigned char> yuyv(64 * 48 * 2);
            frame.toYuyv(yuyv.data(), 64 * 2);
        }
        feed.onFrameWritten(frame, {});
    }).join();
}

} // namespace

class TestPreviewFeed : public QObject
{
    Q_OBJECT
private slots:
    void copyIsSubsampledToFit_data();
    void copyIsSubsampledToFit();
    void stalledReceiverGetsOneSignalAndTheNewestCopy();
};

void TestPreviewFeed::copyIsSubsampledToFit_data()
{
    QTest::addColumn<QSize>("frame");
    QTest::addColumn<QSize>("copy");
    QTest::newRow("small, whole") << QSize(160, 120) << QSize(160, 120);
    QTest::newRow("720p, every third") << QSize(1280, 720) << QSize(426, 240);
    QTest::newRow("1080p, every fourth") << QSize(1920, 1080) << QSize(480, 270);
    QTest::newRow("portrait, by height") << QSize(720, 1280) << QSize(144, 256);
    QTest::newRow("8K") << QSize(7680, 4320) << QSize(480, 270);
}

void TestPreviewFeed::copyIsSubsampledToFit()
{
    QFETCH(QSize, frame);
    QFETCH(QSize, copy);
    std::vector<unsigned char> bgr(size_t(frame.width()) * frame.height() * 3);
    for (size_t i = 0; i < bgr.size(); ++i)
        bgr[i] = static_cast<unsigned char>(i * 7 / 3);
    const QImage image = PreviewFeed::downscaled(bgr.data(), frame.width(), frame.height());
    QCOMPARE(image.size(), copy);
    QCOMPARE(image.format(), QImage::Format_BGR888);
    // Each copied pixel is the frame's pixel at the same place, scaled.
    const int step = frame.width() / copy.width();
    for (const QPoint p : {QPoint(0, 0), QPoint(copy.width() - 1, copy.height() - 1), QPoint(copy.width() / 2, 7)}) {
        const uchar *got = image.constScanLine(p.y()) + p.x() * 3;
        const unsigned char *want = bgr.data() + (size_t(p.y()) * step * frame.width() + size_t(p.x()) * step) * 3;
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(got), 3), QByteArray(reinterpret_cast<const char *>(want), 3));
    }
}

void TestPreviewFeed::stalledReceiverGetsOneSignalAndTheNewestCopy()
{
    PreviewFeed feed;
    QSignalSpy spy(&feed, &PreviewFeed::newFrame);
    feed.onConnectionStarted();
    // Frames a fifteenth of a second apart, while this thread takes nothing.
    for (int i = 0; i < 4; ++i) {
        writeOnAnotherThread(feed, i);
        std::this_thread::sleep_for(std::chrono::milliseconds(1000 / PreviewFeed::kMaxUpdatesPerSecond + 5));
    }
    QCOMPARE(feed.frames(), 4);
    QCoreApplication::processEvents();
    QCOMPARE(spy.size(), 1);
    const QImage newest = feed.takeNewest();
    QVERIFY(!newest.isNull());
    QVERIFY(feed.takeNewest().isNull());
    // The last frame's picture, not the first's.
    const std::vector<std::uint8_t> last = makeTestPicture(64, 48, 3);
    QVERIFY(std::abs(int(newest.constScanLine(10)[30]) - int(last[(10 * 64 + 10) * 3])) < 12);
    // Frames closer together than that: only the first is copied; without a camera, from its pixels.
    writeOnAnotherThread(feed, 1, false);
    const QImage fromPixels = feed.takeNewest();
    QVERIFY(!fromPixels.isNull());
    const std::vector<std::uint8_t> second = makeTestPicture(64, 48, 1);
    QVERIFY(std::abs(int(fromPixels.constScanLine(10)[30]) - int(second[(10 * 64 + 10) * 3])) < 12);
    writeOnAnotherThread(feed, 2);
    QVERIFY(feed.takeNewest().isNull());
    // Off: counted, not copied.
    feed.setEnabled(false);
    writeOnAnotherThread(feed, 0);
    QCOMPARE(feed.frames(), 7);
    QVERIFY(feed.takeNewest().isNull());
}

QTEST_GUILESS_MAIN(TestPreviewFeed)
#include "tst_previewfeed.moc"
