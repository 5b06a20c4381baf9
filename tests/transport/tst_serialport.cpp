#include "pseudoterminal.h"
#include "serialport.h"
#include "streaminterrupt.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <climits>
#include <cstring>
#include <functional>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

const std::string ptsTemplate = "/dev/pts/%d";

// Short limits, so that a silent line fails in well under a second.
constexpr SerialTimeouts quick{100, 400, 20};
// Limits no test reaches: only the line or an interrupt ends a transfer.
constexpr SerialTimeouts endless{60000, 60000, 1000};

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
}

const unsigned char *bytes(const QByteArray &data)
{
    return reinterpret_cast<const unsigned char *>(data.constData());
}

bool writeMaster(const PseudoTerminal &pty, const QByteArray &data)
{
    qint64 done = 0;
    while (done < data.size()) {
        pollfd p{pty.masterFd(), POLLOUT, 0};
        if (::poll(&p, 1, 5000) <= 0)
            return false;
        const ssize_t n = ::write(pty.masterFd(), data.constData() + done, std::size_t(data.size() - done));
        if (n < 0 && errno != EAGAIN)
            return false;
        done += qMax<ssize_t>(n, 0);
    }
    return true;
}

// Up to n bytes from the master: fewer when nothing more comes within timeoutMs.
QByteArray readMaster(const PseudoTerminal &pty, qint64 n, int timeoutMs = 5000)
{
    QByteArray data;
    const QDeadlineTimer deadline(timeoutMs);
    while (data.size() < n) {
        pollfd p{pty.masterFd(), POLLIN, 0};
        if (::poll(&p, 1, int(qMax<qint64>(0, deadline.remainingTime()))) <= 0)
            break;
        char buffer[4096];
        const ssize_t got = ::read(pty.masterFd(), buffer, std::size_t(qMin<qint64>(n - data.size(), sizeof buffer)));
        if (got <= 0)
            break;
        data.append(buffer, got);
    }
    return data;
}

// The test's own open of a slave, to set and look at its line settings beside the port under test.
class SlaveLine
{
public:
    explicit SlaveLine(const PseudoTerminal &pty)
        : m_fd(::open(pty.slavePath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
    {
    }
    ~SlaveLine()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool isOpen() const { return m_fd >= 0; }
    termios settings() const
    {
        termios t{};
        ::tcgetattr(m_fd, &t);
        return t;
    }
    bool set(const termios &t) const { return ::tcsetattr(m_fd, TCSANOW, &t) == 0; }

private:
    int m_fd;
};

// The port's failure value, or -1 when it did not throw.
template <typename Transfer>
int failureOf(Transfer transfer)
{
    try {
        transfer();
    } catch (int failure) {
        return failure;
    }
    return -1;
}

struct Ended
{
    int failure; // -1: did not throw
    qint64 afterMs;
};

// A transfer that only `meanwhile`, run on another thread after delayMs, can end: a read of 4
// bytes that never come, or a write of more than the line holds, which the other end never takes.
Ended transferEndedBy(SerialPort &serial, bool reading, int delayMs, const std::function<void()> &meanwhile)
{
    QByteArray buffer(4 << 20, 'b');
    QElapsedTimer timer;
    timer.start();
    std::thread other([&] {
        QThread::msleep(delayMs);
        meanwhile();
    });
    const int failure = failureOf([&] {
        if (reading)
            serial.read(reinterpret_cast<unsigned char *>(buffer.data()), 4);
        else
            serial.write(bytes(buffer), int(buffer.size()));
    });
    const Ended ended{failure, timer.elapsed()};
    other.join();
    return ended;
}

} // namespace

class TestSerialPort : public QObject
{
    Q_OBJECT
private slots:
    void pathPutsTheNumberInPlaceOfTheFirstPercentD_data();
    void pathPutsTheNumberInPlaceOfTheFirstPercentD();
    void openFailsWithMinus100AndKeepsNothing_data();
    void openFailsWithMinus100AndKeepsNothing();
    void onlyOneHolderAtATime();
    void readCollectsBytesThatComeInPieces_data();
    void readCollectsBytesThatComeInPieces();
    void silenceFailsTheReadWithinItsLimitAndClosesThePort_data();
    void silenceFailsTheReadWithinItsLimitAndClosesThePort();
    void writeThatNobodyTakesFailsWithOne();
    void everyByteValuePassesUnchangedBothWays();
    void inputFromBeforeTheOpenIsDropped();
    void lineSettingsStayAndComeBackOnClose();
    void hangUpDuringATransferClosesThePort_data();
    void hangUpDuringATransferClosesThePort();
    void interruptEndsAWaitingTransferAtOnce_data();
    void interruptEndsAWaitingTransferAtOnce();
    void emptyTransfersReturnAtOnceAndAClosedPortThrowsZero();
};

void TestSerialPort::pathPutsTheNumberInPlaceOfTheFirstPercentD_data()
{
    QTest::addColumn<QByteArray>("pathTemplate");
    QTest::addColumn<int>("port");
    QTest::addColumn<QByteArray>("path");

    QTest::newRow("default") << QByteArray(SerialPort::kDefaultPathTemplate) << 0 << QByteArray("/dev/rfcomm0");
    QTest::newRow("no list entry chosen") << QByteArray(SerialPort::kDefaultPathTemplate) << -1
                                          << QByteArray("/dev/rfcomm-1");
    QTest::newRow("other directives stay text") << QByteArray("/tmp/%s%n/tty%d%x") << 12
                                                << QByteArray("/tmp/%s%n/tty12%x");
    QTest::newRow("only the first %d") << QByteArray("/dev/%d/%d") << 7 << QByteArray("/dev/7/%d");
    QTest::newRow("no %d") << QByteArray("/dev/ttyS0") << 5 << QByteArray("/dev/ttyS0");
}

void TestSerialPort::pathPutsTheNumberInPlaceOfTheFirstPercentD()
{
    QFETCH(QByteArray, pathTemplate);
    QFETCH(int, port);
    QFETCH(QByteArray, path);
    QCOMPARE(QByteArray::fromStdString(SerialPort(port, pathTemplate.toStdString()).path()), path);
}

void TestSerialPort::openFailsWithMinus100AndKeepsNothing_data()
{
    QTest::addColumn<QString>("device"); // within a fresh folder; "/dev/pts/%d" for a held pty
    QTest::addColumn<int>("port");

    QTest::newRow("no list entry chosen") << QStringLiteral("rfcomm%d") << -1;
    QTest::newRow("missing device") << QStringLiteral("rfcomm%d") << 3;
    QTest::newRow("not a terminal") << QStringLiteral("file%d") << 4; // the test creates file4
    QTest::newRow("held by another port") << QString::fromStdString(ptsTemplate) << 0;
}

void TestSerialPort::openFailsWithMinus100AndKeepsNothing()
{
    QFETCH(QString, device);
    QFETCH(int, port);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile file(dir.filePath(QStringLiteral("file4")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    PseudoTerminal pty;
    QVERIFY2(pty.isOpen(), qPrintable(pty.errorString()));
    SerialPort holder(pty.slaveNumber(), ptsTemplate);
    QCOMPARE(holder.open(), 0);
    const bool held = device.startsWith('/');

    const int before = openDescriptors();
    SerialPort serial(held ? pty.slaveNumber() : port, (held ? device : dir.filePath(device)).toStdString());
    QCOMPARE(serial.open(), -100);
    QVERIFY(!serial.isOpen());
    QCOMPARE(openDescriptors(), before);
    QCOMPARE(serial.close(), -1);
}

void TestSerialPort::onlyOneHolderAtATime()
{
    PseudoTerminal pty;
    QVERIFY2(pty.isOpen(), qPrintable(pty.errorString()));
    SerialPort first(pty.slaveNumber(), ptsTemplate);
    SerialPort second(pty.slaveNumber(), ptsTemplate);
    QCOMPARE(first.open(), 0);
    const int held = openDescriptors();
    QCOMPARE(first.open(), 0); // lets go of its own hold before taking the port again
    QCOMPARE(openDescriptors(), held);
    QCOMPARE(second.open(), -100);

    QCOMPARE(first.close(), 0);
    QCOMPARE(first.close(), -1);
    QCOMPARE(second.open(), 0);
    QCOMPARE(first.open(), -100);
    QCOMPARE(second.close(), 0);
}

void TestSerialPort::readCollectsBytesThatComeInPieces_data()
{
    QTest::addColumn<int>("firstGapMs");
    QTest::addColumn<int>("secondGapMs");

    // The inter-byte limit is 100 ms: a longer gap ends one transfer, and the next takes over.
    QTest::newRow("gaps shorter than the inter-byte limit") << 20 << 20;
    QTest::newRow("gaps longer than the inter-byte limit") << 300 << 300;
    QTest::newRow("one of each") << 20 << 300;
}

void TestSerialPort::readCollectsBytesThatComeInPieces()
{
    QFETCH(int, firstGapMs);
    QFETCH(int, secondGapMs);

    PseudoTerminal pty;
    QVERIFY2(pty.isOpen(), qPrintable(pty.errorString()));
    SerialPort serial(pty.slaveNumber(), ptsTemplate, quick);
    QCOMPARE(serial.open(), 0);
    QByteArray sent(1000, '\0');
    for (int i = 0; i < sent.size(); ++i)
        sent[i] = char(i * 7 + i / 256);

    bool fed = false;
    std::thread feeder([&] {
        fed = writeMaster(pty, sent.first(300));
        QThread::msleep(firstGapMs);
        fed = fed && writeMaster(pty, sent.sliced(300, 300));
        QThread::msleep(secondGapMs);
        fed = fed && writeMaster(pty, sent.sliced(600));
    });
    QByteArray received(sent.size(), '\0');
    const int failure =
        failureOf([&] { serial.read(reinterpret_cast<unsigned char *>(received.data()), int(received.size())); });
    feeder.join();
    QVERIFY(fed);
    QCOMPARE(failure, -1);
    QVERIFY(received == sent);
    QVERIFY(serial.isOpen());
}

void TestSerialPort::silenceFailsTheReadWithinItsLimitAndClosesThePort_data()
{
    QTest::addColumn<int>("sentFirst");
    QTest::addColumn<int>("limitMs"); // when the read must end, by the limits of `quick`

    // 400 ms + 20 ms for each of the 10 bytes.
    QTest::newRow("nothing comes") << 0 << 600;
    // The 4 bytes end the first transfer after the inter-byte limit; the second waits for 6 bytes.
    QTest::newRow("some bytes, then nothing") << 4 << 100 + 400 + 6 * 20;
}

void TestSerialPort::silenceFailsTheReadWithinItsLimitAndClosesThePort()
{
    QFETCH(int, sentFirst);
    QFETCH(int, limitMs);

    PseudoTerminal pty;
    QVERIFY2(pty.isOpen(), qPrintable(pty.errorString()));
    SerialPort serial(pty.slaveNumber(), ptsTemplate, quick);
    QCOMPARE(serial.open(), 0);
    QVERIFY(writeMaster(pty, QByteArray(sentFirst, 'x')));
    QElapsedTimer timer;
    timer.start();
    unsigned char buffer[10];
    QCOMPARE(failureOf([&] { serial.read(buffer, 10); }), 0);
    QVERIFY2(timer.elapsed() >= limitMs && timer.elapsed() < limitMs + 1500, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(!serial.isOpen());

    // A closed port fails at once and leaves the line alone.
    QCOMPARE(failureOf([&] { serial.write(bytes("abc"), 3); }), 0);
    QCOMPARE(readMaster(pty, 1, 200), QByteArray());
    QCOMPARE(serial.close(), -1);
}

void TestSerialPort::writeThatNobodyTakesFailsWithOne()
{
    PseudoTerminal pty;
    QVERIFY2(pty.isOpen(), qPrintable(pty.errorString()));
    // No per-byte time so that the bound stays small: the first transfer fills the line, the second moves nothing.
    SerialPort serial(pty.slaveNumber(), ptsTemplate, SerialTimeouts{100, 300, 0});
    QCOMPARE(serial.open(), 0);
    const QByteArray block(4 << 20, 'w');
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(failureOf([&] { serial.write(bytes(block), int(block.size())); }), 1);
    QVERIFY2(timer.elapsed() >= 600 && timer.elapsed() < 2500, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(!serial.isOpen());
}

void TestSerialPort::everyByteValuePassesUnchangedBothWays()
{
    // A fresh pty has the settings of a terminal: canonical input, echo, signals, CR/NL mapping, output
    // processing and XON/XOFF flow control, each of which would change some of these bytes.
    QByteArray data;
    for (int i = 0; i < 256; ++i)
        data.append(char(i));
    data += QByteArray("\r\n\n\r\x03\x04\x11\x13\x1a\x1c\x7f\xff\xff\x00\xff\x0a", 16);
    data += data;

    PseudoTerminal pty;
    QVERIFY2(pty.isOpen(), qPrintable(pty.errorString()));
    SerialPort serial(pty.slaveNumber(), ptsTemplate, quick);
    QCOMPARE(serial.open(), 0);

    QVERIFY(writeMaster(pty, data));
    QByteArray received(data.size(), '\0');
    QCOMPARE(failureOf([&] { serial.read(reinterpret_cast<unsigned char *>(received.data()), int(received.size())); }),
             -1);
    QCOMPARE(received.toHex(' '), data.toHex(' '));

    // Nothing was echoed back: what the master reads is exactly what the port wrote.
    QCOMPARE(failureOf([&] { serial.write(bytes(data), int(data.size())); }), -1);
    QCOMPARE(readMaster(pty, data.size()).toHex(' '), data.toHex(' '));
    QCOMPARE(readMaster(pty, 1, 200), QByteArray());
}

void TestSerialPort::inputFromBeforeTheOpenIsDropped()
{
    PseudoTerminal pty;
    QVERIFY2(pty.isOpen(), qPrintable(pty.errorString()));
    QVERIFY(writeMaster(pty, "left from the last connection"));
    SerialPort serial(pty.slaveNumber(), ptsTemplate, quick);
    QCOMPARE(serial.open(), 0);
    QVERIFY(writeMaster(pty, "reply"));
    unsigned char buffer[5];
    QCOMPARE(failureOf([&] { serial.read(buffer, 5); }), -1);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(buffer), 5), QByteArray("reply"));
}

void TestSerialPort::lineSettingsStayAndComeBackOnClose()
{
    PseudoTerminal pty;
    QVERIFY2(pty.isOpen(), qPrintable(pty.errorString()));
    SlaveLine line(pty);
    QVERIFY(line.isOpen());
    // A pty keeps no parity and always 8 bits, but holds the rest of what a serial line is set to.
    termios configured = line.settings();
    ::cfsetispeed(&configured, B9600);
    ::cfsetospeed(&configured, B9600);
    configured.c_cflag |= CSTOPB | CRTSCTS;
    configured.c_cflag &= ~tcflag_t(CLOCAL);
    configured.c_iflag |= IXOFF | INPCK | IGNBRK;
    configured.c_cc[VMIN] = 4;
    configured.c_cc[VTIME] = 7;
    configured.c_cc[VINTR] = 0x18;
    QVERIFY(line.set(configured));
    const termios before = line.settings();
    QCOMPARE(::cfgetospeed(&before), speed_t(B9600));

    SerialPort serial(pty.slaveNumber(), ptsTemplate);
    QCOMPARE(serial.open(), 0);
    const termios open = line.settings();
    QCOMPARE(::cfgetispeed(&open), speed_t(B9600));
    QCOMPARE(::cfgetospeed(&open), speed_t(B9600));
    QCOMPARE(open.c_cflag, before.c_cflag); // size, parity, stop bits, hardware flow control
    QVERIFY(!(open.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)));
    QVERIFY(!(open.c_iflag & (ICRNL | IXON | IXOFF)));
    QVERIFY(!(open.c_oflag & OPOST));
    QCOMPARE(int(open.c_cc[VMIN]), 0);
    QCOMPARE(int(open.c_cc[VTIME]), 0);

    QCOMPARE(serial.close(), 0);
    const termios after = line.settings();
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(&after), sizeof after).toHex(' '),
             QByteArray(reinterpret_cast<const char *>(&before), sizeof before).toHex(' '));
}

void TestSerialPort::hangUpDuringATransferClosesThePort_data()
{
    QTest::addColumn<bool>("reading");
    QTest::addColumn<int>("failure");
    QTest::newRow("read") << true << 0;
    QTest::newRow("write") << false << 1; // into a line whose other end takes nothing
}

void TestSerialPort::hangUpDuringATransferClosesThePort()
{
    QFETCH(bool, reading);
    QFETCH(int, failure);

    PseudoTerminal pty;
    QVERIFY2(pty.isOpen(), qPrintable(pty.errorString()));
    SerialPort serial(pty.slaveNumber(), ptsTemplate, endless);
    QCOMPARE(serial.open(), 0);
    const Ended ended = transferEndedBy(serial, reading, 200, [&] { pty.hangUp(); });
    QCOMPARE(ended.failure, failure);
    QVERIFY2(ended.afterMs < 5000, qPrintable(QString::number(ended.afterMs)));
    QVERIFY(!serial.isOpen());
    QCOMPARE(serial.close(), -1);
}

void TestSerialPort::interruptEndsAWaitingTransferAtOnce_data()
{
    QTest::addColumn<bool>("reading");
    QTest::addColumn<int>("failure");
    QTest::addColumn<int>("perByteMs");

    QTest::newRow("read") << true << 0 << endless.totalPerByteMs;
    QTest::newRow("write") << false << 1 << endless.totalPerByteMs;
    // In 32 bits, 4 bytes at this rate would wrap round to a limit already past.
    QTest::newRow("read whose limit passes 32 bits") << true << 0 << INT_MAX;
}

void TestSerialPort::interruptEndsAWaitingTransferAtOnce()
{
    QFETCH(bool, reading);
    QFETCH(int, failure);
    QFETCH(int, perByteMs);

    PseudoTerminal pty;
    QVERIFY2(pty.isOpen(), qPrintable(pty.errorString()));
    StreamInterrupt interrupt;
    SerialPort serial(pty.slaveNumber(), ptsTemplate, SerialTimeouts{endless.interByteMs, 0, perByteMs}, &interrupt);
    QCOMPARE(serial.open(), 0);
    const Ended ended = transferEndedBy(serial, reading, 300, [&] { interrupt.trigger(); });
    QCOMPARE(ended.failure, failure);
    QVERIFY2(ended.afterMs >= 290 && ended.afterMs < 2000, qPrintable(QString::number(ended.afterMs)));
    QVERIFY(!serial.isOpen());
}

void TestSerialPort::emptyTransfersReturnAtOnceAndAClosedPortThrowsZero()
{
    SerialPort serial(0, "/nonexistent/tty%d");
    unsigned char byte = 0;
    QCOMPARE(failureOf([&] {
                 serial.read(&byte, 0);
                 serial.read(&byte, -1);
                 serial.write(&byte, 0);
                 serial.write(&byte, INT_MIN);
             }),
             -1);
    QCOMPARE(failureOf([&] { serial.read(&byte, 1); }), 0);
    QCOMPARE(failureOf([&] { serial.write(&byte, 1); }), 0);
    QCOMPARE(serial.close(), -1);
}

QTEST_GUILESS_MAIN(TestSerialPort)
#include "tst_serialport.moc"
