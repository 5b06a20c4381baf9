// lumo-phone-sim: a stand-in for the phone's camera server, so the client can be run, tested and
// measured without a phone. See --help for the options.

#include "phonesession.h"
#include "pseudoterminal.h"
#include "rfcommservice.h"
#include "testpattern.h"

#include "btdevicestream.h"
#include "clientinfo.h"
#include "jpegencoder.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>

#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>
#include <thread>

namespace {

struct Size
{
    int width = 0;
    int height = 0;
};

[[noreturn]] void fail(const QString &message, int code = 2)
{
    std::fprintf(stderr, "lumo-phone-sim: %s\n", qPrintable(message));
    std::exit(code);
}

void note(const QString &message)
{
    std::fprintf(stderr, "%s\n", qPrintable(message));
}

qint64 parseInteger(const QCommandLineParser &parser, const QString &name, qint64 low, qint64 high)
{
    bool ok = false;
    const qint64 value = parser.value(name).toLongLong(&ok);
    if (!ok || value < low || value > high)
        fail(QStringLiteral("--%1 wants a whole number from %2 to %3, not \"%4\"")
                 .arg(name).arg(low).arg(high).arg(parser.value(name)));
    return value;
}

Size parseSize(const QCommandLineParser &parser, const QString &name)
{
    static const QRegularExpression pattern(QStringLiteral("^(\\d{1,5})x(\\d{1,5})$"));
    const auto match = pattern.match(parser.value(name));
    const Size size{match.captured(1).toInt(), match.captured(2).toInt()};
    if (!match.hasMatch() || size.width < 1 || size.height < 1 || size.width > 65535 || size.height > 65535)
        fail(QStringLiteral("--%1 wants WIDTHxHEIGHT, each 1 to 65535, not \"%2\"").arg(name, parser.value(name)));
    return size;
}

QByteArray encodePatternFrame(Size size, int frame, int quality)
{
    // The pre-encoded loop lives in memory: nothing larger than the client takes.
    if (qint64(size.width) * size.height > ClientInfo::kMaxFramePixels)
        fail(QStringLiteral("%1x%2 is too large to generate").arg(size.width).arg(size.height));
    const std::vector<unsigned char> pixels = renderTestPattern(size.width, size.height, frame);
    const std::vector<unsigned char> jpeg = encodeJpeg(pixels.data(), size.width, size.height, quality);
    if (jpeg.empty())
        fail(QStringLiteral("could not encode a %1x%2 frame").arg(size.width).arg(size.height), 1);
    return QByteArray(reinterpret_cast<const char *>(jpeg.data()), qsizetype(jpeg.size()));
}

QList<QByteArray> encodePatternLoop(Size size, int quality)
{
    QList<QByteArray> frames;
    qint64 bytes = 0;
    for (int i = 0; i < testPatternPeriod; ++i) {
        frames.append(encodePatternFrame(size, i, quality));
        bytes += frames.last().size();
    }
    note(QStringLiteral("Generated %1 frames of %2x%3, %4 KB each on average")
             .arg(frames.size()).arg(size.width).arg(size.height).arg(bytes / frames.size() / 1024));
    return frames;
}

QList<QByteArray> loadFolder(const QString &path)
{
    const QDir dir(path);
    if (!dir.exists())
        fail(QStringLiteral("no folder %1").arg(path));
    QList<QByteArray> frames;
    const QStringList names = dir.entryList({QStringLiteral("*.jpg"), QStringLiteral("*.jpeg")},
                                            QDir::Files | QDir::Readable, QDir::Name);
    for (const QString &name : names) {
        QFile file(dir.filePath(name));
        if (!file.open(QIODevice::ReadOnly))
            fail(QStringLiteral("cannot read %1: %2").arg(file.fileName(), file.errorString()), 1);
        frames.append(file.readAll());
    }
    if (frames.isEmpty())
        fail(QStringLiteral("no *.jpg or *.jpeg files in %1").arg(path));
    note(QStringLiteral("Streaming %1 files from %2").arg(frames.size()).arg(dir.absolutePath()));
    return frames;
}

int writeFrames(const QString &path, int count, Size size, int quality)
{
    if (!QDir().mkpath(path))
        fail(QStringLiteral("cannot create folder %1").arg(path), 1);
    const QDir dir(path);
    for (int i = 0; i < count; ++i) {
        QFile file(dir.filePath(QStringLiteral("frame-%1.jpg").arg(i, 5, 10, QLatin1Char('0'))));
        const QByteArray jpeg = encodePatternFrame(size, i, quality);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(jpeg) != jpeg.size())
            fail(QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString()), 1);
    }
    return 0;
}

QHostAddress parseListenAddress(const QString &text)
{
    if (text == QLatin1String("localhost"))
        return QHostAddress(QHostAddress::LocalHost);
    QHostAddress address;
    if (!address.setAddress(text))
        fail(QStringLiteral("--listen wants an IP address, not \"%1\"").arg(text));
    return address;
}

// Serves one connection to its end and reports it on standard error.
PhoneSession::Outcome serveConnection(QIODevice &channel, const QString &peer, const SessionConfig &config,
                                      const QList<QByteArray> &frames)
{
    note(QStringLiteral("Connection from %1").arg(peer));
    PhoneSession session(config, frames);
    const PhoneSession::Outcome outcome = session.serve(channel);
    QString how = PhoneSession::describe(outcome);
    if (outcome == PhoneSession::Outcome::Garbage)
        how += QStringLiteral(" (%1)").arg(session.garbageReason());
    note(QStringLiteral("Connection from %1 ended after %2 frames: %3").arg(peer).arg(session.framesSent()).arg(how));
    return outcome;
}

void announce(const QString &where)
{
    std::printf("Listening on %s\n", qPrintable(where));
    std::fflush(stdout);
}

// One connection at a time, served to its end on this thread with blocking calls; a second client
// waits in the listen backlog meanwhile. nextClient(peer) blocks until the next connection is there.
template<typename NextClient>
int serveClients(NextClient nextClient, const SessionConfig &config, const QList<QByteArray> &frames, bool once)
{
    for (;;) {
        QString peer;
        const std::unique_ptr<QIODevice> client = nextClient(peer);
        if (!client)
            continue;
        serveConnection(*client, peer, config, frames);
        if (once)
            return 0;
    }
}

int serveTcp(const QHostAddress &address, quint16 port, const SessionConfig &config, const QList<QByteArray> &frames,
             bool once)
{
    QTcpServer server;
    if (!server.listen(address, port))
        fail(QStringLiteral("cannot listen on %1:%2: %3").arg(address.toString()).arg(port).arg(server.errorString()),
             1);
    announce(QStringLiteral("%1:%2").arg(server.serverAddress().toString()).arg(server.serverPort()));
    const auto nextClient = [&server](QString &peer) {
        if (!server.waitForNewConnection(-1))
            fail(QStringLiteral("accepting failed: %1").arg(server.errorString()), 1);
        std::unique_ptr<QTcpSocket> socket(server.nextPendingConnection());
        if (socket)
            peer = QStringLiteral("%1:%2").arg(socket->peerAddress().toString()).arg(socket->peerPort());
        return socket;
    };
    return serveClients(nextClient, config, frames, once);
}

// As a phone: the camera service on an RFCOMM channel of the local adapters, found by its name.
int serveBluetooth(int channel, const SessionConfig &config, const QList<QByteArray> &frames, bool once)
{
    RfcommService service(QString::fromLatin1(BtDeviceStream::kServiceName), channel);
    if (!service.isOpen())
        fail(service.errorString(), 1);
    announce(QStringLiteral("RFCOMM channel %1").arg(service.channel()));
    const auto nextClient = [&service](QString &peer) {
        std::unique_ptr<QIODevice> client = service.nextClient(peer);
        if (!client)
            fail(service.errorString(), 1);
        return client;
    };
    return serveClients(nextClient, config, frames, once);
}

// A serial line has no connection of its own to close: when the simulator ends one, it hangs the
// line up, which takes the pseudo-terminal with it, and serves the next client on a new one.
int serveSerial(const SessionConfig &config, const QList<QByteArray> &frames, bool once)
{
    // How long a line closed as asked stays up for the client to read the frames sent before.
    constexpr int lingerMs = 10000;
    for (;;) {
        SerialLine line;
        if (!line.isOpen())
            fail(QStringLiteral("cannot set up a pseudo-terminal: %1").arg(line.errorString()), 1);
        announce(line.path());
        for (;;) {
            if (!line.waitForClient(-1))
                fail(QStringLiteral("waiting for a client on %1 failed").arg(line.path()), 1);
            SerialLineChannel channel(line);
            const PhoneSession::Outcome outcome = serveConnection(channel, line.path(), config, frames);
            if (outcome == PhoneSession::Outcome::ClosedByPlan)
                line.waitUntilRead(lingerMs);
            if (once)
                return 0;
            if (outcome != PhoneSession::Outcome::PeerClosed)
                break;
            line.discardUnread();
        }
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("lumo-phone-sim"));

    QCommandLineParser parser;
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
    const std::string clientVersion = ClientInfo::versionText();
    const std::string versionHelp = "Server version in the version reply (default " + clientVersion + ").";
    option("version", versionHelp.c_str(), "MAJ.MIN", clientVersion.c_str());
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

    if (!parser.parse(QCoreApplication::arguments()))
        fail(parser.errorText() + QStringLiteral("\nTry --help."));
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (!parser.positionalArguments().isEmpty())
        fail(QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first()));

    if (parser.isSet(QStringLiteral("exit-on-eof"))) {
        // A test that dies leaves no orphan behind: its end of the pipe closes with it.
        std::thread([] {
            while (std::getchar() != EOF) {
            }
            std::_Exit(0); // stdout holds nothing unflushed: the one line it gets is flushed at once
        }).detach();
    }

    constexpr qint64 intMax = std::numeric_limits<int>::max();
    SessionConfig config;
    const Size size = parseSize(parser, QStringLiteral("size"));
    config.width = size.width;
    config.height = size.height;
    const int quality = int(parseInteger(parser, QStringLiteral("quality"), 1, 100));

    if (parser.isSet(QStringLiteral("write-frames"))) {
        if (!parser.isSet(QStringLiteral("count")))
            fail(QStringLiteral("--write-frames needs --count"));
        const int count = int(parseInteger(parser, QStringLiteral("count"), 1, 1'000'000));
        return writeFrames(parser.value(QStringLiteral("write-frames")), count, size, quality);
    }

    static const QRegularExpression versionPattern(QStringLiteral("^(\\d{1,3})\\.(\\d{1,3})$"));
    const auto version = versionPattern.match(parser.value(QStringLiteral("version")));
    config.versionMajor = version.captured(1).toInt();
    config.versionMinor = version.captured(2).toInt();
    if (!version.hasMatch() || config.versionMajor > 255 || config.versionMinor > 255)
        fail(QStringLiteral("--version wants MAJOR.MINOR, each 0 to 255"));
    config.thirdByte = int(parseInteger(parser, QStringLiteral("third-byte"), 0, 255));
    config.command3Value = int(parseInteger(parser, QStringLiteral("command3"), 0, 255));
    config.status = int(parseInteger(parser, QStringLiteral("status"), 0, 255));

    bool fpsOk = false;
    config.fps = parser.value(QStringLiteral("fps")).toDouble(&fpsOk);
    if (!fpsOk || !(config.fps >= 0.0 && config.fps <= 10000.0))
        fail(QStringLiteral("--fps wants a number from 0 to 10000"));

    if (parser.isSet(QStringLiteral("close-after")))
        config.closeAfter = int(parseInteger(parser, QStringLiteral("close-after"), 0, intMax));
    if (parser.isSet(QStringLiteral("silent-after")))
        config.silentAfter = int(parseInteger(parser, QStringLiteral("silent-after"), 0, intMax));
    if (parser.isSet(QStringLiteral("chunk")))
        config.chunkBytes = int(parseInteger(parser, QStringLiteral("chunk"), 1, intMax));
    config.chunkPauseMs = int(parseInteger(parser, QStringLiteral("chunk-pause"), 0, 600'000));
    if (parser.isSet(QStringLiteral("length-prefix"))) {
        config.overrideFirstLength = true;
        config.firstLength = qint32(parseInteger(parser, QStringLiteral("length-prefix"),
                                                 std::numeric_limits<qint32>::min(), intMax));
    }
    config.surplus = int(parseInteger(parser, QStringLiteral("surplus"), 0, 1 << 20));
    config.claimSurplus = int(parseInteger(parser, QStringLiteral("claim-surplus"), 0, intMax - 3 - config.surplus));

    const bool serial = parser.isSet(QStringLiteral("serial"));
    const bool bluetooth = parser.isSet(QStringLiteral("bluetooth"));
    const bool tcpOptions = parser.isSet(QStringLiteral("listen")) || parser.isSet(QStringLiteral("port"));
    if (serial && (bluetooth || tcpOptions))
        fail(QStringLiteral("--serial takes neither --bluetooth, --listen nor --port"));
    if (bluetooth && tcpOptions)
        fail(QStringLiteral("--bluetooth takes neither --listen nor --port"));
    if (parser.isSet(QStringLiteral("channel")) && !bluetooth)
        fail(QStringLiteral("--channel goes with --bluetooth"));
    const int channel = bluetooth && parser.isSet(QStringLiteral("channel"))
                            ? int(parseInteger(parser, QStringLiteral("channel"), 1, 30))
                            : 0;
    const QHostAddress address = parseListenAddress(parser.value(QStringLiteral("listen")));
    const auto port = quint16(parseInteger(parser, QStringLiteral("port"), 0, 65535));

    const QList<QByteArray> frames =
        parser.isSet(QStringLiteral("folder"))
            ? loadFolder(parser.value(QStringLiteral("folder")))
            : encodePatternLoop(parser.isSet(QStringLiteral("wrong-size")) ? parseSize(parser, QStringLiteral("wrong-size"))
                                                                            : size,
                                quality);

    const bool once = parser.isSet(QStringLiteral("once"));
    if (serial)
        return serveSerial(config, frames, once);
    if (bluetooth)
        return serveBluetooth(channel, config, frames, once);
    return serveTcp(address, port, config, frames, once);
}
