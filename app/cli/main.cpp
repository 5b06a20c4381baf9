// lumo-webcam-cli: one connection to the phone's camera server from the command line, feeding the
// virtual camera, for servers, scripts and users who want no window.
//
// Standard output: "Connected", then "Disconnected" (exit 0) or "Aborted." (exit 2). A failed handshake
// prints "Error:" and the main window's message on standard error (exit 1), as does a Bluetooth address
// that no paired device has; bad arguments print the usage there (exit 64). --list-bluetooth prints the
// paired Bluetooth devices, one per line, as the transport dialog labels them; --version prints
// "lumo-webcam-cli 2.19". Every line is flushed as it is printed, so a script can watch for it.
// --keep-camera opens the virtual camera at once, with its "Waiting for the phone" card at the size of
// the last connection (kept in the desktop program's settings), until the phone's pictures come.

#include "appsettings.h"
#include "bluetoothlibrary.h"
#include "cameracard.h"
#include "clientinfo.h"
#include "connectionerror.h"
#include "connectionlistener.h"
#include "signalwatcher.h"
#include "virtualcameraholder.h"
#include "webcamcontroller.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <memory>
#include <optional>

namespace {

enum ExitCode { Ok = 0, HandshakeFailed = 1, Aborted = 2, Interrupted = 130, Usage = 64 };

void printLine(std::FILE *to, const QString &line)
{
    std::fputs(qPrintable(line + QLatin1Char('\n')), to);
    std::fflush(to);
}

// Hands the capture thread's reports to the main thread, where they print and end the program.
class CliListener : public ConnectionListener
{
public:
    void onConnected() override { post([] { printLine(stdout, QStringLiteral("Connected")); }); }
    void onConnectError(int code, int param1, int param2) override
    {
        post([=] {
            printLine(stderr, QStringLiteral("Error:\n") + ConnectionError::message(code, param1, param2));
            QCoreApplication::exit(HandshakeFailed);
        });
    }
    void onAborted() override
    {
        post([] {
            printLine(stdout, QStringLiteral("Aborted."));
            QCoreApplication::exit(Aborted);
        });
    }
    void onDisconnected() override
    {
        post([] {
            printLine(stdout, QStringLiteral("Disconnected"));
            QCoreApplication::exit(Ok);
        });
    }

private:
    template<typename F>
    static void post(F &&f)
    {
        QMetaObject::invokeMethod(QCoreApplication::instance(), std::forward<F>(f), Qt::QueuedConnection);
    }
};

enum class Transport { None, Serial, Bluetooth, Usb, Wifi, ListBluetooth };

struct Options
{
    Transport transport = Transport::None;
    QString host;
    int port = ClientInfo::kServerPort;
    int serialPort = 0;
    QString serialPath = QString::fromLatin1(SerialPort::kDefaultPathTemplate);
    BtDeviceInfo bluetoothAddress{};
    bool hflip = false;
    bool vflip = false;
    int turns = 0;
    long long frames = 0;
    bool keepCamera = false;
};

// The parsed options, or nothing when the arguments are wrong (the reason is in error).
std::optional<Options> parse(QCommandLineParser &parser, const QStringList &arguments, QString &error)
{
    const QCommandLineOption wifi(QStringLiteral("wifi"), QStringLiteral("Connect over WiFi to the phone at HOST."),
                                  QStringLiteral("HOST"));
    const QCommandLineOption usb(QStringLiteral("usb"),
                                 QStringLiteral("Connect over USB, through an adb forward (./adb, else adb on PATH)."));
    const QCommandLineOption serial(QStringLiteral("serial"), QStringLiteral("Connect over serial port N."),
                                    QStringLiteral("N"));
    const QCommandLineOption serialPath(
        QStringLiteral("serial-path"),
        QStringLiteral("The serial ports' device path, %d standing for N (default %1).")
            .arg(QString::fromLatin1(SerialPort::kDefaultPathTemplate)),
        QStringLiteral("TEMPLATE"));
    const QCommandLineOption bluetooth(QStringLiteral("bluetooth"),
                                       QStringLiteral("Connect over Bluetooth to the paired phone with ADDRESS "
                                                      "(as --list-bluetooth shows it)."),
                                       QStringLiteral("ADDRESS"));
    const QCommandLineOption listBluetooth(QStringLiteral("list-bluetooth"),
                                           QStringLiteral("List the paired Bluetooth devices and exit."));
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("The camera server's TCP port for --wifi and --usb (default %1).")
                                      .arg(ClientInfo::kServerPort),
                                  QStringLiteral("N"));
    const QCommandLineOption hflip(QStringLiteral("hflip"), QStringLiteral("Mirror the picture left-right."));
    const QCommandLineOption vflip(QStringLiteral("vflip"), QStringLiteral("Mirror the picture top-bottom."));
    const QCommandLineOption rotate(QStringLiteral("rotate"),
                                    QStringLiteral("Turn the picture clockwise by 0, 90, 180 or 270 degrees."),
                                    QStringLiteral("DEGREES"));
    const QCommandLineOption frames(QStringLiteral("frames"), QStringLiteral("Disconnect after N frames."),
                                    QStringLiteral("N"));
    const QCommandLineOption keepCamera(QStringLiteral("keep-camera"),
                                        QStringLiteral("Open the virtual camera at once and show \"Waiting for "
                                                       "the phone\" in it until the phone's pictures come."));
    parser.setApplicationDescription(
        QStringLiteral("Streams an Android phone's camera into the virtual camera (v4l2loopback).\n"
                       "The device is LUMO_VIRTUAL_CAMERA if set (a device, or a file or FIFO that receives raw "
                       "YUYV frames), otherwise the loopback device labelled \"Lumo Webcam\"."));
    parser.addOptions(
        {wifi, usb, serial, serialPath, bluetooth, listBluetooth, port, hflip, vflip, rotate, frames, keepCamera});
    parser.addHelpOption();
    parser.addVersionOption();

    if (!parser.parse(arguments)) {
        error = parser.errorText();
        return std::nullopt;
    }
    if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("version")))
        return Options{};
    if (!parser.positionalArguments().isEmpty()) {
        error = QStringLiteral("Unexpected argument: %1").arg(parser.positionalArguments().constFirst());
        return std::nullopt;
    }

    Options o;
    const std::pair<const QCommandLineOption *, Transport> transports[] = {
        {&wifi, Transport::Wifi},           {&usb, Transport::Usb},
        {&serial, Transport::Serial},       {&bluetooth, Transport::Bluetooth},
        {&listBluetooth, Transport::ListBluetooth},
    };
    for (const auto &[option, transport] : transports) {
        if (!parser.isSet(*option))
            continue;
        if (o.transport != Transport::None) {
            error = QStringLiteral("Choose one transport only.");
            return std::nullopt;
        }
        o.transport = transport;
    }
    bool ok = true;
    switch (o.transport) {
    case Transport::None:
        error = QStringLiteral("Choose a transport: --wifi HOST, --usb, --serial N or --bluetooth ADDRESS.");
        return std::nullopt;
    case Transport::Wifi:
        o.host = parser.value(wifi);
        if (o.host.isEmpty()) {
            error = QStringLiteral("--wifi takes the phone's address.");
            return std::nullopt;
        }
        break;
    case Transport::Serial:
        o.serialPort = parser.value(serial).toInt(&ok);
        if (!ok || o.serialPort < 0) {
            error = QStringLiteral("--serial takes a port number of 0 or more.");
            return std::nullopt;
        }
        break;
    case Transport::Bluetooth:
        if (!parseBtAddress(parser.value(bluetooth), o.bluetoothAddress.address)) {
            error = QStringLiteral("--bluetooth takes an address such as 5a:4b:3c:2d:1e:0f.");
            return std::nullopt;
        }
        break;
    case Transport::Usb:
    case Transport::ListBluetooth:
        break;
    }
    if (parser.isSet(serialPath)) {
        o.serialPath = parser.value(serialPath);
        if (o.transport != Transport::Serial || !o.serialPath.contains(QLatin1String("%d"))) {
            error = QStringLiteral("--serial-path goes with --serial and needs %d for the port number.");
            return std::nullopt;
        }
    }
    if (parser.isSet(port)) {
        o.port = parser.value(port).toInt(&ok);
        if (!ok || o.port < 1 || o.port > 65535 || (o.transport != Transport::Wifi && o.transport != Transport::Usb)) {
            error = QStringLiteral("--port goes with --wifi or --usb and takes a number from 1 to 65535.");
            return std::nullopt;
        }
    }
    if (parser.isSet(rotate)) {
        const int degrees = parser.value(rotate).toInt(&ok);
        if (!ok || degrees < 0 || degrees > 270 || degrees % 90 != 0) {
            error = QStringLiteral("--rotate takes 0, 90, 180 or 270.");
            return std::nullopt;
        }
        o.turns = degrees / 90;
    }
    if (parser.isSet(frames)) {
        o.frames = parser.value(frames).toLongLong(&ok);
        if (!ok || o.frames < 1) {
            error = QStringLiteral("--frames takes a number of at least 1.");
            return std::nullopt;
        }
    }
    o.hflip = parser.isSet(hflip);
    o.vflip = parser.isSet(vflip);
    o.keepCamera = parser.isSet(keepCamera);
    return o;
}

// The listed device with the address in wanted, which is all the record holds so far.
std::optional<BtDeviceInfo> findBluetoothDevice(const BtDeviceInfo &wanted)
{
    for (const BtDeviceInfo &device : btListDevices()) {
        if (std::equal(std::begin(device.address), std::end(device.address), std::begin(wanted.address)))
            return device;
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("lumo-webcam-cli"));
    QCoreApplication::setApplicationVersion(QString::fromStdString(ClientInfo::versionText()));

    QCommandLineParser parser;
    QString error;
    const std::optional<Options> options = parse(parser, QCoreApplication::arguments(), error);
    if (!options) {
        printLine(stderr, error + QLatin1Char('\n'));
        std::fputs(qPrintable(parser.helpText()), stderr);
        return Usage;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return Ok;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        printLine(stdout, QCoreApplication::applicationName() + QLatin1Char(' ') + QCoreApplication::applicationVersion());
        return Ok;
    }

    if (options->transport == Transport::ListBluetooth) {
        const QList<BtDeviceInfo> devices = btListDevices();
        for (const BtDeviceInfo &device : devices)
            printLine(stdout, btDeviceLabel(device));
        if (devices.isEmpty())
            printLine(stderr, QStringLiteral("No paired Bluetooth device is known."));
        return Ok;
    }
    std::optional<BtDeviceInfo> device;
    if (options->transport == Transport::Bluetooth) {
        device = findBluetoothDevice(options->bluetoothAddress);
        if (!device) {
            printLine(stderr, QStringLiteral("Error:\nNo paired Bluetooth device has the address %1.")
                                  .arg(btDeviceAddress(options->bluetoothAddress)));
            return HandshakeFailed;
        }
    }

    // Made before the controller and so destroyed after it, once the capture thread has ended.
    std::unique_ptr<VirtualCameraHolder> cameraHolder;
    if (options->keepCamera) {
        AppSettings::load();
        const QSize size = AppSettings::cameraSize();
        cameraHolder = std::make_unique<VirtualCameraHolder>(cameraCard(), size.width(), size.height());
    }

    CliListener listener;
    FrameCounter counter;
    counter.setLimit(options->frames);
    WebcamController controller(&listener, &counter);
    controller.setFlipHorizontal(options->hflip);
    controller.setFlipVertical(options->vflip);
    controller.setRotation(options->turns);

    // The first signal ends the connection after the current frame, as a disconnect, or breaks off a
    // stalled frame or connect after the controller's stop grace; a second one ends the program at
    // once (the controller's destructor breaks off whatever the thread waits for).
    SignalWatcher watcher;
    int signalsSeen = 0;
    QObject::connect(&watcher, &SignalWatcher::terminationRequested, &app, [&] {
        if (++signalsSeen == 1)
            controller.stop();
        else
            QCoreApplication::exit(Interrupted);
    });

    switch (options->transport) {
    case Transport::Serial:
        controller.startSerial(options->serialPort, options->serialPath.toStdString());
        break;
    case Transport::Bluetooth:
        controller.startBluetooth(*device);
        break;
    case Transport::Usb:
        controller.startUsb(options->port);
        break;
    case Transport::Wifi:
        controller.startWifi(options->host, options->port);
        break;
    case Transport::None:
    case Transport::ListBluetooth:
        break;
    }
    const int result = app.exec();
    if (cameraHolder) {
        int width = 0;
        int height = 0;
        cameraHolder->lastSize(width, height);
        AppSettings::setCameraSize(QSize(width, height));
    }
    return result;
}
