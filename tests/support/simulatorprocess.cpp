#include "simulatorprocess.h"

#include <QDeadlineTimer>

namespace {

const QByteArray listeningPrefix = QByteArrayLiteral("Listening on ");
const QByteArray channelPrefix = QByteArrayLiteral("RFCOMM channel ");
// Standard input is a pipe from this process; its end also ends a simulator that a crashed or
// killed test would otherwise leave running.
const QString exitWithParent = QStringLiteral("--exit-on-eof");

} // namespace

SimulatorProcess::SimulatorProcess(QStringList arguments) : m_arguments(std::move(arguments))
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
}

SimulatorProcess::~SimulatorProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(10000);
    }
}

QString SimulatorProcess::executable()
{
    return qEnvironmentVariable("LUMO_PHONE_SIM");
}

bool SimulatorProcess::start(int timeoutMs)
{
    m_port = 0;
    m_channel = 0;
    m_serialPath.clear();
    m_serialNumber = -1;
    const QString program = executable();
    if (program.isEmpty()) {
        m_error = QStringLiteral("LUMO_PHONE_SIM is not set");
        return false;
    }
    QStringList arguments = m_arguments;
    if (!arguments.contains(QLatin1String("--port")) && !arguments.contains(QLatin1String("--serial"))
        && !arguments.contains(QLatin1String("--bluetooth")))
        arguments << QStringLiteral("--port") << QStringLiteral("0");
    m_process.start(program, arguments << exitWithParent);
    if (!m_process.waitForStarted(timeoutMs)) {
        m_error = QStringLiteral("cannot start %1: %2").arg(program, m_process.errorString());
        return false;
    }
    return waitForListening(timeoutMs);
}

bool SimulatorProcess::waitForListening(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        while (m_process.canReadLine()) {
            const QByteArray line = m_process.readLine().trimmed();
            if (!line.startsWith(listeningPrefix))
                continue;
            const QByteArray where = line.mid(listeningPrefix.size());
            bool ok = false;
            if (where.startsWith('/')) {
                const int number = where.mid(where.lastIndexOf('/') + 1).toInt(&ok);
                if (ok && number >= 0) {
                    m_serialPath = QString::fromLocal8Bit(where);
                    m_serialNumber = number;
                    return true;
                }
            } else if (where.startsWith(channelPrefix)) {
                const int channel = where.mid(channelPrefix.size()).toInt(&ok);
                if (ok && channel >= 1 && channel <= 30) {
                    m_channel = channel;
                    return true;
                }
            } else {
                const int port = where.mid(where.lastIndexOf(':') + 1).toInt(&ok);
                if (ok && port > 0 && port <= 65535) {
                    m_port = quint16(port);
                    return true;
                }
            }
            m_error = QStringLiteral("unreadable line \"%1\"").arg(QString::fromUtf8(line));
            return false;
        }
        if (m_process.state() == QProcess::NotRunning) {
            m_error = QStringLiteral("the simulator ended before listening, exit code %1").arg(m_process.exitCode());
            return false;
        }
        if (deadline.hasExpired()) {
            m_error = QStringLiteral("the simulator did not listen within %1 ms").arg(timeoutMs);
            return false;
        }
        m_process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
    }
}

bool SimulatorProcess::waitForExit(int timeoutMs)
{
    if (m_process.state() != QProcess::NotRunning && !m_process.waitForFinished(timeoutMs))
        return false;
    return m_process.exitStatus() == QProcess::NormalExit;
}

int SimulatorProcess::run(const QStringList &arguments, int timeoutMs)
{
    SimulatorProcess simulator(arguments);
    if (executable().isEmpty())
        return -1;
    simulator.m_process.start(executable(), QStringList(arguments) << exitWithParent);
    if (!simulator.waitForExit(timeoutMs) || simulator.m_process.error() == QProcess::FailedToStart)
        return -1;
    return simulator.exitCode();
}
