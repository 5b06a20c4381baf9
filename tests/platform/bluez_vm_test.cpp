// The Bluetooth transports end to end on the real stack. Runs inside the BlueZ VM (bluez_vm.sh), after
// the recipe's guest script has paired the "PC" controller hci1 with the "phone" controller hci0
// (BT_PHONE_ADDR); the simulator plays the phone's camera server on hci0, the headless front end and
// the transport dialog run as on the PC, and frames go into the real v4l2loopback device.

#include "bluetoothlibrary.h"
#include "btdevicestream.h"
#include "sentpictures.h"
#include "simulatorprocess.h"
#include "transportdialog.h"
#include "yuyvreference.h"

#include <QComboBox>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QGridLayout>
#include <QProcess>
#include <QtTest>

#include <linux/videodev2.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <set>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int width = 160, height = 120, pictures = 3;
constexpr int channel = 5; // not the recipe's echo server's 3
const char camera[] = "/dev/video10";
const char rfcommPort[] = "1";
// Seeded into the PC's BlueZ storage by bluez_vm.sh: paired without a name, and known but not paired.
const QString namelessAddress = QStringLiteral("00:AA:01:00:00:88");
const QString unpairedAddress = QStringLiteral("00:AA:01:00:00:77");

QString phoneAddress()
{
    return qEnvironmentVariable("BT_PHONE_ADDR");
}

QString devicePath(const QString &address)
{
    return QStringLiteral("/org/bluez/hci1/dev_") + QString(address).replace(QLatin1Char(':'), QLatin1Char('_'));
}

QDBusMessage deviceProperty(const QString &address, const QString &method, const QVariantList &arguments)
{
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.bluez"), devicePath(address),
                                                       QStringLiteral("org.freedesktop.DBus.Properties"), method);
    call.setArguments(QVariantList{QStringLiteral("org.bluez.Device1")} + arguments);
    return QDBusConnection::systemBus().call(call);
}

bool setAlias(const QString &address, const QString &alias)
{
    const QVariant value = QVariant::fromValue(QDBusVariant(alias));
    return deviceProperty(address, QStringLiteral("Set"), {QStringLiteral("Alias"), value}).type()
        == QDBusMessage::ReplyMessage;
}

// The headless front end, with the virtual camera found as a user's would be (or the given file).
class Cli
{
public:
    explicit Cli(const QStringList &arguments, const QString &cameraFile = {})
    {
        if (!cameraFile.isEmpty()) {
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(QStringLiteral("LUMO_VIRTUAL_CAMERA"), cameraFile);
            m_process.setProcessEnvironment(environment);
        }
        m_process.start(qEnvironmentVariable("LUMO_WEBCAM_CLI"), arguments);
    }
    ~Cli()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }

    bool waitForOutput(const QByteArray &text, int timeoutMs)
    {
        const QDeadlineTimer deadline(timeoutMs);
        while (!m_process.peek(4096).contains(text)) {
            const bool ended = !m_process.waitForReadyRead(100) && m_process.state() == QProcess::NotRunning;
            if (ended || deadline.hasExpired())
                return false;
        }
        return true;
    }
    void interrupt() { ::kill(pid_t(m_process.processId()), SIGINT); }
    // Exit code once ended, -1 when it did not end in time or crashed.
    int finish(int timeoutMs = 30000)
    {
        if (!m_process.waitForFinished(timeoutMs) || m_process.exitStatus() != QProcess::NormalExit)
            return -1;
        return m_process.exitCode();
    }
    QByteArray out() { return m_process.readAllStandardOutput(); }
    QByteArray err() { return m_process.readAllStandardError(); }

private:
    QProcess m_process;
};

QStringList cliListing()
{
    Cli cli({QStringLiteral("--list-bluetooth")});
    if (cli.finish() != 0)
        return {QStringLiteral("<failed>")};
    return QString::fromUtf8(cli.out()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// The settings of the tty, comparable as a whole; first changed to some of its own when asked. Each
// open of a bound port brings up its RFCOMM link, each last close takes it down.
QByteArray portSettings(const QByteArray &path, bool setOwn)
{
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return {};
    termios settings{};
    if (setOwn && ::tcgetattr(fd, &settings) == 0) {
        cfmakeraw(&settings);
        cfsetspeed(&settings, B57600);
        settings.c_cc[VMIN] = 3;
        ::tcsetattr(fd, TCSANOW, &settings);
    }
    const bool read = ::tcgetattr(fd, &settings) == 0;
    ::close(fd);
    return read ? QByteArray(reinterpret_cast<const char *>(&settings), sizeof settings) : QByteArray();
}

// Reads frames from the loopback device as a webcam consumer does and names each by the sent
// picture it shows (after the transforms); the first reason for failure otherwise.
QString readCameraFrames(int count, const std::vector<std::vector<unsigned char>> &expected, std::set<int> &seen)
{
    int fd = -1;
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    // The device offers capture from the writer's first frame on.
    const QDeadlineTimer deadline(20000);
    while (fd < 0) {
        fd = ::open(camera, O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0 && ::ioctl(fd, VIDIOC_G_FMT, &format) != 0) {
            ::close(fd);
            fd = -1;
        }
        if (fd < 0 && deadline.hasExpired())
            return QStringLiteral("%1 never offered a picture").arg(camera);
        if (fd < 0)
            QThread::msleep(100);
    }
    const auto closeDevice = qScopeGuard([fd] { ::close(fd); });
    if (format.fmt.pix.pixelformat != V4L2_PIX_FMT_YUYV || format.fmt.pix.width != width
        || format.fmt.pix.height != height)
        return QStringLiteral("not YUYV %1x%2").arg(width).arg(height);
    QByteArray frame(int(format.fmt.pix.sizeimage) + 4096, '\0');
    for (int n = 0; n < count;) {
        const ssize_t got = ::read(fd, frame.data(), size_t(frame.size()));
        if (got < 0 && errno == EAGAIN && !deadline.hasExpired()) {
            QThread::msleep(20);
            continue;
        }
        if (got != yuyvFrameBytes(width, height))
            return QStringLiteral("read %1 bytes").arg(got);
        const int match = pictureShown(expected, width, height, reinterpret_cast<const uchar *>(frame.constData()));
        if (match < 0)
            return QStringLiteral("frame %1 is none of the pictures sent, transformed").arg(n);
        seen.insert(match);
        ++n;
    }
    return {};
}

} // namespace

class TestBluezVm : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void listShowsPairedDevicesByTheirBluezNames();
    void transportDialogListsThePhoneAsTheCliPrints();
    void streamsThePicturesIntoTheCamera_data();
    void streamsThePicturesIntoTheCamera();
    void connectionEndsAsThePhoneDoes_data();
    void connectionEndsAsThePhoneDoes();
    void phoneUnpairedAfterListingFailsToConnect();

private:
    const PictureLoop m_loop{width, height, pictures};
};

void TestBluezVm::initTestCase()
{
    QVERIFY2(!phoneAddress().isEmpty(), "BT_PHONE_ADDR is not set: this test runs in the BlueZ VM");
    QCOMPARE(int(m_loop.jpegs.size()), pictures);
}

void TestBluezVm::listShowsPairedDevicesByTheirBluezNames()
{
    // The unpaired device is there for BlueZ, so leaving it out is the list's doing.
    const QDBusMessage paired = deviceProperty(unpairedAddress, QStringLiteral("Get"), {QStringLiteral("Paired")});
    QCOMPARE(paired.type(), QDBusMessage::ReplyMessage);
    QCOMPARE(paired.arguments().value(0).value<QDBusVariant>().variant(), QVariant(false));

    const QString phone = QStringLiteral("Lumo Test Phone(%1)").arg(phoneAddress().toLower());
    QStringList listed = cliListing();
    QVERIFY2(listed.contains(phone), qPrintable(listed.join(u'|')));
    // BlueZ names a device that told no name by its address.
    QVERIFY2(listed.contains(QStringLiteral("00-AA-01-00-00-88(%1)").arg(namelessAddress.toLower())),
             qPrintable(listed.join(u'|')));
    QVERIFY2(!listed.join(u'|').contains(unpairedAddress.toLower()), qPrintable(listed.join(u'|')));

    // A name the user gave wins; clearing it brings back the phone's own.
    QVERIFY(setAlias(phoneAddress(), QStringLiteral("Kitchen phone")));
    listed = cliListing();
    QVERIFY2(listed.contains(QStringLiteral("Kitchen phone(%1)").arg(phoneAddress().toLower())),
             qPrintable(listed.join(u'|')));
    QVERIFY(setAlias(phoneAddress(), QString()));
    QVERIFY(cliListing().contains(phone));
}

void TestBluezVm::transportDialogListsThePhoneAsTheCliPrints()
{
    const QStringList listed = cliListing();
    TransportDialog dialog(nullptr, -1);
    auto *grid = qobject_cast<QGridLayout *>(dialog.layout()->itemAt(0)->layout());
    QVERIFY(grid);
    auto *devices = qobject_cast<QComboBox *>(grid->itemAtPosition(1, 1)->widget());
    QVERIFY(devices);
    QStringList items;
    for (int i = 0; i < devices->count(); ++i)
        items << devices->itemText(i);
    QCOMPARE(items, listed);
}

void TestBluezVm::streamsThePicturesIntoTheCamera_data()
{
    QTest::addColumn<bool>("overTty");
    QTest::addColumn<QStringList>("transforms");
    QTest::addColumn<bool>("hflip");
    QTest::addColumn<bool>("vflip");
    QTest::addColumn<int>("turns");
    QTest::newRow("RFCOMM socket, mirrored") << false << QStringList{QStringLiteral("--hflip")} << true << false << 0;
    QTest::newRow("rfcomm bind tty, turned")
        << true << QStringList{QStringLiteral("--vflip"), QStringLiteral("--rotate"), QStringLiteral("90")} << false
        << true << 1;
}

void TestBluezVm::streamsThePicturesIntoTheCamera()
{
    QFETCH(bool, overTty);
    QFETCH(QStringList, transforms);
    QFETCH(bool, hflip);
    QFETCH(bool, vflip);
    QFETCH(int, turns);
    // On the first free channel, which the phone's record names for the client to find.
    SimulatorProcess phone({QStringLiteral("--bluetooth"), QStringLiteral("--folder"), m_loop.folder.path(),
                            QStringLiteral("--size"), QStringLiteral("%1x%2").arg(width).arg(height),
                            QStringLiteral("--fps"), QStringLiteral("10")});
    QVERIFY2(phone.start(), qPrintable(phone.errorString()));

    QStringList transport{QStringLiteral("--bluetooth"), phoneAddress()};
    const QByteArray tty = QByteArray("/dev/rfcomm") + rfcommPort;
    QByteArray settingsBefore;
    const auto release = qScopeGuard([overTty] {
        if (overTty)
            QProcess::execute(QStringLiteral("rfcomm"), {QStringLiteral("release"), QString::fromLatin1(rfcommPort)});
    });
    if (overTty) {
        QCOMPARE(QProcess::execute(QStringLiteral("rfcomm"),
                                   {QStringLiteral("-i"), QStringLiteral("hci1"), QStringLiteral("bind"),
                                    QString::fromLatin1(rfcommPort), phoneAddress(), QString::number(phone.channel())}),
                 0);
        // The port keeps its settings from one open to the next: the client's must not outlive it.
        settingsBefore = portSettings(tty, true);
        QVERIFY(!settingsBefore.isEmpty());
        transport = QStringList{QStringLiteral("--serial"), QString::fromLatin1(rfcommPort)};
    }

    QElapsedTimer timer;
    timer.start();
    Cli cli(transport + transforms);
    QVERIFY2(cli.waitForOutput("Connected\n", 60000), cli.err().constData());
    qInfo("connected after %lld ms", timer.elapsed());
    const std::vector<std::vector<unsigned char>> expected = m_loop.transformed(hflip, vflip, turns);
    std::set<int> seen;
    const QString failure = readCameraFrames(6, expected, seen);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    QVERIFY2(seen.size() >= 2, "always the same picture: frames do not flow");

    cli.interrupt();
    QCOMPARE(cli.finish(), 0);
    QCOMPARE(cli.out(), QByteArray("Connected\nDisconnected\n"));
    if (overTty)
        QCOMPARE(portSettings(tty, false), settingsBefore);
}

void TestBluezVm::connectionEndsAsThePhoneDoes_data()
{
    QTest::addColumn<bool>("phoneRuns");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("output"); // standard output, then standard error
    QTest::newRow("phone drops the link") << true << 2 << QByteArray("Connected\nAborted.\n");
    // Paired and in reach, but no simulator: the service browse finds only the recipe's echo server.
    QTest::newRow("phone without the service")
        << false << 1
        << QByteArray("Error:\nFail to connect to server.\nTried: Bluetooth to Lumo Test Phone(00:aa:01:00:00:00)\n"
                      "Answer: the device did not accept a connection to the camera service\n");
}

void TestBluezVm::connectionEndsAsThePhoneDoes()
{
    QFETCH(bool, phoneRuns);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, output);
    SimulatorProcess phone({QStringLiteral("--bluetooth"), QStringLiteral("--channel"), QString::number(channel),
                            QStringLiteral("--size"), QStringLiteral("64x48"), QStringLiteral("--close-after"),
                            QStringLiteral("5")});
    if (phoneRuns)
        QVERIFY2(phone.start(), qPrintable(phone.errorString()));
    QElapsedTimer timer;
    timer.start();
    Cli cli({QStringLiteral("--bluetooth"), phoneAddress()}, m_loop.folder.filePath(QStringLiteral("camera.yuyv")));
    QCOMPARE(cli.finish(60000), exitCode);
    QCOMPARE(cli.out() + cli.err(), output);
    // A missing service waits for no time-out: far below the library's 20 s limits, even emulated.
    QVERIFY2(phoneRuns || timer.elapsed() < 15000, qPrintable(QStringLiteral("%1 ms").arg(timer.elapsed())));
}

void TestBluezVm::phoneUnpairedAfterListingFailsToConnect()
{
    // Last, as it takes the pairing away: the transport dialog's record outlives the list it came from.
    SimulatorProcess phone({QStringLiteral("--bluetooth"), QStringLiteral("--channel"), QString::number(channel),
                            QStringLiteral("--size"), QStringLiteral("64x48")});
    QVERIFY2(phone.start(), qPrintable(phone.errorString()));
    QVERIFY(bt_lib_open() > 0);
    BtDeviceInfo device{}; // the record keeps only the address for the connect
    QVERIFY(parseBtAddress(phoneAddress(), device.address));

    QDBusMessage remove = QDBusMessage::createMethodCall(QStringLiteral("org.bluez"), QStringLiteral("/org/bluez/hci1"),
                                                         QStringLiteral("org.bluez.Adapter1"),
                                                         QStringLiteral("RemoveDevice"));
    remove << QVariant::fromValue(QDBusObjectPath(devicePath(phoneAddress())));
    QCOMPARE(QDBusConnection::systemBus().call(remove).type(), QDBusMessage::ReplyMessage);

    // The service is still found, but the link is refused without the pairing, at once.
    QElapsedTimer timer;
    timer.start();
    const int fd = bt_lib_stream_connect(&device, BtDeviceStream::kServiceName);
    if (fd >= 0)
        ::close(fd);
    QCOMPARE(fd, -1);
    QVERIFY2(timer.elapsed() < 15000, qPrintable(QStringLiteral("%1 ms").arg(timer.elapsed())));
    qInfo("unpaired phone: connect failed after %lld ms", timer.elapsed());
}

QTEST_MAIN(TestBluezVm)
#include "bluez_vm_test.moc"
