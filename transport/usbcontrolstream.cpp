#include "usbcontrolstream.h"

#include "streaminterrupt.h"
#include "winsockstream.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <algorithm>

namespace {

// adb writes this line before the list of attached devices.
constexpr char kDeviceListHeader[] = "List of devices attached";
// Anything longer than this after the header is a device line, whatever state it names.
constexpr int kMinimumDeviceLineLength = 3;

// The stop of the adb server while the program is ending: long enough for a healthy adb to stop its
// daemon, short enough that closing the window does not hang on an adb that no longer answers.
constexpr int kKillServerWhileEndingMs = 2000;

// How often a running adb step looks at the interrupt.
constexpr int kWaitSliceMs = 50;

bool deviceAttached(const QByteArray &devicesOutput)
{
    const QByteArray listing = devicesOutput.trimmed();
    const qsizetype header = listing.indexOf(kDeviceListHeader);
    return header >= 0
        && listing.size() > header + qsizetype(sizeof kDeviceListHeader - 1) + kMinimumDeviceLineLength;
}

} // namespace

UsbControlStream::UsbControlStream(int port, const StreamInterrupt *interrupt, int readTimeoutMs)
    : m_port(port), m_readTimeoutMs(readTimeoutMs), m_interrupt(interrupt)
{
}

UsbControlStream::~UsbControlStream()
{
    close();
}

int UsbControlStream::open()
{
    if (adbProgram().isEmpty()) {
        setFailureReason("adb: program not found (the Debian package adb)");
        return -10;
    }
    if (!deviceAttached(runAdb({QStringLiteral("devices")}, kAdbTimeoutMs, m_interrupt))) {
        setFailureReason("adb: no device attached");
        return -10;
    }

    // The forward's outcome is not looked at: a forward that failed shows as a refused connect below.
    const QString tcpPort = QStringLiteral("tcp:%1").arg(m_port);
    runAdb({QStringLiteral("-d"), QStringLiteral("forward"), tcpPort, tcpPort}, kAdbTimeoutMs, m_interrupt);

    // Kept even when the connect fails, so that close() still stops the adb server.
    m_inner = std::make_unique<WinSockStream>("127.0.0.1", m_port, m_interrupt, m_readTimeoutMs);
    const int result = m_inner->open();
    setFailureReason(m_inner->failureReason());
    return result;
}

int UsbControlStream::close()
{
    if (!m_inner)
        return -1;
    m_inner->close();
    m_inner.reset();

    // A triggered interrupt means the program is ending: the server still gets its stop, but only a
    // short wait for it, and the wait itself must not be cut by the interrupt, which is already set.
    const bool ending = m_interrupt && m_interrupt->isTriggered();
    runAdb({QStringLiteral("-d"), QStringLiteral("kill-server")}, ending ? kKillServerWhileEndingMs : kAdbTimeoutMs,
           ending ? nullptr : m_interrupt);
    return 0;
}

int UsbControlStream::read(unsigned char *buffer, int length)
{
    if (m_inner)
        return m_inner->read(buffer, length);
    if (length > 0)
        throw 0;
    return length;
}

void UsbControlStream::write(const unsigned char *buffer, int length)
{
    if (m_inner)
        m_inner->write(buffer, length);
    else if (length > 0)
        throw 0;
}

QString UsbControlStream::adbProgram()
{
    const QFileInfo local(QDir::current().filePath(QStringLiteral("adb")));
    if (local.isFile() && local.isExecutable())
        return local.absoluteFilePath();
    return QStandardPaths::findExecutable(QStringLiteral("adb"));
}

QByteArray UsbControlStream::runAdb(const QStringList &arguments, int timeoutMs, const StreamInterrupt *interrupt)
{
    // A program that is ending starts no new adb.
    const QString program = adbProgram();
    if (program.isEmpty() || (interrupt && interrupt->isTriggered()))
        return {};

    QProcess adb;
    // The daemon's start-up notices go to standard error; only standard output is the answer.
    adb.setStandardErrorFile(QProcess::nullDevice());
    adb.start(program, arguments, QIODevice::ReadWrite);
    if (!adb.waitForStarted(timeoutMs))
        return {};

    // waitForFinished() needs no event loop; it is called in slices so a triggered interrupt ends the
    // step within one slice instead of after the whole limit.
    QElapsedTimer elapsed;
    elapsed.start();
    while (adb.state() != QProcess::NotRunning && elapsed.elapsed() < timeoutMs
           && !(interrupt && interrupt->isTriggered())) {
        const qint64 left = timeoutMs - elapsed.elapsed();
        adb.waitForFinished(int(std::clamp<qint64>(left, 1, kWaitSliceMs)));
    }
    if (adb.state() != QProcess::NotRunning) {
        // Killed and reaped here rather than by QProcess's destructor, which would warn about it.
        adb.kill();
        adb.waitForFinished(-1);
    }
    return adb.readAllStandardOutput();
}
