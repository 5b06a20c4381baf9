// End to end: the phone simulator, lumo-webcam-cli and the virtual camera's file output, as a user or a
// script runs them.

#include "cameracard.h"
#include "clientinfo.h"
#include "fakeadb.h"
#include "fakebluezbus.h"
#include "freeport.h"
#include "sentpictures.h"
#include "simulatorprocess.h"
#include "testpicture.h"
#include "yuyv.h"
#include "yuyvreference.h"

#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <QDeadlineTimer>
#include <QScopeGuard>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

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

QList<FakeBluezDevice> twoPairedDevicesAndAStranger()
{
    return {{QStringLiteral("/org/bluez/hci0/dev_5A_4B_3C_2D_1E_0F"), QStringLiteral("5A:4B:3C:2D:1E:0F"), true,
             QStringLiteral("Phone")},
            {QStringLiteral("/org/bluez/hci0/dev_00_11_22_33_44_0A"), QStringLiteral("00:11:22:33:44:0A"), true,
             QStringLiteral("Tablet"), QStringLiteral("Kitchen tablet")},
            {QStringLiteral("/org/bluez/hci0/dev_00_11_22_33_44_55"), QStringLiteral("00:11:22:33:44:55"), false,
             QStringLiteral("Stranger")}};
}

// Reads a FIFO opened with O_NONBLOCK until size bytes, the writer's end, or the time-out.
QByteArray readFifo(int fd, qsizetype size, int timeoutMs)
{
    QByteArray data;
    QDeadlineTimer deadline(timeoutMs);
    char chunk[65536];
    while (data.size() < size && !deadline.hasExpired()) {
        pollfd ready{fd, POLLIN, 0};
        ::poll(&ready, 1, int(std::min<qint64>(deadline.remainingTime(), 100)));
        const ssize_t n = ::read(fd, chunk, std::min<qsizetype>(sizeof chunk, size - data.size()));
        if (n == 0)
            break;
        if (n > 0)
            data.append(chunk, n);
    }
    return data;
}

} // namespace

class TestWebcamCli : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void helpAndVersionPrintAndExit0_data();
    void helpAndVersionPrintAndExit0();
    void badArgumentsPrintTheUsageAndExit64_data();
    void badArgumentsPrintTheUsageAndExit64();
    void writesTheSimulatorsPicturesTransformed_data();
    void writesTheSimulatorsPicturesTransformed();
    void failedHandshakePrintsTheErrorAndExits1_data();
    void failedHandshakePrintsTheErrorAndExits1();
    void transportThatCannotOpenFailsToConnect_data();
    void transportThatCannotOpenFailsToConnect();
    void listBluetoothPrintsTheDialogsLabels();
    void bashCompletionOffers_data();
    void bashCompletionOffers();
    void unknownBluetoothAddressIsAnError();
    void brokenConnectionPrintsAbortedAndExits2();
    void reconnectPrintsEachAttemptAndStopsAtASignal();
    void signalDisconnectsAndExits0_data();
    void signalDisconnectsAndExits0();
    void fifoIsWrittenOnceAReaderCame_data();
    void fifoIsWrittenOnceAReaderCame();
    void keptCameraShowsTheCardAtTheStoredSizeAndStoresTheNext_data();
    void keptCameraShowsTheCardAtTheStoredSizeAndStoresTheNext();

private:
    Run run(const QStringList &arguments, int timeoutMs = 30000);
    void startCli(QProcess &process, const QStringList &arguments, const QString &configHome = {});
    // Sends the signal and expects the program to end at once, as after a disconnect.
    void stopCli(QProcess &cli, const QString &signal);

    QTemporaryDir m_dir;
    QString m_camera;
    int m_test = 0;
};

void TestWebcamCli::init()
{
    QVERIFY(m_dir.isValid());
    m_camera = m_dir.filePath(QStringLiteral("camera-%1.yuyv").arg(++m_test));
}

void TestWebcamCli::startCli(QProcess &process, const QStringList &arguments, const QString &configHome)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LUMO_VIRTUAL_CAMERA"), m_camera);
    if (!configHome.isEmpty())
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome);
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

void TestWebcamCli::helpAndVersionPrintAndExit0_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("--help") << QStringLiteral("--help") << QByteArray("--rotate <DEGREES>");
    QTest::newRow("--version") << QStringLiteral("--version")
                               << QByteArray("lumo-webcam-cli ") + ClientInfo::versionText().c_str() + '\n';
}

void TestWebcamCli::helpAndVersionPrintAndExit0()
{
    QFETCH(QString, option);
    QFETCH(QByteArray, expected);
    const Run r = run({option});
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.out.contains(expected), r.out);
    QVERIFY(r.err.isEmpty());
    QVERIFY(!QFile::exists(m_camera));
}

void TestWebcamCli::badArgumentsPrintTheUsageAndExit64_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("no transport") << QStringList{};
    // Every other wrong argument list is a row of tst_clioptions; these show the whole program's answer.
    QTest::newRow("wrong port") << QStringList{QStringLiteral("--wifi"), QStringLiteral("h:0")};
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

    const PictureLoop loop(width, height, pictures);
    QCOMPARE(int(loop.jpegs.size()), pictures);
    QStringList simulatorArguments{QStringLiteral("--folder"), loop.folder.path(), QStringLiteral("--size"),
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
    // What each picture should have become: the same JPEG decoded, transformed the plain way.
    const std::vector<std::vector<unsigned char>> expected = loop.transformed(hflip, vflip, turns);
    for (int f = 0; f < frames; ++f) {
        const auto *yuyv = reinterpret_cast<const uchar *>(written.constData()) + qsizetype(f) * frameBytes;
        // Within JPEG and YUV rounding of this picture and of no other, so a frame out of order would show.
        QCOMPARE(pictureShown(expected, width, height, yuyv), f % pictures);
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
    QTest::addColumn<QByteArray>("answer");
    QTest::newRow("nothing listens") << QStringList{} << QByteArray("Fail to connect to server.")
                                     << QByteArray("Answer: Connection refused\n");
    QTest::newRow("server 2.20")
        << QStringList{QStringLiteral("--version"), QStringLiteral("2.20")}
        << QByteArray("Client and server mismatch. Client needs to be v2.20 or above.\n\n"
                      "Please go to the following page to  install it:\n")
               + ClientInfo::kWebPage
        << QByteArray("Server version: 2.20\n");
    QTest::newRow("resolution status 0") << QStringList{QStringLiteral("--status"), QStringLiteral("0")}
                                         << QByteArray("Cannot start camera on Android phone.")
                                         << QByteArray("Answer: no resolution reply\nServer version: 2.19\n");
}

void TestWebcamCli::failedHandshakePrintsTheErrorAndExits1()
{
    QFETCH(QStringList, simulator);
    QFETCH(QByteArray, error);
    QFETCH(QByteArray, answer);
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
    // The message, then the details: what was tried and what came back.
    QVERIFY2(r.err.startsWith("Error:\n" + error + "\nTried: WiFi: TCP to 127.0.0.1, port " + QByteArray::number(port)),
             r.err.constData());
    QVERIFY2(r.err.endsWith(answer), r.err.constData());
    if (simulator.isEmpty())
        QCOMPARE(r.out, QByteArray("Fail to connect to the service with error code: 111.\n")); // ECONNREFUSED
    else
        QVERIFY(r.out.isEmpty());
    QVERIFY(!QFile::exists(m_camera));
}

void TestWebcamCli::transportThatCannotOpenFailsToConnect_data()
{
    QTest::addColumn<QString>("transport");
    QTest::addColumn<QByteArray>("answer");
    QTest::newRow("serial port missing") << QStringLiteral("serial") << QByteArray("No such file or directory");
    QTest::newRow("usb without a phone") << QStringLiteral("usb") << QByteArray("adb: no device attached");
    QTest::newRow("bluetooth device out of reach")
        << QStringLiteral("bluetooth") << QByteArray("the device did not accept a connection to the camera service");
}

void TestWebcamCli::transportThatCannotOpenFailsToConnect()
{
    QFETCH(QString, transport);
    QFETCH(QByteArray, answer);
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
    QVERIFY2(r.err.startsWith("Error:\nFail to connect to server.\nTried: "), r.err.constData());
    QVERIFY2(r.err.endsWith("\nAnswer: " + answer + "\n"), r.err.constData());
    QCOMPARE(r.exitCode, 1);
    QVERIFY(r.out.isEmpty());
    QVERIFY(!QFile::exists(m_camera));
}

void TestWebcamCli::listBluetoothPrintsTheDialogsLabels()
{
    FakeBluezBus bus(twoPairedDevicesAndAStranger());
    QVERIFY2(bus.start(), qPrintable(bus.errorString()));
    const Run r = run({QStringLiteral("--list-bluetooth")});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, QByteArray("Kitchen tablet(00:11:22:33:44:0a)\nPhone(5a:4b:3c:2d:1e:0f)\n"));
}

void TestWebcamCli::bashCompletionOffers_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("an option") << QStringLiteral("lumo-webcam-cli --ro") << QStringList{QStringLiteral("--rotate")};
    QTest::newRow("the turns") << QStringLiteral("lumo-webcam-cli --wifi h --rotate ")
                               << QStringList{QStringLiteral("0"), QStringLiteral("90"), QStringLiteral("180"),
                                              QStringLiteral("270")};
    QTest::newRow("the paired addresses")
        << QStringLiteral("lumo-webcam-cli --bluetooth ")
        << QStringList{QStringLiteral("00:11:22:33:44:0a"), QStringLiteral("5a:4b:3c:2d:1e:0f")};
    // bash puts back only what follows the last colon of the word.
    QTest::newRow("an address begun") << QStringLiteral("lumo-webcam-cli --bluetooth 5a:4")
                                      << QStringList{QStringLiteral("4b:3c:2d:1e:0f")};
}

void TestWebcamCli::bashCompletionOffers()
{
    QFETCH(QString, line);
    QFETCH(QStringList, expected);
    FakeBluezBus bus(twoPairedDevicesAndAStranger());
    QVERIFY2(bus.start(), qPrintable(bus.errorString()));
    QProcess bash;
    bash.start(QStringLiteral("bash"),
               {QStringLiteral("-c"),
                QStringLiteral("source \"$0\" && COMP_LINE=$1 && COMP_POINT=${#1} && _lumo_webcam_cli \"$2\" && "
                               "printf '%s\\n' \"${COMPREPLY[@]}\""),
                QStringLiteral(LUMO_CLI_COMPLETION), line, cliPath()});
    QVERIFY(bash.waitForFinished(30000));
    QCOMPARE(bash.exitCode(), 0);
    QCOMPARE(QString::fromUtf8(bash.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts), expected);
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

void TestWebcamCli::reconnectPrintsEachAttemptAndStopsAtASignal()
{
    SimulatorProcess simulator({QStringLiteral("--size"), QStringLiteral("64x48"), QStringLiteral("--close-after"),
                                QStringLiteral("3")});
    QVERIFY2(simulator.start(), qPrintable(simulator.errorString()));
    QProcess cli;
    startCli(cli, {QStringLiteral("--wifi"), QStringLiteral("127.0.0.1:%1").arg(simulator.port()),
                   QStringLiteral("--reconnect")});
    QByteArray out;
    // The second abort starts a wait of two seconds, in which the signal ends the program at once.
    const QByteArray twice("Connected\nAborted.\nReconnecting\nConnected\nAborted.\n");
    QTRY_VERIFY_WITH_TIMEOUT((out += cli.readAllStandardOutput()) == twice, 20000);
    QCOMPARE(QProcess::execute(QStringLiteral("kill"), {QStringLiteral("-INT"), QString::number(cli.processId())}), 0);
    QVERIFY(cli.waitForFinished(1000));
    QCOMPARE(cli.exitCode(), 0);
    QCOMPARE(out + cli.readAllStandardOutput(), twice + "Disconnected\n");
}

void TestWebcamCli::stopCli(QProcess &cli, const QString &signal)
{
    QCOMPARE(QProcess::execute(QStringLiteral("kill"), {QStringLiteral("-") + signal, QString::number(cli.processId())}), 0);
    QVERIFY(cli.waitForFinished(10000));
    QCOMPARE(cli.exitStatus(), QProcess::NormalExit);
    QCOMPARE(cli.exitCode(), 0);
    QCOMPARE(cli.readAllStandardOutput(), QByteArray("Connected\nDisconnected\n"));
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
    stopCli(cli, signal);
    if (QTest::currentTestFailed())
        return;
    const qint64 size = QFileInfo(m_camera).size();
    QVERIFY(size > 0);
    QCOMPARE(size % (64 * 48 * 2), 0); // whole frames only
}

void TestWebcamCli::fifoIsWrittenOnceAReaderCame_data()
{
    QTest::addColumn<bool>("readerComes");
    QTest::newRow("reader 2 s after Connected") << true;
    QTest::newRow("stopped before any reader came") << false;
}

void TestWebcamCli::fifoIsWrittenOnceAReaderCame()
{
    QFETCH(bool, readerComes);
    constexpr int width = 64, height = 48, pictures = 3;
    const int frameBytes = yuyvFrameBytes(width, height);
    const PictureLoop loop(width, height, pictures);
    SimulatorProcess simulator({QStringLiteral("--folder"), loop.folder.path(), QStringLiteral("--size"),
                                QStringLiteral("%1x%2").arg(width).arg(height)});
    QVERIFY2(simulator.start(), qPrintable(simulator.errorString()));
    QVERIFY(::mkfifo(QFile::encodeName(m_camera).constData(), 0600) == 0);

    QProcess cli;
    startCli(cli, {QStringLiteral("--wifi"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                   QString::number(simulator.port())});
    QTRY_VERIFY_WITH_TIMEOUT((cli.waitForReadyRead(100), cli.peek(64).contains("Connected\n")), 10000);
    QTest::qWait(2000);
    QByteArray received;
    int reader = -1;
    const auto closeReader = qScopeGuard([&] { if (reader >= 0) ::close(reader); });
    if (readerComes) {
        reader = ::open(QFile::encodeName(m_camera).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        QVERIFY(reader >= 0);
        received = readFifo(reader, 4 * frameBytes, 10000);
        QVERIFY(received.size() >= 4 * frameBytes);
    }
    stopCli(cli, QStringLiteral("TERM"));
    if (!readerComes || QTest::currentTestFailed())
        return;

    received += readFifo(reader, qsizetype(1) << 30, 10000);
    QCOMPARE(received.size() % frameBytes, 0);
    // Whole frames from the first byte on, each the next picture of the simulator's loop.
    const std::vector<std::vector<unsigned char>> decoded = loop.transformed();
    int previous = -1;
    for (qsizetype offset = 0; offset < received.size(); offset += frameBytes) {
        const int picture =
            pictureShown(decoded, width, height, reinterpret_cast<const uchar *>(received.constData()) + offset);
        QVERIFY2(picture >= 0, qPrintable(QStringLiteral("frame at byte %1 is no picture of the loop").arg(offset)));
        QVERIFY(previous < 0 || picture == (previous + 1) % pictures);
        previous = picture;
    }
}

void TestWebcamCli::keptCameraShowsTheCardAtTheStoredSizeAndStoresTheNext_data()
{
    QTest::addColumn<QSize>("stored");
    QTest::newRow("another size: fitted") << QSize(96, 72);
    QTest::newRow("the phone's size: as without the card") << QSize(64, 48);
}

void TestWebcamCli::keptCameraShowsTheCardAtTheStoredSizeAndStoresTheNext()
{
    // The phone's frames are fitted into the size the card started at, the last connection's, so
    // that the FIFO's reader gets one size throughout.
    constexpr int width = 64, height = 48, pictures = 3, frames = 5;
    QFETCH(QSize, stored);
    const int frameBytes = yuyvFrameBytes(stored.width(), stored.height());
    const QString configHome = m_dir.filePath(QStringLiteral("config-%1").arg(m_test));
    QSettings(configHome + QStringLiteral("/Quillmoor/LumoWebcam.conf"), QSettings::IniFormat)
        .setValue(QStringLiteral("cameraSize"), stored);
    const PictureLoop loop(width, height, pictures);
    SimulatorProcess simulator({QStringLiteral("--folder"), loop.folder.path(), QStringLiteral("--size"),
                                QStringLiteral("%1x%2").arg(width).arg(height)});
    QVERIFY2(simulator.start(), qPrintable(simulator.errorString()));
    QVERIFY(::mkfifo(QFile::encodeName(m_camera).constData(), 0600) == 0);
    const int reader = ::open(QFile::encodeName(m_camera).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    // A writing end of the test's own, so that the reader does not see the end of the stream before
    // the program has opened the FIFO.
    const int keepOpen = ::open(QFile::encodeName(m_camera).constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    const auto closeFifo = qScopeGuard([&] {
        ::close(reader);
        ::close(keepOpen);
    });
    QVERIFY(reader >= 0 && keepOpen >= 0);

    QProcess cli;
    startCli(cli,
             {QStringLiteral("--wifi"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
              QString::number(simulator.port()), QStringLiteral("--frames"), QString::number(frames),
              QStringLiteral("--keep-camera")},
             configHome);
    // Read while the program runs, and what it left in the FIFO after.
    QByteArray received;
    const QDeadlineTimer deadline(30000);
    while (!cli.waitForFinished(0) && !deadline.hasExpired())
        received += readFifo(reader, qsizetype(1) << 30, 100);
    received += readFifo(reader, qsizetype(1) << 30, 100);
    QCOMPARE(cli.state(), QProcess::NotRunning);
    QCOMPARE(cli.exitCode(), 0);
    QCOMPARE(QSettings(configHome + QStringLiteral("/Quillmoor/LumoWebcam.conf"), QSettings::IniFormat)
                 .value(QStringLiteral("cameraSize"))
                 .toSize(),
             QSize(width, height));

    YuyvFitter fitter;
    const StillPicture card = cameraCard();
    QByteArray cardFrame(frameBytes, '\0');
    fitter.fit(card.bgr.data(), card.width, card.height, reinterpret_cast<std::uint8_t *>(cardFrame.data()),
               stored.width(), stored.height());
    const std::vector<std::vector<unsigned char>> decoded = loop.transformed();
    QList<QByteArray> fitted;
    for (int i = 0; i < frames; ++i) {
        fitted.append(QByteArray(frameBytes, '\0'));
        fitter.fit(decoded[size_t(i % pictures)].data(), width, height,
                   reinterpret_cast<std::uint8_t *>(fitted.last().data()), stored.width(), stored.height());
    }
    // The card, as long as the phone had not connected yet, then its frames, then the card again.
    QCOMPARE(received.size() % frameBytes, 0);
    QList<QByteArray> phone;
    for (qsizetype offset = 0; offset < received.size(); offset += frameBytes) {
        const QByteArray frame = received.mid(offset, frameBytes);
        if (frame != cardFrame)
            phone.append(frame);
    }
    QCOMPARE(phone.size(), frames);
    QVERIFY(phone == fitted);
}

QTEST_GUILESS_MAIN(TestWebcamCli)
#include "tst_webcamcli.moc"
