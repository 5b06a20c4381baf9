#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// Runs lumo-phone-sim as a child process of a test. The executable's path comes from the
// environment variable LUMO_PHONE_SIM, which CTest sets for every test.
//
//   SimulatorProcess sim({"--size", "320x240", "--close-after", "3"});
//   QVERIFY2(sim.start(), qPrintable(sim.errorString()));
//   socket.connectToHost(QHostAddress::LocalHost, sim.port());
//
// start() adds "--port 0" unless the arguments name a port themselves, and "--exit-on-eof" so that
// the simulator ends with the test even when the test crashes. It returns once the simulator has
// printed its "Listening on ADDR:PORT" line, so a client may connect at once.
// The simulator's standard error (a line per connection) goes to the test's standard error.
// The destructor kills the simulator if it still runs and waits for it to end.
class SimulatorProcess
{
public:
    explicit SimulatorProcess(QStringList arguments = {});
    ~SimulatorProcess();
    SimulatorProcess(const SimulatorProcess &) = delete;
    SimulatorProcess &operator=(const SimulatorProcess &) = delete;

    // Starts the simulator and waits up to timeoutMs for it to listen. False on any failure (no
    // LUMO_PHONE_SIM, bad arguments, exit before listening, time-out); errorString() says which.
    bool start(int timeoutMs = 30000);
    QString errorString() const { return m_error; }

    // The port the simulator listens on; 0 before a successful start().
    quint16 port() const { return m_port; }

    // Waits up to timeoutMs for the simulator to end by itself (as after --once). True when it
    // has ended normally; exitCode() then holds its status.
    bool waitForExit(int timeoutMs);
    int exitCode() const { return m_process.exitCode(); }

    QProcess &process() { return m_process; }

    // The simulator's path from LUMO_PHONE_SIM; empty when that is not set.
    static QString executable();

    // Runs the simulator to its end (e.g. with --write-frames) and returns its exit code, or -1
    // when it could not be started, crashed or ran longer than timeoutMs (then it is killed).
    static int run(const QStringList &arguments, int timeoutMs = 60000);

private:
    QStringList m_arguments;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_error;
};
