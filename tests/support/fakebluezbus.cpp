#include "fakebluezbus.h"

#include <QDeadlineTimer>
#include <QFile>

#include <algorithm>
#include <csignal>
#include <sys/prctl.h>

namespace {

const char systemBusVariable[] = "DBUS_SYSTEM_BUS_ADDRESS";

// Everyone may own any name and talk to anyone: the bus serves one test.
const char daemonConfig[] = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=%1</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
  </policy>
</busconfig>
)";

// A test that crashes takes its daemons with it instead of leaving them holding CTest's output pipe.
void dieWithParent(QProcess &process)
{
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

// The next line of the process's standard output, without its end; nothing when the process ends
// first or the deadline passes.
std::optional<QByteArray> nextLine(QProcess &process, const QDeadlineTimer &deadline)
{
    for (;;) {
        if (process.canReadLine())
            return process.readLine().trimmed();
        if (process.state() == QProcess::NotRunning || deadline.hasExpired())
            return std::nullopt;
        process.waitForReadyRead(deadline.isForever() ? -1 : int(qMax<qint64>(1, deadline.remainingTime())));
    }
}

void stop(QProcess &process)
{
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(10000);
    }
}

QString deviceArgument(const FakeBluezDevice &device)
{
    QString argument = device.path + QLatin1Char(',') + device.address + QLatin1Char(',')
                   + QLatin1Char(device.paired ? '1' : '0');
    if (device.name)
        argument += QLatin1Char(',') + *device.name;
    return argument;
}

QString aliasArgument(const FakeBluezDevice &device)
{
    return device.path + QLatin1Char(',') + device.alias.value_or(QString());
}

} // namespace

FakeBluezBus::FakeBluezBus(QList<FakeBluezDevice> devices, Bluez bluez) : m_devices(std::move(devices)), m_bluez(bluez)
{
    dieWithParent(m_daemon);
    dieWithParent(m_fakeBluez);
    // The daemon's standard error is kept for a failed start: as root it also complains, harmlessly,
    // on every start that it may not raise its file limit.
    m_fakeBluez.setProcessChannelMode(QProcess::ForwardedErrorChannel);
}

FakeBluezBus::~FakeBluezBus()
{
    if (m_addressChanged) {
        if (m_savedAddress)
            qputenv(systemBusVariable, *m_savedAddress);
        else
            qunsetenv(systemBusVariable);
    }
    stop(m_fakeBluez);
    stop(m_daemon);
}

QString FakeBluezBus::executable()
{
    return qEnvironmentVariable("LUMO_FAKE_BLUEZ");
}

bool FakeBluezBus::start(int timeoutMs)
{
    if (!startDaemon(timeoutMs) || (m_bluez != Bluez::Absent && !startBluez(timeoutMs)))
        return false;
    if (!m_addressChanged && qEnvironmentVariableIsSet(systemBusVariable))
        m_savedAddress = qgetenv(systemBusVariable);
    m_addressChanged = true;
    qputenv(systemBusVariable, m_busAddress.toUtf8());
    return true;
}

bool FakeBluezBus::startDaemon(int timeoutMs)
{
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary directory: %1").arg(m_dir.errorString());
        return false;
    }
    QFile config(m_dir.filePath(QStringLiteral("bus.conf")));
    if (!config.open(QIODevice::WriteOnly)
        || config.write(QString::fromLatin1(daemonConfig).arg(m_dir.filePath(QStringLiteral("bus"))).toUtf8()) < 0) {
        m_error = QStringLiteral("cannot write %1: %2").arg(config.fileName(), config.errorString());
        return false;
    }
    config.close();

    const QDeadlineTimer deadline(timeoutMs);
    m_daemon.start(QStringLiteral("dbus-daemon"),
                   {QStringLiteral("--config-file=") + config.fileName(), QStringLiteral("--nofork"),
                    QStringLiteral("--print-address")});
    const std::optional<QByteArray> address = nextLine(m_daemon, deadline);
    if (!address || !address->startsWith("unix:")) {
        m_error = QStringLiteral("dbus-daemon gave no address: %1 %2")
                      .arg(m_daemon.errorString(), QString::fromLocal8Bit(m_daemon.readAllStandardError()));
        return false;
    }
    m_busAddress = QString::fromUtf8(*address);
    return true;
}

bool FakeBluezBus::startBluez(int timeoutMs)
{
    if (executable().isEmpty()) {
        m_error = QStringLiteral("LUMO_FAKE_BLUEZ is not set");
        return false;
    }
    QStringList arguments{QStringLiteral("--address"), m_busAddress, QStringLiteral("--exit-on-eof")};
    if (m_bluez == Bluez::Hanging)
        arguments << QStringLiteral("--hang");
    for (const FakeBluezDevice &device : std::as_const(m_devices)) {
        arguments << QStringLiteral("--device") << deviceArgument(device);
        if (device.alias)
            arguments << QStringLiteral("--alias") << aliasArgument(device);
    }

    const QDeadlineTimer deadline(timeoutMs);
    m_fakeBluez.start(executable(), arguments);
    const std::optional<QByteArray> line = nextLine(m_fakeBluez, deadline);
    if (line != QByteArrayLiteral("ready")) {
        m_error = QStringLiteral("fake-bluez did not become ready: %1")
                      .arg(line ? QString::fromUtf8(*line) : m_fakeBluez.errorString());
        return false;
    }
    return true;
}

bool FakeBluezBus::addDevice(const FakeBluezDevice &device, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    return sendCommand(QStringLiteral("device"), deviceArgument(device), int(deadline.remainingTime()))
           && (!device.alias || sendCommand(QStringLiteral("alias"), aliasArgument(device), int(deadline.remainingTime())));
}

bool FakeBluezBus::sendCommand(const QString &kind, const QString &value, int timeoutMs)
{
    if (m_fakeBluez.state() != QProcess::Running) {
        m_error = QStringLiteral("fake-bluez is not running");
        return false;
    }
    if (value.contains(QLatin1Char('\n'))) {
        m_error = QStringLiteral("a line break cannot be sent to fake-bluez");
        return false;
    }
    m_fakeBluez.write((kind + QLatin1Char(' ') + value + QLatin1Char('\n')).toUtf8());
    const std::optional<QByteArray> answer = nextLine(m_fakeBluez, QDeadlineTimer(timeoutMs));
    if (answer != QByteArrayLiteral("ok")) {
        m_error = QStringLiteral("fake-bluez refused \"%1 %2\": %3")
                      .arg(kind, value, answer ? QString::fromUtf8(*answer) : QStringLiteral("no answer"));
        return false;
    }
    return true;
}

bool isAllZero(const BtDeviceInfo &device)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(&device);
    return std::all_of(bytes, bytes + sizeof device, [](unsigned char byte) { return byte == 0; });
}
