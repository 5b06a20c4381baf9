// End to end: the phone simulator, lumo-webcam-cli and the virtual camera's file output, as a user or a
// script runs them.

#include "clientinfo.h"
#include "fakeadb.h"
#include "fakebluezbus.h"
#include "freeport.h"
#include "jpegdecoder.h"
#include "jpegencoder.h"
#include "referencetransforms.h"
#include "simulatorprocess.h"
#include "testpicture.h"
#include "yuyvreference.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

namespace {

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

QString cliPath()
{
    return qEnvironmentVariable("LUMO_WEBCAM_CLI");
}

} // namespace

class TestWebcamCli : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void helpPrintsTheUsage();
    void badArgumentsPrintTheUsageAndExit64_data();
    void badArgumentsPrintTheUsageAndExit64();
    void writesTheSimulatorsPicturesTransformed_data();
    void writesTheSimulatorsPicturesTransformed();
    void failedHandshakePrintsTheErrorAndExits1_data();
    void failedHandshakePrintsTheErrorAndExits1();
    void transportThatCannotOpenFailsToConnect_data();
    void transportThatCannotOpenFailsToConnect();
    void listBluetoothPrintsTheDialogsLabels();
    void unknownBluetoothAddressIsAnError();
    void brokenConnectionPrintsAbortedAndExits2();
    void signalDisconnectsAndExits0_data();
    void signalDisconnectsAndExits0();

private:
    Run run(const QStringList &arguments, int timeoutMs = 30000);
    void startCli(QProcess &process, const QStringList &arguments);

    QTemporaryDir m_dir;
    QString m_camera;
    int m_test = 0;
};

void TestWebcamCli::init()
{
    QVERIFY(m_dir.isValid());
    m_camera = m_dir.filePath(QStringLiteral("camera-%1.yuyv").arg(++m_test));
}

void TestWebcamCli::startCli(QProcess &process, const QStringList &arguments)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LUMO_VIRTUAL_CAMERA"), m_camera);
    process.setProcessEnvironment(environment);
    process.start(cliPath(), arguments);
    QVERIFY2(process.waitForStarted(), qPrintable(cliPath()));
}

Run TestWebcamCli::run(const QStringList &arguments, int timeoutMs)
{
    QProcess process;
    startCli(process, arguments);
    Run result;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

void TestWebcamCli::helpPrintsTheUsage()
{
    const Run r = run({QStringLiteral("--help")});
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.out.contains("--wifi"));
    QVERIFY(r.out.contains("--rotate"));
    QVERIFY(r.err.isEmpty());
}

void TestWebcamCli::badArgumentsPrintTheUsageAndExit64_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("no transport") << QStringList{};
    QTest::newRow("--wifi without a host") << QStringList{QStringLiteral("--wifi")};
    QTest::newRow("unknown option") << QStringList{QStringLiteral("--wifi"), QStringLiteral("h"), QStringLiteral("--bogus")};
    QTest::newRow("stray argument") << QStringList{QStringLiteral("--wifi"), QStringLiteral("h"), QStringLiteral("extra")};
    QTest::newRow("port 0") << QStringList{QStringLiteral("--wifi"), QStringLiteral("h"), QStringLiteral("--port"), QStringLiteral("0")};
    QTest::newRow("port 65536") << QStringList{QStringLiteral("--wifi"), QStringLiteral("h"), QStringLiteral("--port"), QStringLiteral("65536")};
    QTest::newRow("port not a number") << QStringList{QStringLiteral("--wifi"), QStringLiteral("h"), QStringLiteral("--port"), QStringLiteral("x")};
    QTest::newRow("rotate 45") << QStringList{QStringLiteral("--wifi"), QStringLiteral("h"), QStringLiteral("--rotate"), QStringLiteral("45")};
    QTest::newRow("rotate 360") << QStringList{QStringLiteral("--wifi"), QStringLiteral("h"), QStringLiteral("--rotate"), QStringLiteral("360")};
    QTest::newRow("frames 0") << QStringList{QStringLiteral("--wifi"), QStringLiteral("h"), QStringLiteral("--frames"), QStringLiteral("0")};
    QTest::newRow("two transports") << QStringList{QStringLiteral("--usb"), QStringLiteral("--serial"), QStringLiteral("1")};
    QTest::newRow("serial -1") << QStringList{QStringLiteral("--serial"), QStringLiteral("-1")};
    QTest::newRow("serial not a number") << QStringList{QStringLiteral("--serial"), QStringLiteral("COM3")};
    QTest::newRow("serial path without %d")
        << QStringList{QStringLiteral("--serial"), QStringLiteral("1"), QStringLiteral("--serial-path"), QStringLiteral("/dev/ttyS")};
    QTest::newRow("serial path with wifi")
        << QStringList{QStringLiteral("--wifi"), QStringLiteral("h"), QStringLiteral("--serial-path"), QStringLiteral("/dev/tty%d")};
    QTest::newRow("port with serial")
        << QStringList{QStringLiteral("--serial"), QStringLiteral("1"), QStringLiteral("--port"), QStringLiteral("8123")};
    QTest::newRow("bluetooth address of five bytes") << QStringList{QStringLiteral("--bluetooth"), QStringLiteral("5a:4b:3c:2d:1e")};
    QTest::newRow("bluetooth address not hex") << QStringList{QStringLiteral("--bluetooth"), QStringLiteral("5a:4b:3c:2d:1e:0g")};
}

void TestWebcamCli::badArgumentsPrintTheUsageAndExit64()
{
    QFETCH(QStringList, arguments);
    const Run r = run(arguments);
    QCOMPARE(r.exitCode, 64);
    QVERIFY(r.out.isEmpty()); // nothing that a script could take for a connection
    QVERIFY(r.err.contains("--wifi"));
    QVERIFY(!QFile::exists(m_camera));
}

void TestWebcamCli::writesTheSimulatorsPicturesTransformed_data()
{
    QTest::addColumn<QString>("transport");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<bool>("hflip");
    QTest::addColumn<bool>("vflip");
    QTest::addColumn<int>("turns");
    QTest::newRow("as sent") << QStringLiteral("wifi") << QStringList{} << false << false << 0;
    QTest::newRow("mirrored left-right") << QStringLiteral("wifi") << QStringList{QStringLiteral("--hflip")} << true << false << 0;
    QTest::newRow("mirrored top-bottom") << QStringLiteral("wifi") << QStringList{QStringLiteral("--vflip")} << false << true << 0;
    QTest::newRow("half turn") << QStringLiteral("wifi") << QStringList{QStringLiteral("--rotate"), QStringLiteral("180")} << false << false << 2;
    QTest::newRow("quarter turn, black bands") << QStringLiteral("wifi") << QStringList{QStringLiteral("--rotate"), QStringLiteral("90")} << false << false << 1;
    QTest::newRow("three quarters") << QStringLiteral("wifi") << QStringList{QStringLiteral("--rotate"), QStringLiteral("270")} << false << false << 3;
    const QStringList everything{QStringLiteral("--hflip"), QStringLiteral("--vflip"), QStringLiteral("--rotate"),
                                 QStringLiteral("90")};
    QTest::newRow("everything") << QStringLiteral("wifi") << everything << true << true << 1;
    QTest::newRow("serial port, as sent") << QStringLiteral("serial") << QStringList{} << false << false << 0;
    QTest::newRow("serial port, everything") << QStringLiteral("serial") << everything << true << true << 1;
    QTest::newRow("usb, everything") << QStringLiteral("usb") << everything << true << true << 1;
}

void TestWebcamCli::writesTheSimulatorsPicturesTransformed()
{
    QFETCH(QString, transport);
    QFETCH(QStringList, options);
    QFETCH(bool, hflip);
    QFETCH(bool, vflip);
    QFETCH(int, turns);
    constexpr int width = 160, height = 120, pictures = 3, frames = 7;

    // The simulator loops over a folder of pictures this test made, so every frame is known.
    QTemporaryDir folder;
    std::vector<std::vector<unsigned char>> jpegs;
    for (int i = 0; i < pictures; ++i) {
        const std::vector<std::uint8_t> bgr = makeTestPicture(width, height, i);
        jpegs.push_back(encodeJpeg(bgr.data(), width, height, 95));
        QFile file(folder.filePath(QStringLiteral("frame-%1.jpg").arg(i)));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(reinterpret_cast<const char *>(jpegs.back().data()), qint64(jpegs.back().size()));
    }
    QStringList simulatorArguments{QStringLiteral("--folder"), folder.path(), QStringLiteral("--size"),
                                   QStringLiteral("%1x%2").arg(width).arg(height)};
    std::optional<FakeAdb> adb; // the program runs in its directory and finds it there as ./adb
    if (transport == QLatin1String("serial")) {
        simulatorArguments << QStringLiteral("--serial");
    } else if (transport == QLatin1String("usb")) {
        // The forward's local end: the simulator takes its place.
        simulatorArguments << QStringLiteral("--listen") << QStringLiteral("127.0.0.1");
        adb.emplace().install(FakeAdb::kOneDevice);
    }
    SimulatorProcess simulator(simulatorArguments);
    QVERIFY2(simulator.start(), qPrintable(simulator.errorString()));

    QStringList transportArguments;
    if (transport == QLatin1String("serial"))
        transportArguments = {QStringLiteral("--serial"), QString::number(simulator.serialNumber()),
                              QStringLiteral("--serial-path"), QString::fromLatin1(SimulatorProcess::kSerialPathTemplate)};
    else if (transport == QLatin1String("usb"))
        transportArguments = {QStringLiteral("--usb"), QStringLiteral("--port"), QString::number(simulator.port())};
    else
        transportArguments = {QStringLiteral("--wifi"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                              QString::number(simulator.port())};

    QVERIFY(!QFile::exists(m_camera)); // made by the camera as a regular file
    const Run r = run(transportArguments + QStringList{QStringLiteral("--frames"), QString::number(frames)} + options);
    QCOMPARE(r.out, QByteArray("Connected\nDisconnected\n"));
    QCOMPARE(r.exitCode, 0);

    QFile camera(m_camera);
    QVERIFY(camera.open(QIODevice::ReadOnly));
    const QByteArray written = camera.readAll();
    const int frameBytes = yuyvFrameBytes(width, height);
    QCOMPARE(written.size(), frames * frameBytes);
    for (int f = 0; f < frames; ++f) {
        // What the picture should have become: the same JPEG decoded, transformed the plain way.
        const std::vector<unsigned char> &jpeg = jpegs[size_t(f % pictures)];
        std::vector<unsigned char> expected(size_t(width) * height * 3);
        JpegDecoder decoder;
        decoder.init();
        QVERIFY(decoder.decode(jpeg.data(), jpeg.size(), expected.data(), width, height));
        if (hflip)
            reference::flipHorizontal(expected.data(), width, height);
        if (vflip)
            reference::flipVertical(expected.data(), width, height);
        reference::rotate(expected.data(), width, height, turns);

        const auto *yuyv = reinterpret_cast<const uchar *>(written.constData()) + qsizetype(f) * frameBytes;
        // Within JPEG and YUV rounding (chroma is shared by pixel pairs, so colour edges cost a little)...
        const YuyvDifference difference = compareBgrWithYuyv(expected.data(), width, height, yuyv);
        QVERIFY2(difference.mean < 4.0, qPrintable(QStringLiteral("frame %1: mean %2").arg(f).arg(difference.mean)));
        // ...and far from the next picture of the loop, so a frame out of order would show.
        std::vector<unsigned char> other(expected.size());
        const std::vector<unsigned char> &next = jpegs[size_t((f + 1) % pictures)];
        QVERIFY(decoder.decode(next.data(), next.size(), other.data(), width, height));
        QVERIFY(compareBgrWithYuyv(other.data(), width, height, yuyv).mean > 20.0);
        if (turns % 2) {
            // The quarter turn of a landscape frame: the middle square between black bands of 20 columns.
            for (int y = 0; y < height; y += 7) {
                QCOMPARE(int(quint8(yuyv[(y * width + 0) * 2])), 16);
                QCOMPARE(int(quint8(yuyv[(y * width + 19) * 2])), 16);
                QCOMPARE(int(quint8(yuyv[(y * width + 140) * 2])), 16);
                QVERIFY(quint8(yuyv[(y * width + 20) * 2]) > 16 || quint8(yuyv[(y * width + 139) * 2]) > 16);
            }
        }
    }
}

void TestWebcamCli::failedHandshakePrintsTheErrorAndExits1_data()
{
    QTest::addColumn<QStringList>("simulator");
    QTest::addColumn<QByteArray>("error");
    QTest::newRow("nothing listens") << QStringList{} << QByteArray("Fail to connect to server.");
    QTest::newRow("server 2.20")
        << QStringList{QStringLiteral("--version"), QStringLiteral("2.20")}
        << QByteArray("Client and server mismatch. Client needs to be v2.20 or above.\n\n"
                      "Please go to the following page to  install it:\n")
               + ClientInfo::kWebPage;
    QTest::newRow("resolution status 0") << QStringList{QStringLiteral("--status"), QStringLiteral("0")}
                                         << QByteArray("Cannot start camera on Android phone.");
}

void TestWebcamCli::failedHandshakePrintsTheErrorAndExits1()
{
    QFETCH(QStringList, simulator);
    QFETCH(QByteArray, error);
    std::unique_ptr<SimulatorProcess> server;
    quint16 port;
    if (simulator.isEmpty()) {
        port = freeLocalPort();
    } else {
        // Small frames: under a sanitizer on a busy machine the default 640x480 ones take half a
        // minute to make, and the handshake ends before any frame.
        server = std::make_unique<SimulatorProcess>(simulator
                                                    + QStringList{QStringLiteral("--size"), QStringLiteral("64x48")});
        QVERIFY2(server->start(), qPrintable(server->errorString()));
        port = server->port();
    }
    const Run r = run({QStringLiteral("--wifi"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"), QString::number(port)});
    QCOMPARE(r.exitCode, 1);
    QCOMPARE(r.err, "Error:\n" + error + "\n");
    if (simulator.isEmpty())
        QCOMPARE(r.out, QByteArray("Fail to connect to the service with error code: 111.\n")); // ECONNREFUSED
    else
        QVERIFY(r.out.isEmpty());
    QVERIFY(!QFile::exists(m_camera));
}

void TestWebcamCli::transportThatCannotOpenFailsToConnect_data()
{
    QTest::addColumn<QString>("transport");
    QTest::newRow("serial port missing") << QStringLiteral("serial");
    QTest::newRow("usb without a phone") << QStringLiteral("usb");
    QTest::newRow("bluetooth device out of reach") << QStringLiteral("bluetooth");
}

void TestWebcamCli::transportThatCannotOpenFailsToConnect()
{
    QFETCH(QString, transport);
    QTemporaryDir dir;
    std::optional<FakeAdb> adb;
    std::unique_ptr<FakeBluezBus> bus;
    QStringList arguments;
    if (transport == QLatin1String("serial")) {
        arguments = {QStringLiteral("--serial"), QStringLiteral("7"), QStringLiteral("--serial-path"),
                     dir.filePath(QStringLiteral("rfcomm%d"))};
    } else if (transport == QLatin1String("usb")) {
        adb.emplace().install(FakeAdb::kNoDevice);
        arguments = {QStringLiteral("--usb")};
    } else {
        // Paired, so the program tries it; this machine has no Bluetooth adapter to reach it with.
        bus = std::make_unique<FakeBluezBus>(QList<FakeBluezDevice>{
            {QStringLiteral("/org/bluez/hci0/dev_5A_4B_3C_2D_1E_0F"), QStringLiteral("5A:4B:3C:2D:1E:0F"), true,
             QStringLiteral("Phone")}});
        QVERIFY2(bus->start(), qPrintable(bus->errorString()));
        arguments = {QStringLiteral("--bluetooth"), QStringLiteral("5a:4b:3c:2d:1e:0f")};
    }
    const Run r = run(arguments);
    QCOMPARE(r.err, QByteArray("Error:\nFail to connect to server.\n"));
    QCOMPARE(r.exitCode, 1);
    QVERIFY(r.out.isEmpty());
    QVERIFY(!QFile::exists(m_camera));
}

void TestWebcamCli::listBluetoothPrintsTheDialogsLabels()
{
    FakeBluezBus bus({{QStringLiteral("/org/bluez/hci0/dev_5A_4B_3C_2D_1E_0F"), QStringLiteral("5A:4B:3C:2D:1E:0F"), true,
                       QStringLiteral("Phone")},
                      {QStringLiteral("/org/bluez/hci0/dev_00_11_22_33_44_0A"), QStringLiteral("00:11:22:33:44:0A"), true,
                       QStringLiteral("Tablet"), QStringLiteral("Kitchen tablet")},
                      {QStringLiteral("/org/bluez/hci0/dev_00_11_22_33_44_55"), QStringLiteral("00:11:22:33:44:55"), false,
                       QStringLiteral("Stranger")}});
    QVERIFY2(bus.start(), qPrintable(bus.errorString()));
    const Run r = run({QStringLiteral("--list-bluetooth")});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, QByteArray("Kitchen tablet(00:11:22:33:44:0a)\nPhone(5a:4b:3c:2d:1e:0f)\n"));
}

void TestWebcamCli::unknownBluetoothAddressIsAnError()
{
    FakeBluezBus bus({{QStringLiteral("/org/bluez/hci0/dev_00_11_22_33_44_55"), QStringLiteral("00:11:22:33:44:55"), false,
                       QStringLiteral("Not paired")}});
    QVERIFY2(bus.start(), qPrintable(bus.errorString()));
    const Run r = run({QStringLiteral("--bluetooth"), QStringLiteral("00:11:22:33:44:55")});
    QCOMPARE(r.exitCode, 1);
    QCOMPARE(r.err, QByteArray("Error:\nNo paired Bluetooth device has the address 00:11:22:33:44:55.\n"));
    QVERIFY(r.out.isEmpty());
}

void TestWebcamCli::brokenConnectionPrintsAbortedAndExits2()
{
    SimulatorProcess simulator({QStringLiteral("--size"), QStringLiteral("64x48"), QStringLiteral("--close-after"),
                                QStringLiteral("3")});
    QVERIFY2(simulator.start(), qPrintable(simulator.errorString()));
    const Run r = run({QStringLiteral("--wifi"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                       QString::number(simulator.port())});
    QCOMPARE(r.out, QByteArray("Connected\nAborted.\n"));
    QCOMPARE(r.exitCode, 2);
    QCOMPARE(QFileInfo(m_camera).size(), 3LL * 64 * 48 * 2);
}

void TestWebcamCli::signalDisconnectsAndExits0_data()
{
    QTest::addColumn<QString>("signal");
    QTest::newRow("SIGINT") << QStringLiteral("INT");
    QTest::newRow("SIGTERM") << QStringLiteral("TERM");
}

void TestWebcamCli::signalDisconnectsAndExits0()
{
    QFETCH(QString, signal);
    SimulatorProcess simulator({QStringLiteral("--size"), QStringLiteral("64x48")});
    QVERIFY2(simulator.start(), qPrintable(simulator.errorString()));
    QProcess cli;
    startCli(cli, {QStringLiteral("--wifi"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                   QString::number(simulator.port())});
    // Each line is flushed as it is printed: a watcher sees "Connected" while the program runs.
    QTRY_VERIFY_WITH_TIMEOUT((cli.waitForReadyRead(100), cli.peek(64).contains("Connected\n")), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(m_camera).size() > 0, 10000);
    QCOMPARE(QProcess::execute(QStringLiteral("kill"), {QStringLiteral("-") + signal, QString::number(cli.processId())}), 0);
    QVERIFY(cli.waitForFinished(10000));
    QCOMPARE(cli.exitStatus(), QProcess::NormalExit);
    QCOMPARE(cli.exitCode(), 0);
    QCOMPARE(cli.readAllStandardOutput(), QByteArray("Connected\nDisconnected\n"));
    const qint64 size = QFileInfo(m_camera).size();
    QVERIFY(size > 0);
    QCOMPARE(size % (64 * 48 * 2), 0); // whole frames only
}

QTEST_GUILESS_MAIN(TestWebcamCli)
#include "tst_webcamcli.moc"
