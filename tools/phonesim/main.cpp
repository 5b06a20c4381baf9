// lumo-phone-sim: a stand-in for the phone's camera server, so the client can be run, tested and
// measured without a phone. See --help for the options (simoptions.cpp).

#include "phonesession.h"
#include "rfcommservice.h"
#include "serialline.h"
#include "seriallinechannel.h"
#include "simoptions.h"
#include "testpattern.h"

#include "btdevicestream.h"
#include "clientinfo.h"
#include "jpegencoder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

namespace {

[[noreturn]] void fail(const QString &message, int code = 2)
{
    std::fprintf(stderr, "lumo-phone-sim: %s\n", qPrintable(message));
    std::exit(code);
}

void note(const QString &message)
{
    std::fprintf(stderr, "%s\n", qPrintable(message));
}

QByteArray encodePatternFrame(SimOptions::Size size, int frame, int quality)
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

QList<QByteArray> encodePatternLoop(SimOptions::Size size, int quality)
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

int writeFrames(const QString &path, int count, SimOptions::Size size, int quality)
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

    const auto parsed = parseSimOptions(QCoreApplication::arguments());
    if (const auto *help = std::get_if<SimHelp>(&parsed)) {
        std::fputs(qPrintable(help->text), stdout);
        return 0;
    }
    if (const auto *error = std::get_if<SimUsageError>(&parsed))
        fail(error->message);
    const SimOptions &options = std::get<SimOptions>(parsed);

    if (options.exitOnEof) {
        // A test that dies leaves no orphan behind: its end of the pipe closes with it.
        std::thread([] {
            while (std::getchar() != EOF) {
            }
            std::_Exit(0); // stdout holds nothing unflushed: the one line it gets is flushed at once
        }).detach();
    }
    if (options.mode == SimOptions::Mode::WriteFrames)
        return writeFrames(options.writeFramesTo, options.writeFrameCount, options.generatedSize, options.quality);

    const QList<QByteArray> frames = options.folder.isEmpty()
                                         ? encodePatternLoop(options.generatedSize, options.quality)
                                         : loadFolder(options.folder);
    switch (options.mode) {
    case SimOptions::Mode::Serial:
        return serveSerial(options.session, frames, options.once);
    case SimOptions::Mode::Bluetooth:
        return serveBluetooth(options.channel, options.session, frames, options.once);
    default:
        return serveTcp(options.listenAddress, options.port, options.session, frames, options.once);
    }
}
