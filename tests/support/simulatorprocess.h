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
// start() adds "--port 0" unless the arguments name a port themselves or ask for "--serial", and
// "--exit-on-eof" so that the simulator ends with the test even when the test crashes. It returns
// once the simulator has printed its "Listening on ADDR:PORT" line, so a client may connect at once.
//
// Over a serial line instead of TCP:
//
//   SimulatorProcess sim({"--serial", "--size", "320x240"});
//   QVERIFY2(sim.start(), qPrintable(sim.errorString()));
//   SerialPort port(sim.serialNumber(), SimulatorProcess::kSerialPathTemplate);
//
// The simulator then serves a pseudo-terminal; its "Listening on /dev/pts/N" line gives serialPath().
// A client that closes the line and opens it again starts a new connection on the same path.
// With "--bluetooth" it serves an RFCOMM channel instead ("Listening on RFCOMM channel N", channel()).
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
    // LUMO_PHONE_SIM, bad arguments, exit before listening, time-out); errorString() says which. The
    // default is generous: under AddressSanitizer on a busy machine the simulator has taken over 30 s
    // to make its default 640x480 frames before listening.
    bool start(int timeoutMs = 120000);
    QString errorString() const { return m_error; }

    // The port the simulator listens on; 0 before a successful start() and with --serial or --bluetooth.
    quint16 port() const { return m_port; }
    // With --bluetooth: the RFCOMM channel it listens on; 0 otherwise.
    int channel() const { return m_channel; }

    // With --serial: the pseudo-terminal the simulator serves, e.g. /dev/pts/3, and its number,
    // which the path template below turns back into the path. Empty and -1 otherwise.
    QString serialPath() const { return m_serialPath; }
    int serialNumber() const { return m_serialNumber; }
    static constexpr const char *kSerialPathTemplate = "/dev/pts/%d";

    // When the simulator ends a serial connection itself (--close-after, garbage from the client),
    // it hangs the line up and serves the next client on a new pseudo-terminal. This waits up to
    // timeoutMs for that one's "Listening on" line and updates serialPath() and serialNumber().
    bool waitForListening(int timeoutMs = 30000);

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
    int m_channel = 0;
    QString m_serialPath;
    int m_serialNumber = -1;
    QString m_error;
};
