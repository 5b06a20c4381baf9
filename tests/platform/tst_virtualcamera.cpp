#include "frameratemeter.h"
#include "testpicture.h"
#include "virtualcamera.h"
#include "workerthread.h"
#include "yuyv.h"
#include "yuyvreference.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

class TestVirtualCamera : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void fileReceivesWholeYuyvFramesOneAfterAnother_data();
    void fileReceivesWholeYuyvFramesOneAfterAnother();
    void fileIsTruncatedAtEveryOpen();
    void frameOfAnyOtherLengthIsIgnored_data();
    void frameOfAnyOtherLengthIsIgnored();
    void sizeWithoutAPixelPairFailsToOpen_data();
    void sizeWithoutAPixelPairFailsToOpen();
    void fifoReaderGetsLargeFramesWholeAndInOrder();
    void fifoWithoutReaderIsWaitedForWithoutHoldingUpTheWriter();
    void fifoReaderLeavingCostsOnlyTheFrames();
    void unusablePathFailsWithOneLineNamingIt_data();
    void unusablePathFailsWithOneLineNamingIt();
    void noLoopbackDeviceFailsWithTheModprobeHint();
    void announcedRateIsTheFirstSecondsRate_data();
    void announcedRateIsTheFirstSecondsRate();

private:
    QString m_cameraPath;
    std::unique_ptr<QTemporaryDir> m_dir;
};

namespace {

using Bytes = std::vector<std::uint8_t>;

QByteArray yuyvOf(const Bytes &bgr, int width, int height)
{
    QByteArray yuyv(yuyvFrameBytes(width, height), '\0');
    bgrToYuyv(bgr.data(), width, height, reinterpret_cast<std::uint8_t *>(yuyv.data()));
    return yuyv;
}

void writeFrame(const Bytes &bgr)
{
    filter_wrapper_write_frame_data(bgr.data(), static_cast<int>(bgr.size()));
}

QByteArray fileContents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Collects what the camera prints on standard error while it exists.
class StderrCapture
{
public:
    StderrCapture() : m_file(std::tmpfile())
    {
        std::fflush(stderr);
        m_saved = ::dup(STDERR_FILENO);
        ::dup2(::fileno(m_file), STDERR_FILENO);
    }
    ~StderrCapture()
    {
        restore();
        std::fclose(m_file);
    }

    QByteArray text()
    {
        restore();
        std::rewind(m_file);
        QByteArray all;
        char chunk[512];
        while (const std::size_t n = std::fread(chunk, 1, sizeof chunk, m_file))
            all.append(chunk, static_cast<qsizetype>(n));
        return all;
    }

private:
    void restore()
    {
        if (m_saved < 0)
            return;
        std::fflush(stderr);
        ::dup2(m_saved, STDERR_FILENO);
        ::close(m_saved);
        m_saved = -1;
    }

    std::FILE *m_file;
    int m_saved = -1;
};

// The reading end of a FIFO, open before the camera writes to it (a frame that finds no reader
// goes nowhere).
class FifoReader
{
public:
    explicit FifoReader(const QString &path)
    {
        m_fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    }
    ~FifoReader() { close(); }

    bool isOpen() const { return m_fd >= 0; }
    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    void setBlocking() { ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) & ~O_NONBLOCK); }

    // Reads until size bytes, the end of the stream, or (when not blocking) nothing more waiting;
    // in small pieces, so that the writer has to go on where a write stopped.
    QByteArray read(qsizetype size)
    {
        QByteArray data;
        char chunk[16384];
        while (data.size() < size) {
            const ssize_t n = ::read(m_fd, chunk, std::min<qsizetype>(sizeof chunk, size - data.size()));
            if (n <= 0)
                break;
            data.append(chunk, n);
        }
        return data;
    }

private:
    int m_fd = -1;
};

bool sigpipePendingOrBlocked()
{
    sigset_t pending;
    sigset_t blocked;
    sigpending(&pending);
    pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
    return sigismember(&pending, SIGPIPE) || sigismember(&blocked, SIGPIPE);
}

} // namespace

void TestVirtualCamera::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_cameraPath = m_dir->filePath(QStringLiteral("camera.yuyv"));
    qputenv("LUMO_VIRTUAL_CAMERA", QFile::encodeName(m_cameraPath));
}

void TestVirtualCamera::cleanup()
{
    filter_wrapper_close();
    qunsetenv("LUMO_VIRTUAL_CAMERA");
    m_dir.reset();
}

void TestVirtualCamera::fileReceivesWholeYuyvFramesOneAfterAnother_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::newRow("640x480") << 640 << 480;
    QTest::newRow("odd width loses its last column") << 161 << 91;
}

void TestVirtualCamera::fileReceivesWholeYuyvFramesOneAfterAnother()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QVERIFY(!QFile::exists(m_cameraPath));
    QVERIFY(filter_wrapper_open(width, height) != 0);
    QCOMPARE(fileContents(m_cameraPath), QByteArray());

    QByteArray expected;
    for (int frame = 0; frame < 3; ++frame) {
        const Bytes picture = makeTestPicture(width, height, frame);
        writeFrame(picture);
        expected += yuyvOf(picture, width, height);
    }
    filter_wrapper_close();
    QCOMPARE(expected.size(), 3 * (width & ~1) * 2 * height);
    QVERIFY(fileContents(m_cameraPath) == expected);

    // The pixels are the picture's own, not just a copy of whatever bgrToYuyv does.
    const Bytes last = makeTestPicture(width, height, 2);
    const auto *lastFrame = reinterpret_cast<const uchar *>(expected.constData()) + 2 * yuyvFrameBytes(width, height);
    QVERIFY(compareBgrWithYuyv(last.data(), width, height, lastFrame).mean < 3.0);

    writeFrame(last);
    QCOMPARE(fileContents(m_cameraPath).size(), expected.size());
}

void TestVirtualCamera::fileIsTruncatedAtEveryOpen()
{
    {
        QFile stale(m_cameraPath);
        QVERIFY(stale.open(QIODevice::WriteOnly));
        stale.write(QByteArray(100000, 'x'));
    }
    const Bytes picture = makeTestPicture(32, 8);
    for (int connection = 0; connection < 2; ++connection) {
        QVERIFY(filter_wrapper_open(32, 8) != 0);
        writeFrame(picture);
        filter_wrapper_close();
        QCOMPARE(fileContents(m_cameraPath), yuyvOf(picture, 32, 8));
    }
}

void TestVirtualCamera::frameOfAnyOtherLengthIsIgnored_data()
{
    QTest::addColumn<int>("length");
    QTest::newRow("one byte short") << 64 * 48 * 3 - 1;
    QTest::newRow("one byte more") << 64 * 48 * 3 + 1;
    QTest::newRow("one row more") << 64 * 49 * 3;
    QTest::newRow("zero") << 0;
    QTest::newRow("negative") << -1;
}

void TestVirtualCamera::frameOfAnyOtherLengthIsIgnored()
{
    QFETCH(int, length);
    QVERIFY(filter_wrapper_open(64, 48) != 0);
    // Exactly as long as the caller claims: reading past it would show under the address sanitizer.
    const Bytes data = makeNoisePicture(std::max(length, 1), 1);
    filter_wrapper_write_frame_data(data.data(), length);
    filter_wrapper_write_frame_data(nullptr, 64 * 48 * 3);
    filter_wrapper_close();
    QCOMPARE(fileContents(m_cameraPath), QByteArray());
}

void TestVirtualCamera::sizeWithoutAPixelPairFailsToOpen_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::newRow("0x0") << 0 << 0;
    QTest::newRow("one column") << 1 << 10;
    QTest::newRow("no rows") << 10 << 0;
    QTest::newRow("negative") << -4 << 4;
    QTest::newRow("too large for an int length") << 40000 << 40000;
}

void TestVirtualCamera::sizeWithoutAPixelPairFailsToOpen()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QCOMPARE(filter_wrapper_open(width, height), 0);
    const Bytes data = makeNoisePicture(16, 1);
    filter_wrapper_write_frame_data(data.data(), 0);
    QVERIFY(!QFile::exists(m_cameraPath) || fileContents(m_cameraPath).isEmpty());
}

void TestVirtualCamera::fifoReaderGetsLargeFramesWholeAndInOrder()
{
    QVERIFY(::mkfifo(QFile::encodeName(m_cameraPath).constData(), 0600) == 0);
    FifoReader reader(m_cameraPath);
    QVERIFY(reader.isOpen());
    reader.setBlocking();

    const int width = 1920;
    const int height = 1080;
    const int frames = 4;
    QVERIFY(filter_wrapper_open(width, height) != 0);
    // A frame is 4 MB and the pipe holds 64 KB: the writer is held up many times per frame while
    // the reader takes small pieces.
    QByteArray received;
    WorkerThread readerThread([&] { received = reader.read(qsizetype(1) << 30); });
    QByteArray expected;
    for (int frame = 0; frame < frames; ++frame) {
        const Bytes picture = makeTestPicture(width, height, frame);
        writeFrame(picture);
        expected += yuyvOf(picture, width, height);
    }
    filter_wrapper_close(); // the reader sees the end of the stream
    QVERIFY(readerThread.join(60000));
    QCOMPARE(received.size(), expected.size());
    QVERIFY(received == expected);
}

void TestVirtualCamera::fifoWithoutReaderIsWaitedForWithoutHoldingUpTheWriter()
{
    const int width = 64;
    const int height = 48;
    QVERIFY(::mkfifo(QFile::encodeName(m_cameraPath).constData(), 0600) == 0);
    StderrCapture capture;
    QVERIFY(filter_wrapper_open(width, height) != 0);
    writeFrame(makeTestPicture(width, height, 0)); // nobody reads: it goes nowhere, at once

    FifoReader reader(m_cameraPath);
    writeFrame(makeTestPicture(width, height, 1));
    filter_wrapper_close();
    QCOMPARE(reader.read(2 * yuyvFrameBytes(width, height)), yuyvOf(makeTestPicture(width, height, 1), width, height));
    const QByteArray printed = capture.text();
    QCOMPARE(printed.count('\n'), 1);
    QVERIFY2(printed.contains("waiting") && printed.contains(QFile::encodeName(m_cameraPath)), printed);
}

void TestVirtualCamera::fifoReaderLeavingCostsOnlyTheFrames()
{
    // Frames smaller than the pipe's buffer, so that every step can run on this one thread.
    const int width = 64;
    const int height = 48;
    const int frameBytes = yuyvFrameBytes(width, height);
    QVERIFY(::mkfifo(QFile::encodeName(m_cameraPath).constData(), 0600) == 0);
    auto reader = std::make_unique<FifoReader>(m_cameraPath);
    QVERIFY(filter_wrapper_open(width, height) != 0);
    writeFrame(makeTestPicture(width, height, 0));
    QCOMPARE(reader->read(frameBytes), yuyvOf(makeTestPicture(width, height, 0), width, height));

    reader.reset();
    // Nobody reads any more: the write fails with EPIPE, and the SIGPIPE it raises would end the
    // process if it reached it.
    writeFrame(makeTestPicture(width, height, 1));
    QVERIFY(!sigpipePendingOrBlocked());

    // The next reader gets the next frame, whole.
    reader = std::make_unique<FifoReader>(m_cameraPath);
    writeFrame(makeTestPicture(width, height, 2));
    QCOMPARE(reader->read(2 * frameBytes), yuyvOf(makeTestPicture(width, height, 2), width, height));
}

void TestVirtualCamera::unusablePathFailsWithOneLineNamingIt_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("missing folder") << QStringLiteral("no/such/dir/camera");
    // A device name with a typo is not made into a file.
    QTest::newRow("missing device") << QStringLiteral("/dev/lumo-test-vide0");
}

void TestVirtualCamera::unusablePathFailsWithOneLineNamingIt()
{
    QFETCH(QString, path);
    if (QDir::isRelativePath(path))
        path = m_dir->filePath(path);
    qputenv("LUMO_VIRTUAL_CAMERA", QFile::encodeName(path));
    StderrCapture capture;
    for (int connection = 0; connection < 3; ++connection) {
        QCOMPARE(filter_wrapper_open(64, 48), 0);
        writeFrame(makeTestPicture(64, 48));
        filter_wrapper_close();
    }
    const QByteArray printed = capture.text();
    QCOMPARE(printed.count('\n'), 1);
    QVERIFY2(printed.contains(QFile::encodeName(path)) && printed.contains(strerror(ENOENT)), printed);
    QVERIFY(!QFile::exists(path));
}

void TestVirtualCamera::noLoopbackDeviceFailsWithTheModprobeHint()
{
    qunsetenv("LUMO_VIRTUAL_CAMERA");
    if (!QDir(QStringLiteral("/dev")).entryList({QStringLiteral("video*")}, QDir::System).isEmpty())
        QSKIP("this machine has video devices, which this test must not write to");
    StderrCapture capture;
    QCOMPARE(filter_wrapper_open(64, 48), 0);
    writeFrame(makeTestPicture(64, 48));
    filter_wrapper_close();
    QCOMPARE(capture.text(), QByteArray("Lumo Webcam: no virtual camera found; load one with: sudo modprobe "
                                        "v4l2loopback exclusive_caps=1 card_label=\"Lumo Webcam\"\n"));
}

void TestVirtualCamera::announcedRateIsTheFirstSecondsRate_data()
{
    QTest::addColumn<int>("intervalMs"); // between frames
    QTest::addColumn<int>("announced");
    QTest::newRow("30 fps") << 33 << 30;
    QTest::newRow("15 fps") << 67 << 15;
    QTest::newRow("7.5 fps rounds up") << 133 << 8;
    QTest::newRow("a long stall: at least 1") << 5000 << 1;
    QTest::newRow("faster than any camera: at most 120") << 2 << 120;
}

void TestVirtualCamera::announcedRateIsTheFirstSecondsRate()
{
    QFETCH(int, intervalMs);
    QFETCH(int, announced);
    FrameRateMeter meter;
    for (int connection = 0; connection < 2; ++connection) {
        meter.restart();
        auto at = FrameRateMeter::Clock::time_point{} + std::chrono::hours(connection);
        std::optional<int> rate = meter.frameAt(at);
        for (int frame = 0; !rate && frame < 1000; ++frame) {
            at += std::chrono::milliseconds(intervalMs);
            rate = meter.frameAt(at);
        }
        QCOMPARE(rate, std::optional<int>(announced));
        QCOMPARE(meter.frameAt(at + std::chrono::seconds(1)), std::nullopt); // once per connection
    }
}

QTEST_GUILESS_MAIN(TestVirtualCamera)
#include "tst_virtualcamera.moc"
