#include "clioptions.h"

#include "serveraddress.h"

#include <QCommandLineParser>

#include <utility>

namespace CliOptions {

// The parsed options, or nothing when the arguments are wrong (the reason is in error).
std::optional<Options> parse(QCommandLineParser &parser, const QStringList &arguments, QString &error)
{
    const QCommandLineOption wifi(QStringLiteral("wifi"),
                                  QStringLiteral("Connect over WiFi to the phone at HOST, or at HOST:PORT."),
                                  QStringLiteral("HOST[:PORT]"));
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
    const QCommandLineOption reconnect(QStringLiteral("reconnect"),
                                       QStringLiteral("Connect again when the connection breaks off, after 1, 2, 4, "
                                                      "8, 15, then every 30 seconds."));
    const QCommandLineOption keepCamera(QStringLiteral("keep-camera"),
                                        QStringLiteral("Open the virtual camera at once and show \"Waiting for "
                                                       "the phone\" in it until the phone's pictures come."));
    parser.setApplicationDescription(
        QStringLiteral("Streams an Android phone's camera into the virtual camera (v4l2loopback).\n"
                       "The device is LUMO_VIRTUAL_CAMERA if set (a device, or a file or FIFO that receives raw "
                       "YUYV frames), otherwise the loopback device labelled \"Lumo Webcam\"."));
    parser.addOptions(
        {wifi, usb, serial, serialPath, bluetooth, listBluetooth, port, hflip, vflip, rotate, frames, reconnect,
         keepCamera});
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
    bool portInAddress = false;
    switch (o.transport) {
    case Transport::None:
        error = QStringLiteral("Choose a transport: --wifi HOST, --usb, --serial N or --bluetooth ADDRESS.");
        return std::nullopt;
    case Transport::Wifi:
        if (parser.value(wifi).isEmpty()) {
            error = QStringLiteral("--wifi takes the phone's address.");
            return std::nullopt;
        }
        if (const auto address = ServerAddress::parse(parser.value(wifi), ClientInfo::kServerPort, &error)) {
            o.host = address->host;
            o.port = address->port;
            portInAddress = parser.value(wifi).contains(QLatin1Char(':'));
        } else {
            error = QStringLiteral("--wifi: ") + error;
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
        if (portInAddress) {
            error = QStringLiteral("Give the port once: in --wifi HOST:PORT or with --port.");
            return std::nullopt;
        }
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
    o.reconnect = parser.isSet(reconnect);
    if (o.reconnect && o.transport == Transport::ListBluetooth) {
        error = QStringLiteral("--reconnect goes with a transport.");
        return std::nullopt;
    }
    o.keepCamera = parser.isSet(keepCamera);
    o.hflip = parser.isSet(hflip);
    o.vflip = parser.isSet(vflip);
    return o;
}

} // namespace CliOptions
