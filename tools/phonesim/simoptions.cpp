#include "simoptions.h"

#include "clientinfo.h"

#include <QCommandLineParser>
#include <QRegularExpression>

#include <limits>
#include <string>

namespace {

// Ends the parse with a usage error.
struct Refusal
{
    QString message;
};

[[noreturn]] void refuse(const QString &message)
{
    throw Refusal{message};
}

constexpr qint64 intMax = std::numeric_limits<int>::max();

void addOptions(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QStringLiteral(
        "Simulates the phone's camera server for Lumo Webcam Client: answers the version and\n"
        "resolution handshake, then streams length-prefixed JPEG frames over TCP, a serial line or\n"
        "Bluetooth. Prints \"Listening on ADDR:PORT\" (the pseudo-terminal's path with --serial,\n"
        "\"RFCOMM channel N\" with --bluetooth) on standard output once it accepts connections."));
    parser.addHelpOption();
    const auto option = [&parser](const char *name, const char *description, const char *valueName = nullptr,
                                  const char *defaultValue = nullptr) {
        QCommandLineOption o(QString::fromLatin1(name), QString::fromLatin1(description));
        if (valueName)
            o.setValueName(QString::fromLatin1(valueName));
        if (defaultValue)
            o.setDefaultValue(QString::fromLatin1(defaultValue));
        parser.addOption(o);
    };
    option("listen", "Address to listen on (default 127.0.0.1).", "ADDR", "127.0.0.1");
    option("port", "TCP port (default 8123; 0 picks a free one).", "N", "8123");
    option("serial", "Serve on a new pseudo-terminal instead of TCP, as over a serial port, and print "
                     "\"Listening on /dev/pts/N\" with its path. A connection ends when the client closes "
                     "the path; when the simulator ends one (--close-after, garbage) it hangs the line up and "
                     "serves the next client on a new pseudo-terminal, printing its path again.");
    option("bluetooth", "Serve as a Bluetooth phone instead of over TCP: listen on an RFCOMM channel of the local "
                        "adapters and register the service record \"Bluetooth Camera Server\" for it with BlueZ "
                        "(bluetoothd over the system bus), so that a client paired with this machine finds it "
                        "as it finds a phone's.");
    option("channel", "RFCOMM channel for --bluetooth, 1-30 (default: the first free one).", "N");
    option("once", "Exit when the first connection ends.");
    // By default the server is of the client's own version.
    const std::string version = ClientInfo::versionText();
    const std::string versionHelp = "Server version in the version reply (default " + version + ").";
    option("version", versionHelp.c_str(), "MAJ.MIN", version.c_str());
    option("third-byte", "Third byte of the version reply (default 0).", "N", "0");
    option("command3", "Value byte of the command-3 reply (default 0).", "N", "0");
    option("size", "Frame size announced in the resolution reply (default 640x480).", "WxH", "640x480");
    option("status", "Status byte of the resolution reply (default 1); other values send no frames.", "N", "1");
    option("fps", "Frames per second (default 30; 0 = as fast as the client reads).", "F", "30");
    option("quality", "JPEG quality of generated frames, 1-100 (default 85).", "Q", "85");
    option("folder", "Stream the *.jpg/*.jpeg files of DIR in name order, in a loop, instead of the "
                     "generated picture. --size must match them.", "DIR");
    option("write-frames", "Write --count generated frames at --size as DIR/frame-00000.jpg ... and exit.",
           "DIR");
    option("count", "Number of frames for --write-frames.", "N");
    option("close-after", "Close the connection after N frames.", "N");
    option("silent-after", "Stop sending after N frames but keep the connection open.", "N");
    option("chunk", "Send each frame (length prefix and JPEG) in pieces of BYTES.", "BYTES");
    option("chunk-pause", "Pause between the pieces of --chunk (default 0).", "MS", "0");
    option("length-prefix", "Send V (32-bit signed) as the first frame's length prefix, followed by that "
                            "frame's real JPEG bytes; later frames are normal.", "V");
    option("wrong-size", "Generate frames of WxH while announcing --size.", "WxH");
    option("surplus", "Append N bytes 0xEE to the version and resolution reply payloads, counted in "
                      "their lengths.", "N", "0");
    option("claim-surplus", "Count N more payload bytes in the version reply than are sent.", "N", "0");
    option("exit-on-eof", "Exit as soon as standard input ends, e.g. when the program that started the "
                          "simulator with a pipe as its input has gone.");
}

qint64 integer(const QCommandLineParser &parser, const QString &name, qint64 low, qint64 high)
{
    bool ok = false;
    const qint64 value = parser.value(name).toLongLong(&ok);
    if (!ok || value < low || value > high)
        refuse(QStringLiteral("--%1 wants a whole number from %2 to %3, not \"%4\"")
                   .arg(name).arg(low).arg(high).arg(parser.value(name)));
    return value;
}

SimOptions::Size size(const QCommandLineParser &parser, const QString &name)
{
    static const QRegularExpression pattern(QStringLiteral("^(\\d{1,5})x(\\d{1,5})$"));
    const auto match = pattern.match(parser.value(name));
    const SimOptions::Size size{match.captured(1).toInt(), match.captured(2).toInt()};
    if (!match.hasMatch() || size.width < 1 || size.height < 1 || size.width > 65535 || size.height > 65535)
        refuse(QStringLiteral("--%1 wants WIDTHxHEIGHT, each 1 to 65535, not \"%2\"").arg(name, parser.value(name)));
    return size;
}

QHostAddress listenAddress(const QString &text)
{
    if (text == QLatin1String("localhost"))
        return QHostAddress(QHostAddress::LocalHost);
    QHostAddress address;
    if (!address.setAddress(text))
        refuse(QStringLiteral("--listen wants an IP address, not \"%1\"").arg(text));
    return address;
}

void readSession(const QCommandLineParser &parser, SessionConfig &config)
{
    static const QRegularExpression versionPattern(QStringLiteral("^(\\d{1,3})\\.(\\d{1,3})$"));
    const auto version = versionPattern.match(parser.value(QStringLiteral("version")));
    config.versionMajor = version.captured(1).toInt();
    config.versionMinor = version.captured(2).toInt();
    if (!version.hasMatch() || config.versionMajor > 255 || config.versionMinor > 255)
        refuse(QStringLiteral("--version wants MAJOR.MINOR, each 0 to 255"));
    config.thirdByte = int(integer(parser, QStringLiteral("third-byte"), 0, 255));
    config.command3Value = int(integer(parser, QStringLiteral("command3"), 0, 255));
    config.status = int(integer(parser, QStringLiteral("status"), 0, 255));

    bool fpsOk = false;
    config.fps = parser.value(QStringLiteral("fps")).toDouble(&fpsOk);
    if (!fpsOk || !(config.fps >= 0.0 && config.fps <= 10000.0))
        refuse(QStringLiteral("--fps wants a number from 0 to 10000"));

    if (parser.isSet(QStringLiteral("close-after")))
        config.closeAfter = int(integer(parser, QStringLiteral("close-after"), 0, intMax));
    if (parser.isSet(QStringLiteral("silent-after")))
        config.silentAfter = int(integer(parser, QStringLiteral("silent-after"), 0, intMax));
    if (parser.isSet(QStringLiteral("chunk")))
        config.chunkBytes = int(integer(parser, QStringLiteral("chunk"), 1, intMax));
    config.chunkPauseMs = int(integer(parser, QStringLiteral("chunk-pause"), 0, 600'000));
    if (parser.isSet(QStringLiteral("length-prefix"))) {
        config.overrideFirstLength = true;
        config.firstLength =
            qint32(integer(parser, QStringLiteral("length-prefix"), std::numeric_limits<qint32>::min(), intMax));
    }
    config.surplus = int(integer(parser, QStringLiteral("surplus"), 0, 1 << 20));
    config.claimSurplus = int(integer(parser, QStringLiteral("claim-surplus"), 0, intMax - 3 - config.surplus));
}

// Where to serve: TCP, a serial line or Bluetooth, with the options that go with each.
void readPlace(const QCommandLineParser &parser, SimOptions &options)
{
    const bool serial = parser.isSet(QStringLiteral("serial"));
    const bool bluetooth = parser.isSet(QStringLiteral("bluetooth"));
    const bool tcpOptions = parser.isSet(QStringLiteral("listen")) || parser.isSet(QStringLiteral("port"));
    if (serial && (bluetooth || tcpOptions))
        refuse(QStringLiteral("--serial takes neither --bluetooth, --listen nor --port"));
    if (bluetooth && tcpOptions)
        refuse(QStringLiteral("--bluetooth takes neither --listen nor --port"));
    if (parser.isSet(QStringLiteral("channel")) && !bluetooth)
        refuse(QStringLiteral("--channel goes with --bluetooth"));
    options.mode = serial ? SimOptions::Mode::Serial : bluetooth ? SimOptions::Mode::Bluetooth : SimOptions::Mode::Tcp;
    if (bluetooth && parser.isSet(QStringLiteral("channel")))
        options.channel = int(integer(parser, QStringLiteral("channel"), 1, 30));
    options.listenAddress = listenAddress(parser.value(QStringLiteral("listen")));
    options.port = quint16(integer(parser, QStringLiteral("port"), 0, 65535));
}

SimOptions read(const QCommandLineParser &parser)
{
    if (!parser.positionalArguments().isEmpty())
        refuse(QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first()));
    SimOptions options;
    options.exitOnEof = parser.isSet(QStringLiteral("exit-on-eof"));
    const SimOptions::Size announced = size(parser, QStringLiteral("size"));
    options.session.width = announced.width;
    options.session.height = announced.height;
    options.generatedSize = announced;
    options.quality = int(integer(parser, QStringLiteral("quality"), 1, 100));

    if (parser.isSet(QStringLiteral("write-frames"))) {
        if (!parser.isSet(QStringLiteral("count")))
            refuse(QStringLiteral("--write-frames needs --count"));
        options.mode = SimOptions::Mode::WriteFrames;
        options.writeFrameCount = int(integer(parser, QStringLiteral("count"), 1, 1'000'000));
        options.writeFramesTo = parser.value(QStringLiteral("write-frames"));
        return options;
    }

    readSession(parser, options.session);
    readPlace(parser, options);
    options.once = parser.isSet(QStringLiteral("once"));
    if (parser.isSet(QStringLiteral("folder")))
        options.folder = parser.value(QStringLiteral("folder"));
    else if (parser.isSet(QStringLiteral("wrong-size")))
        options.generatedSize = size(parser, QStringLiteral("wrong-size"));
    return options;
}

} // namespace

std::variant<SimOptions, SimHelp, SimUsageError> parseSimOptions(const QStringList &arguments)
{
    QCommandLineParser parser;
    addOptions(parser);
    if (!parser.parse(arguments))
        return SimUsageError{parser.errorText() + QStringLiteral("\nTry --help.")};
    if (parser.isSet(QStringLiteral("help")))
        return SimHelp{parser.helpText()};
    try {
        return read(parser);
    } catch (const Refusal &refusal) {
        return SimUsageError{refusal.message};
    }
}
