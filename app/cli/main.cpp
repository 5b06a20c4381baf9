// lumo-webcam-cli: one connection to the phone's camera server from the command line, feeding the
// virtual camera, for servers, scripts and users who want no window.
//
// Standard output: "Connected", then "Disconnected" (exit 0) or "Aborted." (exit 2). A failed handshake
// prints "Error:", the main window's message and the attempt's details on standard error (exit 1), as
// does a Bluetooth address that no paired device has. With --reconnect, an abort is followed by
// "Reconnecting" before each new attempt (a phone not reachable yet is tried again, a handshake that
// fails otherwise ends the program) and "Connected" again on success. Bad arguments print the usage on
// standard error (exit 64). --list-bluetooth prints the paired Bluetooth devices, one per line, as the
// transport dialog labels them; --version prints "lumo-webcam-cli 2.19". Every line is flushed as it is printed, so a script can watch for it.
// --keep-camera opens the virtual camera at once, with its "Waiting for the phone" card at the size of
// the last connection (kept in the desktop program's settings), until the phone's pictures come.

#include "appsettings.h"
#include "bluetoothlibrary.h"
#include "cameracard.h"
#include "clientinfo.h"
#include "clioptions.h"
#include "connectionerror.h"
#include "connectionlistener.h"
#include "reconnectschedule.h"
#include "signalwatcher.h"
#include "virtualcameraholder.h"
#include "webcamcontroller.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
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

// Hands the capture thread's reports to the main thread, where they print and end the program, or,
// with --reconnect, start the next attempt after the schedule's delay.
class CliListener : public ConnectionListener
{
public:
    // reconnect: the start operation to repeat after an abort; empty for none.
    void setReconnect(std::function<bool()> start) { m_start = std::move(start); }

    CliListener()
    {
        m_timer.setSingleShot(true);
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] {
            printLine(stdout, QStringLiteral("Reconnecting"));
            if (!m_start())
                retry();
        });
    }

    void onConnected() override
    {
        post([this] {
            m_attempt = 0;
            printLine(stdout, QStringLiteral("Connected"));
        });
    }
    void onConnectError(int code, int param1, int param2) override { onConnectFailed(code, param1, param2, {}); }
    void onConnectFailed(int code, int param1, int param2, const QString &details) override
    {
        post([=, this] {
            // While reconnecting, a phone that cannot be reached yet is tried again; a server that
            // answers wrongly is not.
            if (m_attempt > 0 && code == ConnectionError::OpenFailed) {
                if (!m_stopped) {
                    retry();
                    return;
                }
                printLine(stdout, QStringLiteral("Disconnected"));
                QCoreApplication::exit(Ok);
                return;
            }
            printLine(stderr, QStringLiteral("Error:\n") + ConnectionError::message(code, param1, param2));
            if (!details.isEmpty())
                printLine(stderr, details);
            QCoreApplication::exit(HandshakeFailed);
        });
    }
    void onAborted() override
    {
        post([this] {
            printLine(stdout, QStringLiteral("Aborted."));
            if (m_start && !m_stopped)
                retry();
            else
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

    // On the main thread: no more attempts; true when one was waiting and so the program may end now.
    bool stopRetrying()
    {
        m_stopped = true;
        const bool waiting = m_timer.isActive();
        m_timer.stop();
        return waiting;
    }

private:
    void retry()
    {
        ++m_attempt;
        m_timer.start(reconnectDelayMs(m_attempt));
    }

    template<typename F>
    static void post(F &&f)
    {
        QMetaObject::invokeMethod(QCoreApplication::instance(), std::forward<F>(f), Qt::QueuedConnection);
    }

    std::function<bool()> m_start;
    int m_attempt = 0;
    bool m_stopped = false;
    QTimer m_timer;
};

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

    using CliOptions::Transport;
    QCommandLineParser parser;
    QString error;
    const std::optional<CliOptions::Options> options = CliOptions::parse(parser, QCoreApplication::arguments(), error);
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
        if (++signalsSeen > 1) {
            QCoreApplication::exit(Interrupted);
        } else if (listener.stopRetrying()) { // between two attempts: nothing runs that could report
            printLine(stdout, QStringLiteral("Disconnected"));
            QCoreApplication::exit(Ok);
        } else {
            controller.stop();
        }
    });

    std::function<bool()> start;
    switch (options->transport) {
    case Transport::Serial:
        start = [&] { return controller.startSerial(options->serialPort, options->serialPath.toStdString()); };
        break;
    case Transport::Bluetooth:
        start = [&] { return controller.startBluetooth(*device); };
        break;
    case Transport::Usb:
        start = [&] { return controller.startUsb(options->port); };
        break;
    case Transport::Wifi:
        start = [&] { return controller.startWifi(options->host, options->port); };
        break;
    case Transport::None:
    case Transport::ListBluetooth:
        return Usage;
    }
    if (options->reconnect)
        listener.setReconnect(start);
    start();
    const int result = app.exec();
    if (cameraHolder) {
        int width = 0;
        int height = 0;
        cameraHolder->lastSize(width, height);
        AppSettings::setCameraSize(QSize(width, height));
    }
    return result;
}
