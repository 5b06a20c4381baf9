#include "connectionlistener.h"
#include "fakeadb.h"
#include "freeport.h"
#include "jpegencoder.h"
#include "loopbackserver.h"
#include "sanitizers.h"
#include "simulatorprocess.h"
#include "webcamcontroller.h"
#include "wirebytes.h"

#include <QElapsedTimer>
#include <QFile>
#include <QMutex>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>
#include <atomic>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using Server = LoopbackServer;

namespace {

// Records the reports of the capture thread, in order.
class RecordingListener : public ConnectionListener
{
public:
    void onConnected() override { add(QStringLiteral("connected")); }
    void onConnectError(int code, int param1, int param2) override
    {
        add(QStringLiteral("error %1 %2 %3").arg(code).arg(param1).arg(param2));
    }
    void onAborted() override { add(QStringLiteral("aborted")); }
    void onDisconnected() override { add(QStringLiteral("disconnected")); }

    QStringList events() const
    {
        // A list of its own, not a shared one: the reporting thread may grow the original as soon as
        // the lock is gone, and ThreadSanitizer cannot see Qt's own ordering of a shared list's release.
        QMutexLocker lock(&m_mutex);
        return QStringList(m_events.cbegin(), m_events.cend());
    }
    // Waits until count reports have arrived.
    bool waitFor(int count, int milliseconds = 10000) const
    {
        QElapsedTimer timer;
        timer.start();
        while (events().size() < count && timer.elapsed() < milliseconds)
            QThread::msleep(5);
        return events().size() >= count;
    }

private:
    void add(const QString &event)
    {
        QMutexLocker lock(&m_mutex);
        m_events.append(event);
    }
    mutable QMutex m_mutex;
    QStringList m_events;
};

QByteArray versionReply(int major, int minor)
{
    return QByteArray(1, 1) + bigEndianU32(3) + char(major) + char(minor) + char(0);
}

QByteArray resolutionReply(int status, int width, int height)
{
    return QByteArray(1, 2) + bigEndianU32(5) + char(status) + char(width >> 8) + char(width) + char(height >> 8) + char(height);
}

QList<Server::Step> handshake(int width, int height)
{
    return {Server::receive(7), Server::send(versionReply(2, 19)), Server::receive(5),
            Server::send(resolutionReply(1, width, height))};
}

// A frame record: the length prefix and a JPEG of a picture whose left half is dark and right half light.
QByteArray frameRecord(int width, int height)
{
    std::vector<unsigned char> pixels(size_t(width) * height * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c)
                pixels[(size_t(y) * width + x) * 3 + c] = x < width / 2 ? 16 : 235;
    const std::vector<unsigned char> jpeg = encodeJpeg(pixels.data(), width, height, 90);
    return bigEndianU32(int(jpeg.size())) + QByteArray(reinterpret_cast<const char *>(jpeg.data()), qsizetype(jpeg.size()));
}

// Short enough to keep the tests that wait it out quick, long enough for a sanitizer build on a busy machine
// to answer within it.
constexpr int kShortReadTimeoutMs = 1000;

// Accepts every connection on 127.0.0.1 and resets it at once (SO_LINGER 0), on a thread of its own,
// while another thread keeps a core busy: the reset then often arrives before the client's wait has
// seen its connect complete.
class ResettingServer
{
public:
    ResettingServer()
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(m_listener, reinterpret_cast<const sockaddr *>(&address), length);
        ::listen(m_listener, 64);
        ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_server = std::thread([this] {
            for (int client; (client = ::accept(m_listener, nullptr, nullptr)) >= 0;) {
                const linger reset{1, 0};
                ::setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
                ::close(client);
            }
        });
        m_busy = std::thread([this] {
            while (!m_quit.load(std::memory_order_relaxed)) {
            }
        });
    }
    ~ResettingServer()
    {
        m_quit = true;
        ::shutdown(m_listener, SHUT_RDWR); // ends the accept
        m_server.join();
        m_busy.join();
        ::close(m_listener);
    }
    quint16 port() const { return m_port; }

private:
    const int m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    quint16 m_port = 0;
    std::atomic<bool> m_quit{false};
    std::thread m_server;
    std::thread m_busy;
};

} // namespace

class TestWebcamController : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void failedOpenReportsMinusFive_data();
    void failedOpenReportsMinusFive();
    void serverVersionIsChecked_data();
    void serverVersionIsChecked();
    void laterErrorsCarryTheLastStoredVersion();
    void serverThatResetsAtOnceAlwaysFailsTheVersionQuery();
    void unusableResolutionFailsAndWritesNothing_data();
    void unusableResolutionFailsAndWritesNothing();
    void stopWhileStreamingWritesTheCurrentFrameThenDisconnects();
    void stopLetsASlowFrameArriveButBreaksOffAStalledOne_data();
    void stopLetsASlowFrameArriveButBreaksOffAStalledOne();
    void silentServerAbortsAfterTheReadTimeOut();
    void frameLimitEndsAsADisconnect();
    void rotationChangeAppliesToTheNextFrame();
    void hugeSurplusClaimOnlyDelaysTheHandshake();
    void badFramesNeverEndTheProcess_data();
    void badFramesNeverEndTheProcess();
    void startWhileRunningIsRefusedAndALaterStartRunsAgain();
    void destroyingARunningControllerEndsItAtOnce_data();
    void destroyingARunningControllerEndsItAtOnce();
    void serialAndUsbStreamUntilStopped_data();
    void serialAndUsbStreamUntilStopped();
    void destroyingEndsSerialAndUsbWaitsAtOnce_data();
    void destroyingEndsSerialAndUsbWaitsAtOnce();
    void manyConnectDisconnectCycles();

private:
    QTemporaryDir m_dir;
    QString m_camera;
    int m_test = 0;
};

void TestWebcamController::init()
{
    // Each test writes into a camera file of its own; the file only appears when the camera is opened.
    m_camera = m_dir.filePath(QStringLiteral("camera-%1.yuyv").arg(++m_test));
    qputenv("LUMO_VIRTUAL_CAMERA", m_camera.toLocal8Bit());
}

void TestWebcamController::failedOpenReportsMinusFive_data()
{
    // Each stream fails with a code of its own (-5, -100, -10, -5); the user sees one.
    QTest::addColumn<QString>("transport");
    QTest::newRow("wifi, nothing listening") << QStringLiteral("wifi");
    QTest::newRow("serial port missing") << QStringLiteral("serial");
    QTest::newRow("usb without a phone") << QStringLiteral("usb");
    QTest::newRow("bluetooth record of zeros") << QStringLiteral("bluetooth");
}

void TestWebcamController::failedOpenReportsMinusFive()
{
    QFETCH(QString, transport);
    if (kThreadSanitizerBuild && transport == QLatin1String("usb"))
        QSKIP("ThreadSanitizer cannot follow a thread that starts adb (see sanitizers.h)");
    FakeAdb adb;
    adb.install(FakeAdb::kNoDevice);
    RecordingListener listener;
    WebcamController controller(&listener);
    if (transport == QLatin1String("serial"))
        QVERIFY(controller.startSerial(3, adb.path(QStringLiteral("rfcomm%d")).toStdString()));
    else if (transport == QLatin1String("usb"))
        QVERIFY(controller.startUsb(freeLocalPort()));
    else if (transport == QLatin1String("bluetooth"))
        QVERIFY(controller.startBluetooth(BtDeviceInfo{}));
    else
        QVERIFY(controller.startWifi(QStringLiteral("127.0.0.1"), freeLocalPort()));
    QVERIFY(listener.waitFor(1));
    QVERIFY(controller.wait(5000));
    QCOMPARE(listener.events(), QStringList{QStringLiteral("error -5 0 0")});
    QVERIFY(!QFile::exists(m_camera));
}

void TestWebcamController::serverVersionIsChecked_data()
{
    QTest::addColumn<int>("major");
    QTest::addColumn<int>("minor");
    QTest::addColumn<QStringList>("events");
    const QStringList accepted = {QStringLiteral("connected"), QStringLiteral("aborted")};
    QTest::newRow("2.19") << 2 << 19 << accepted;
    QTest::newRow("1.99") << 1 << 99 << accepted;
    QTest::newRow("2.20") << 2 << 20 << QStringList{QStringLiteral("error -7 2 20")};
    QTest::newRow("3.0") << 3 << 0 << QStringList{QStringLiteral("error -7 3 0")};
}

void TestWebcamController::serverVersionIsChecked()
{
    QFETCH(int, major);
    QFETCH(int, minor);
    QFETCH(QStringList, events);
    // An accepted server answers the resolution query and hangs up: the connection then breaks off.
    Server server({Server::receive(7), Server::send(versionReply(major, minor)), Server::receive(5),
                   Server::send(resolutionReply(1, 64, 48))});
    RecordingListener listener;
    WebcamController controller(&listener);
    controller.startWifi(QStringLiteral("127.0.0.1"), server.port());
    QVERIFY(listener.waitFor(events.size()));
    QVERIFY(controller.wait(5000));
    QCOMPARE(listener.events(), events);
}

void TestWebcamController::laterErrorsCarryTheLastStoredVersion()
{
    RecordingListener listener;
    WebcamController controller(&listener);
    {
        Server server({Server::receive(7), Server::send(versionReply(2, 20))});
        controller.startWifi(QStringLiteral("127.0.0.1"), server.port());
        QVERIFY(listener.waitFor(1));
    }
    controller.startWifi(QStringLiteral("127.0.0.1"), freeLocalPort());
    QVERIFY(listener.waitFor(2));
    QCOMPARE(listener.events().last(), QStringLiteral("error -5 2 20"));
}

void TestWebcamController::serverThatResetsAtOnceAlwaysFailsTheVersionQuery()
{
    // The connect was made whenever the reset comes: never "connect failed".
    constexpr int kAttempts = 100;
    ResettingServer server;
    RecordingListener listener;
    WebcamController controller(&listener);
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        QVERIFY(controller.startWifi(QStringLiteral("127.0.0.1"), server.port()));
        QVERIFY(listener.waitFor(attempt));
    }
    QCOMPARE(listener.events(), QStringList(kAttempts, QStringLiteral("error -6 0 0")));
}

void TestWebcamController::unusableResolutionFailsAndWritesNothing_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::newRow("status 0") << 0 << 640 << 480;
    QTest::newRow("status 2") << 2 << 640 << 480;
    QTest::newRow("width 0") << 1 << 0 << 480;
    QTest::newRow("width 1") << 1 << 1 << 480; // the camera's YUYV pairs two pixels
    QTest::newRow("height 0") << 1 << 640 << 0;
    QTest::newRow("65535x65535") << 1 << 65535 << 65535;
    QTest::newRow("larger than 8K") << 1 << 7681 << 4320;
}

void TestWebcamController::unusableResolutionFailsAndWritesNothing()
{
    QFETCH(int, status);
    QFETCH(int, width);
    QFETCH(int, height);
    Server server({Server::receive(7), Server::send(versionReply(2, 19)), Server::receive(5),
                   Server::send(resolutionReply(status, width, height)), Server::send(frameRecord(64, 48)),
                   Server::hold()});
    RecordingListener listener;
    WebcamController controller(&listener);
    controller.startWifi(QStringLiteral("127.0.0.1"), server.port());
    QVERIFY(listener.waitFor(1));
    QVERIFY(controller.wait(5000));
    QCOMPARE(listener.events(), QStringList{QStringLiteral("error -8 0 0")});
    QVERIFY(!QFile::exists(m_camera));
}

void TestWebcamController::stopWhileStreamingWritesTheCurrentFrameThenDisconnects()
{
    SimulatorProcess simulator({QStringLiteral("--size"), QStringLiteral("160x120"), QStringLiteral("--fps"),
                                QStringLiteral("60")});
    QVERIFY2(simulator.start(), qPrintable(simulator.errorString()));
    RecordingListener listener;
    WebcamController controller(&listener);
    controller.startWifi(QStringLiteral("127.0.0.1"), simulator.port());
    QTRY_VERIFY_WITH_TIMEOUT(controller.frameStats().frames >= 5, 10000);
    controller.stop();
    QVERIFY(listener.waitFor(2));
    QVERIFY(controller.wait(5000));
    QCOMPARE(listener.events(), (QStringList{QStringLiteral("connected"), QStringLiteral("disconnected")}));
    // Every frame counted is in the camera, whole, and the camera was closed before the report.
    QCOMPARE(QFileInfo(m_camera).size(), controller.frameStats().frames * 160 * 120 * 2);
}

void TestWebcamController::stopLetsASlowFrameArriveButBreaksOffAStalledOne_data()
{
    QTest::addColumn<int>("pieceGapMs"); // the first frame comes in three pieces, this far apart
    QTest::addColumn<long long>("frames");
    QTest::newRow("frame arriving slowly") << 1000 << 1LL;
    QTest::newRow("phone silent mid-frame") << 600000 << 0LL;
}

void TestWebcamController::stopLetsASlowFrameArriveButBreaksOffAStalledOne()
{
    QFETCH(int, pieceGapMs);
    QFETCH(long long, frames);
    // Over the serial port, whose own limits would hold the stalled read for 30 s and 200 ms more for
    // every byte still missing.
    SimulatorProcess simulator({QStringLiteral("--serial"), QStringLiteral("--size"), QStringLiteral("64x48"),
                                QStringLiteral("--chunk"), QStringLiteral("600"), QStringLiteral("--chunk-pause"),
                                QString::number(pieceGapMs)});
    QVERIFY2(simulator.start(), qPrintable(simulator.errorString()));
    RecordingListener listener;
    WebcamController controller(&listener);
    controller.startSerial(simulator.serialNumber(), SimulatorProcess::kSerialPathTemplate);
    QVERIFY(listener.waitFor(1));
    QTest::qWait(300); // the first piece is in
    QElapsedTimer timer;
    timer.start();
    controller.stop();
    QVERIFY(listener.waitFor(2, 15000));
    QVERIFY2(timer.elapsed() < WebcamController::kStopGraceMs + 1000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(listener.events(), (QStringList{QStringLiteral("connected"), QStringLiteral("disconnected")}));
    QCOMPARE(controller.frameStats().frames, frames);
    QCOMPARE(QFileInfo(m_camera).size(), frames * 64 * 48 * 2);
}

void TestWebcamController::silentServerAbortsAfterTheReadTimeOut()
{
    Server server(handshake(64, 48) << Server::send(frameRecord(64, 48)) << Server::hold());
    RecordingListener listener;
    WebcamController controller(&listener);
    controller.setTcpReadTimeout(kShortReadTimeoutMs);
    controller.startWifi(QStringLiteral("127.0.0.1"), server.port());
    QTRY_COMPARE_WITH_TIMEOUT(controller.frameStats().frames, 1LL, 5000);
    QElapsedTimer silence;
    silence.start();
    QVERIFY(listener.waitFor(2, 10000));
    QVERIFY2(silence.elapsed() >= kShortReadTimeoutMs - 100 && silence.elapsed() < kShortReadTimeoutMs + 3000,
             qPrintable(QString::number(silence.elapsed())));
    QCOMPARE(listener.events(), (QStringList{QStringLiteral("connected"), QStringLiteral("aborted")}));
}

void TestWebcamController::frameLimitEndsAsADisconnect()
{
    SimulatorProcess simulator({QStringLiteral("--size"), QStringLiteral("64x48"), QStringLiteral("--fps"),
                                QStringLiteral("0")});
    QVERIFY2(simulator.start(), qPrintable(simulator.errorString()));
    RecordingListener listener;
    WebcamController controller(&listener);
    controller.setFrameLimit(3);
    controller.startWifi(QStringLiteral("127.0.0.1"), simulator.port());
    QVERIFY(listener.waitFor(2));
    QVERIFY(controller.wait(5000));
    QCOMPARE(listener.events(), (QStringList{QStringLiteral("connected"), QStringLiteral("disconnected")}));
    QCOMPARE(controller.frameStats().frames, 3LL);
    QCOMPARE(QFileInfo(m_camera).size(), 3LL * 64 * 48 * 2);
}

void TestWebcamController::rotationChangeAppliesToTheNextFrame()
{
    const QByteArray frame = frameRecord(64, 48);
    // A half turn, a quarter turn twice, none, a quarter turn again: the camera's buffer holds each
    // frame until the next one, so the last frame must blacken again the bands that the one before
    // it filled, while the second quarter turn may leave them as they are.
    const int rotations[] = {2, 1, 1, 0, 1};
    const int count = int(std::size(rotations));
    QList<Server::Step> steps = handshake(64, 48) << Server::send(frame);
    for (int i = 1; i < count; ++i)
        steps << Server::pause(1000) << Server::send(frame);
    Server server(steps);
    RecordingListener listener;
    WebcamController controller(&listener);
    controller.setRotation(rotations[0]);
    controller.startWifi(QStringLiteral("127.0.0.1"), server.port());
    for (int i = 1; i < count; ++i) {
        QTRY_COMPARE_WITH_TIMEOUT(controller.frameStats().frames, qint64(i), 5000);
        controller.setRotation(rotations[i]);
    }
    QTRY_COMPARE_WITH_TIMEOUT(controller.frameStats().frames, qint64(count), 5000);
    QVERIFY(listener.waitFor(2));

    QFile camera(m_camera);
    QVERIFY(camera.open(QIODevice::ReadOnly));
    const QByteArray yuyv = camera.readAll();
    const int frameBytes = 64 * 48 * 2;
    QCOMPARE(yuyv.size(), count * frameBytes);
    // Luma of a top row pixel: dark at the left as sent, light there once turned by half a turn.
    const auto luma = [&](int frameIndex, int x) { return quint8(yuyv[frameIndex * frameBytes + x * 2]); };
    QVERIFY2(luma(3, 0) < 60, qPrintable(QString::number(luma(3, 0))));
    QVERIFY2(luma(0, 0) > 180, qPrintable(QString::number(luma(0, 0))));
    // The right band of a quarter turn is black; as sent, the picture is light there.
    QCOMPARE(luma(1, 63), quint8(16));
    QVERIFY2(luma(3, 63) > 180, qPrintable(QString::number(luma(3, 63))));
    const QByteArray quarterTurn = yuyv.mid(frameBytes, frameBytes);
    QVERIFY(yuyv.mid(2 * frameBytes, frameBytes) == quarterTurn);
    QVERIFY(yuyv.mid(4 * frameBytes) == quarterTurn);
}

void TestWebcamController::hugeSurplusClaimOnlyDelaysTheHandshake()
{
    // The version reply claims 2 GiB of surplus and sends 100 kB of it: the client drains what comes
    // in small pieces, gives up on the rest after one read time-out of silence and carries on.
    const QByteArray reply = QByteArray(1, 1) + bigEndianU32(0x7fffffff) + char(2) + char(19) + char(0) + QByteArray(100000, 'x');
    Server server({Server::receive(7), Server::send(reply), Server::receive(5), Server::send(resolutionReply(1, 64, 48)),
                   Server::send(frameRecord(64, 48))});
    RecordingListener listener;
    WebcamController controller(&listener);
    controller.setTcpReadTimeout(kShortReadTimeoutMs);
    controller.startWifi(QStringLiteral("127.0.0.1"), server.port());
    QVERIFY(listener.waitFor(2, 15000));
    QCOMPARE(listener.events(), (QStringList{QStringLiteral("connected"), QStringLiteral("aborted")}));
    QCOMPARE(controller.frameStats().frames, 1LL);
}

void TestWebcamController::badFramesNeverEndTheProcess_data()
{
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<QString>("end");
    QTest::addColumn<long long>("frames");
    QTest::newRow("negative length") << bigEndianU32(-2) + QByteArray(100, 'x') << "aborted" << 0LL;
    QTest::newRow("2 GiB length") << bigEndianU32(0x7fffffff) + QByteArray(100, 'x') << "aborted" << 0LL;
    QTest::newRow("JPEG of another size") << frameRecord(32, 24) << "aborted" << 1LL;
    QTest::newRow("garbage instead of a JPEG") << bigEndianU32(100) + QByteArray(100, '\x55') << "aborted" << 1LL;
    QByteArray truncated = frameRecord(64, 48);
    truncated = bigEndianU32(int(truncated.size()) / 2 - 4) + truncated.mid(4, truncated.size() / 2 - 4);
    QTest::newRow("truncated JPEG") << truncated << "aborted" << 1LL;
}

void TestWebcamController::badFramesNeverEndTheProcess()
{
    QFETCH(QByteArray, record);
    QFETCH(QString, end);
    QFETCH(long long, frames);
    // After the bad record the server hangs up: the frames that arrived whole are written, then the
    // connection breaks off.
    Server server(handshake(64, 48) << Server::send(record));
    RecordingListener listener;
    WebcamController controller(&listener);
    controller.startWifi(QStringLiteral("127.0.0.1"), server.port());
    QVERIFY(listener.waitFor(2));
    QVERIFY(controller.wait(5000));
    QCOMPARE(listener.events(), (QStringList{QStringLiteral("connected"), end}));
    QCOMPARE(controller.frameStats().frames, frames);
    QCOMPARE(QFileInfo(m_camera).size(), frames * 64 * 48 * 2);
}

void TestWebcamController::startWhileRunningIsRefusedAndALaterStartRunsAgain()
{
    SimulatorProcess simulator({QStringLiteral("--size"), QStringLiteral("64x48")});
    QVERIFY2(simulator.start(), qPrintable(simulator.errorString()));
    RecordingListener listener;
    WebcamController controller(&listener);
    QVERIFY(controller.startWifi(QStringLiteral("127.0.0.1"), simulator.port()));
    QVERIFY(!controller.startWifi(QStringLiteral("127.0.0.1"), simulator.port()));
    QVERIFY(listener.waitFor(1));
    QTRY_VERIFY_WITH_TIMEOUT(controller.frameStats().frames >= 2, 5000);
    controller.stop();
    QVERIFY(listener.waitFor(2));
    // Right after the last report: the start waits for the few instructions left and runs a fresh connection.
    QVERIFY(controller.startWifi(QStringLiteral("127.0.0.1"), simulator.port()));
    QTRY_VERIFY_WITH_TIMEOUT(controller.frameStats().frames >= 2, 5000);
    controller.stop();
    QVERIFY(listener.waitFor(4));
    QCOMPARE(listener.events(), (QStringList{QStringLiteral("connected"), QStringLiteral("disconnected"),
                                             QStringLiteral("connected"), QStringLiteral("disconnected")}));
}

void TestWebcamController::destroyingARunningControllerEndsItAtOnce_data()
{
    QTest::addColumn<bool>("streaming");
    QTest::newRow("waiting for the version reply") << false;
    QTest::newRow("waiting for a frame") << true;
}

void TestWebcamController::destroyingARunningControllerEndsItAtOnce()
{
    QFETCH(bool, streaming);
    Server server(streaming ? handshake(64, 48) << Server::send(frameRecord(64, 48)) << Server::hold()
                            : QList<Server::Step>{Server::receive(7), Server::hold()});
    RecordingListener listener;
    auto controller = std::make_unique<WebcamController>(&listener);
    controller->startWifi(QStringLiteral("127.0.0.1"), server.port());
    if (streaming)
        QTRY_COMPARE_WITH_TIMEOUT(controller->frameStats().frames, 1LL, 5000);
    else
        QTRY_COMPARE_WITH_TIMEOUT(server.received().size(), 7, 5000); // the version query: now it waits
    QElapsedTimer timer;
    timer.start();
    controller.reset();
    QVERIFY2(timer.elapsed() < 1500, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(listener.events().last(), streaming ? QStringLiteral("disconnected") : QStringLiteral("error -6 0 0"));
}

void TestWebcamController::serialAndUsbStreamUntilStopped_data()
{
    QTest::addColumn<QString>("transport");
    QTest::newRow("serial port") << QStringLiteral("serial");
    QTest::newRow("usb") << QStringLiteral("usb");
}

void TestWebcamController::serialAndUsbStreamUntilStopped()
{
    QFETCH(QString, transport);
    if (kThreadSanitizerBuild && transport == QLatin1String("usb"))
        QSKIP("ThreadSanitizer cannot follow a thread that starts adb (see sanitizers.h)");
    const bool serial = transport == QLatin1String("serial");
    FakeAdb adb;
    adb.install(FakeAdb::kOneDevice);
    // Over USB the simulator stands where the forward would end.
    SimulatorProcess simulator(serial ? QStringList{QStringLiteral("--serial"), QStringLiteral("--size"), QStringLiteral("64x48")}
                                      : QStringList{QStringLiteral("--size"), QStringLiteral("64x48"), QStringLiteral("--listen"),
                                                    QStringLiteral("127.0.0.1")});
    QVERIFY2(simulator.start(), qPrintable(simulator.errorString()));
    RecordingListener listener;
    WebcamController controller(&listener);
    if (serial)
        QVERIFY(controller.startSerial(simulator.serialNumber(), SimulatorProcess::kSerialPathTemplate));
    else
        QVERIFY(controller.startUsb(simulator.port()));
    QTRY_VERIFY_WITH_TIMEOUT(controller.frameStats().frames >= 3, 10000);
    controller.stop();
    QVERIFY(listener.waitFor(2));
    QCOMPARE(listener.events(), (QStringList{QStringLiteral("connected"), QStringLiteral("disconnected")}));
    QCOMPARE(QFileInfo(m_camera).size(), controller.frameStats().frames * 64 * 48 * 2);
}

void TestWebcamController::destroyingEndsSerialAndUsbWaitsAtOnce_data()
{
    QTest::addColumn<QString>("transport");
    QTest::addColumn<QString>("lastEvent");
    // Without the interrupt these would take 30 s and more.
    QTest::newRow("serial port, phone fell silent") << QStringLiteral("serial") << QStringLiteral("disconnected");
    QTest::newRow("usb, adb hangs") << QStringLiteral("usb") << QStringLiteral("error -5 0 0");
}

void TestWebcamController::destroyingEndsSerialAndUsbWaitsAtOnce()
{
    QFETCH(QString, transport);
    QFETCH(QString, lastEvent);
    if (kThreadSanitizerBuild && transport == QLatin1String("usb"))
        QSKIP("ThreadSanitizer cannot follow a thread that starts adb (see sanitizers.h)");
    const bool serial = transport == QLatin1String("serial");
    FakeAdb adb;
    adb.install(FakeAdb::kOneDevice, {}, FakeAdb::WorkingDirectory, "devices");
    SimulatorProcess simulator({QStringLiteral("--serial"), QStringLiteral("--size"), QStringLiteral("64x48"),
                                QStringLiteral("--silent-after"), QStringLiteral("1")});
    if (serial)
        QVERIFY2(simulator.start(), qPrintable(simulator.errorString()));
    RecordingListener listener;
    auto controller = std::make_unique<WebcamController>(&listener);
    if (serial) {
        controller->startSerial(simulator.serialNumber(), SimulatorProcess::kSerialPathTemplate);
        QTRY_COMPARE_WITH_TIMEOUT(controller->frameStats().frames, 1LL, 5000);
        // Nothing shows that the thread is back in its wait for the next frame: give it a moment.
        QTest::qWait(300);
    } else {
        controller->startUsb(freeLocalPort());
        QTRY_VERIFY_WITH_TIMEOUT(adb.hangingPid() != 0, 5000);
    }
    QElapsedTimer timer;
    timer.start();
    controller.reset();
    QVERIFY2(timer.elapsed() < 1500, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(listener.events().last(), lastEvent);
}

void TestWebcamController::manyConnectDisconnectCycles()
{
    SimulatorProcess simulator({QStringLiteral("--size"), QStringLiteral("64x48"), QStringLiteral("--fps"),
                                QStringLiteral("120")});
    QVERIFY2(simulator.start(), qPrintable(simulator.errorString()));
    RecordingListener listener;
    WebcamController controller(&listener);
    for (int cycle = 0; cycle < 50; ++cycle) {
        controller.setFlipHorizontal(cycle % 2);
        controller.setRotation(cycle % 4);
        QVERIFY(controller.startWifi(QStringLiteral("127.0.0.1"), simulator.port()));
        QTRY_VERIFY_WITH_TIMEOUT(controller.frameStats().frames >= 1, 5000);
        controller.stop();
        QVERIFY(listener.waitFor(2 * (cycle + 1)));
    }
    const QStringList events = listener.events();
    QCOMPARE(events.count(QStringLiteral("connected")), 50);
    QCOMPARE(events.count(QStringLiteral("disconnected")), 50);
}

QTEST_GUILESS_MAIN(TestWebcamController)
#include "tst_webcamcontroller.moc"
