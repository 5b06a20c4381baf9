// lumo-webcam-cli: one connection to the phone's camera server from the command line, feeding the
// virtual camera, for servers, scripts and users who want no window.
//
// Standard output: "Connected", then "Disconnected" (exit 0) or "Aborted." (exit 2). A failed handshake
// prints "Error:" and the main window's message on standard error (exit 1); bad arguments print the
// usage there (exit 64). Every line is flushed as it is printed, so a script can watch for it.

#include "clientinfo.h"
#include "connectionerror.h"
#include "connectionlistener.h"
#include "signalwatcher.h"
#include "webcamcontroller.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>
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

struct Options
{
    QString host;
    int port = ClientInfo::kServerPort;
    bool hflip = false;
    bool vflip = false;
    int turns = 0;
    long long frames = 0;
};

// The parsed options, or nothing when the arguments are wrong (the reason is in error).
std::optional<Options> parse(QCommandLineParser &parser, const QStringList &arguments, QString &error)
{
    const QCommandLineOption wifi(QStringLiteral("wifi"), QStringLiteral("Connect over WiFi to the phone at HOST."),
                                  QStringLiteral("HOST"));
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("The camera server's TCP port (default %1).").arg(ClientInfo::kServerPort),
                                  QStringLiteral("N"));
    const QCommandLineOption hflip(QStringLiteral("hflip"), QStringLiteral("Mirror the picture left-right."));
    const QCommandLineOption vflip(QStringLiteral("vflip"), QStringLiteral("Mirror the picture top-bottom."));
    const QCommandLineOption rotate(QStringLiteral("rotate"),
                                    QStringLiteral("Turn the picture clockwise by 0, 90, 180 or 270 degrees."),
                                    QStringLiteral("DEGREES"));
    const QCommandLineOption frames(QStringLiteral("frames"), QStringLiteral("Disconnect after N frames."),
                                    QStringLiteral("N"));
    parser.setApplicationDescription(
        QStringLiteral("Streams an Android phone's camera into the virtual camera (v4l2loopback).\n"
                       "The device is LUMO_VIRTUAL_CAMERA if set (a device, or a file or FIFO that receives raw "
                       "YUYV frames), otherwise the loopback device labelled \"Lumo Webcam\"."));
    parser.addOptions({wifi, port, hflip, vflip, rotate, frames});
    parser.addHelpOption();

    if (!parser.parse(arguments)) {
        error = parser.errorText();
        return std::nullopt;
    }
    if (parser.isSet(QStringLiteral("help")))
        return Options{};
    if (!parser.positionalArguments().isEmpty()) {
        error = QStringLiteral("Unexpected argument: %1").arg(parser.positionalArguments().constFirst());
        return std::nullopt;
    }

    Options o;
    o.host = parser.value(wifi);
    if (!parser.isSet(wifi) || o.host.isEmpty()) {
        error = QStringLiteral("Choose a transport: --wifi HOST.");
        return std::nullopt;
    }
    bool ok = true;
    if (parser.isSet(port)) {
        o.port = parser.value(port).toInt(&ok);
        if (!ok || o.port < 1 || o.port > 65535) {
            error = QStringLiteral("--port takes a number from 1 to 65535.");
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
    return o;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("lumo-webcam-cli"));

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

    CliListener listener;
    WebcamController controller(&listener);
    controller.setFlipHorizontal(options->hflip);
    controller.setFlipVertical(options->vflip);
    controller.setRotation(options->turns);
    controller.setFrameLimit(options->frames);

    // The first signal ends the connection after the current frame, as a disconnect; a second one
    // ends the program at once (the controller's destructor breaks off whatever the thread waits for).
    SignalWatcher watcher;
    int signalsSeen = 0;
    QObject::connect(&watcher, &SignalWatcher::terminationRequested, &app, [&] {
        if (++signalsSeen == 1)
            controller.stop();
        else
            QCoreApplication::exit(Interrupted);
    });

    controller.startWifi(options->host, options->port);
    return app.exec();
}
