#include "fakeadb.h"
#include "freeport.h"
#include "streaminterrupt.h"
#include "usbcontrolstream.h"
#include "workerthread.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <memory>

namespace {

// The adb run that forwards the port.
QString forward(quint16 port)
{
    return QStringLiteral("-d forward tcp:%1 tcp:%1").arg(port);
}

bool processExists(qint64 pid)
{
    return QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid));
}

} // namespace

class TestUsbControlStream : public QObject
{
    Q_OBJECT
private slots:
    void adbProgramPrefersAnExecutableAdbInTheWorkingDirectory_data();
    void adbProgramPrefersAnExecutableAdbInTheWorkingDirectory();
    void deviceCheckDecidesWhetherToForward_data();
    void deviceCheckDecidesWhetherToForward();
    void missingOrBrokenAdbMeansNoDeviceWithoutWaiting_data();
    void missingOrBrokenAdbMeansNoDeviceWithoutWaiting();
    void refusedConnectStillStopsTheAdbServerOnClose();
    void bytesPassBothWaysThroughTheForward();
    void interruptCutsAHangingAdbShortOnAThreadWithoutEventLoop();
    void closeWhileEndingGivesKillServerOnlyAShortWait();
};

void TestUsbControlStream::adbProgramPrefersAnExecutableAdbInTheWorkingDirectory_data()
{
    QTest::addColumn<QString>("local"); // "script", "plain file", "directory" or "" for none
    QTest::addColumn<bool>("onPath");
    QTest::addColumn<QString>("expected"); // "local", "path" or ""

    QTest::newRow("executable ./adb wins over PATH") << "script" << true << "local";
    QTest::newRow("./adb not executable falls back to PATH") << "plain file" << true << "path";
    QTest::newRow("./adb a directory falls back to PATH") << "directory" << true << "path";
    QTest::newRow("nothing anywhere") << "" << false << "";
}

void TestUsbControlStream::adbProgramPrefersAnExecutableAdbInTheWorkingDirectory()
{
    QFETCH(QString, local);
    QFETCH(bool, onPath);
    QFETCH(QString, expected);

    FakeAdb adb;
    if (local == "script")
        adb.install(FakeAdb::kOneDevice);
    else if (local == "plain file")
        adb.writeScript("adb", "#!/bin/bash\n", false);
    else if (local == "directory")
        QDir(adb.path({})).mkdir("adb");
    if (onPath) {
        qputenv("PATH", QFile::encodeName(adb.path("empty") + ':' + adb.path("bin")));
        adb.install(FakeAdb::kOneDevice, {}, FakeAdb::OnPath);
    }

    const QString program = UsbControlStream::adbProgram();
    if (expected == "local")
        QCOMPARE(program, QFileInfo(adb.path("adb")).absoluteFilePath());
    else if (expected == "path")
        QCOMPARE(program, QFileInfo(adb.path("bin/adb")).absoluteFilePath());
    else
        QCOMPARE(program, QString());
}

void TestUsbControlStream::deviceCheckDecidesWhetherToForward_data()
{
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err");
    QTest::addColumn<bool>("attached");

    const QByteArray notice = "* daemon not running; starting now at tcp:5037\n* daemon started successfully\n";
    QTest::newRow("header only") << QByteArray("List of devices attached\n\n") << notice << false;
    QTest::newRow("notice before header, then a device") << notice + FakeAdb::kOneDevice << notice << true;
    QTest::newRow("unauthorized device") << QByteArray("List of devices attached\nR58M41ABCDE\tunauthorized\n")
                                         << QByteArray() << true;
    QTest::newRow("exactly 3 bytes after header") << QByteArray("List of devices attached\nab") << QByteArray()
                                                  << false;
    QTest::newRow("4 bytes after header") << QByteArray("List of devices attached\nabc") << QByteArray() << true;
    QTest::newRow("trailing whitespace does not count") << QByteArray("List of devices attached\n \t \n  \n")
                                                        << QByteArray() << false;
    QTest::newRow("30 bytes without header") << QByteArray("adb: no such command, sorry.\n") << QByteArray()
                                             << false;
    QTest::newRow("header in other case") << QByteArray("list of devices attached\nR58M41ABCDE\tdevice\n")
                                          << QByteArray() << false;
    QTest::newRow("device list on standard error only") << QByteArray() << FakeAdb::kOneDevice << false;
}

void TestUsbControlStream::deviceCheckDecidesWhetherToForward()
{
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);
    QFETCH(bool, attached);

    FakeAdb adb;
    adb.install(out, err);
    const quint16 port = freeLocalPort();
    UsbControlStream stream(port);
    const int result = stream.open();

    if (!attached) {
        QCOMPARE(result, -10);
        QCOMPARE(adb.runs(), QStringList{"devices"});
        // Nothing was opened, so nothing is stopped, and the stream fails like a closed socket.
        QCOMPARE(stream.close(), -1);
        unsigned char byte = 0;
        QVERIFY_THROWS_EXCEPTION(int, stream.read(&byte, 1));
        QVERIFY_THROWS_EXCEPTION(int, stream.write(&byte, 1));
        stream.read(&byte, 0);
        stream.write(&byte, 0);
        QCOMPARE(adb.runs(), QStringList{"devices"});
        return;
    }
    // Whether the connect succeeds depends on what listens on the port; the forward ran either way.
    QVERIFY(result != -10);
    QCOMPARE(adb.runs(), (QStringList{"devices", forward(port)}));
    stream.close();
    QCOMPARE(adb.runs().last(), QString("-d kill-server"));
}

void TestUsbControlStream::missingOrBrokenAdbMeansNoDeviceWithoutWaiting_data()
{
    QTest::addColumn<QByteArray>("localAdb"); // empty: no ./adb at all

    QTest::newRow("no adb anywhere") << QByteArray();
    QTest::newRow("./adb cannot be started") << QByteArray("#!/nonexistent/interpreter\n");
}

void TestUsbControlStream::missingOrBrokenAdbMeansNoDeviceWithoutWaiting()
{
    QFETCH(QByteArray, localAdb);

    FakeAdb adb;
    if (!localAdb.isEmpty())
        adb.writeScript("adb", localAdb);
    UsbControlStream stream(freeLocalPort());
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(stream.open(), -10);
    QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(stream.close(), -1);
}

void TestUsbControlStream::refusedConnectStillStopsTheAdbServerOnClose()
{
    FakeAdb adb;
    adb.install(FakeAdb::kOneDevice);
    const quint16 port = freeLocalPort();

    UsbControlStream stream(port);
    QCOMPARE(stream.open(), -5);
    QCOMPARE(adb.runs(), (QStringList{"devices", forward(port)}));
    QCOMPARE(stream.close(), 0);
    QCOMPARE(adb.runs(), (QStringList{"devices", forward(port), "-d kill-server"}));
    QCOMPARE(stream.close(), -1);
    QCOMPARE(adb.runs().size(), 3);
}

void TestUsbControlStream::bytesPassBothWaysThroughTheForward()
{
    FakeAdb adb;
    adb.install(FakeAdb::kOneDevice);
    QTcpServer server;
    QVERIFY2(server.listen(QHostAddress::LocalHost), qPrintable(server.errorString()));

    UsbControlStream stream(server.serverPort());
    QCOMPARE(stream.open(), 0);
    QVERIFY(server.waitForNewConnection(5000));
    std::unique_ptr<QTcpSocket> phone(server.nextPendingConnection());

    phone->write("\x00\x02\x13\xff", 4);
    QVERIFY(phone->waitForBytesWritten(5000));
    unsigned char reply[4];
    stream.read(reply, 4);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(reply), 4), QByteArray("\x00\x02\x13\xff", 4));

    stream.write(reinterpret_cast<const unsigned char *>("query"), 5);
    QByteArray received;
    while (received.size() < 5 && phone->waitForReadyRead(5000))
        received += phone->readAll();
    QCOMPARE(received, QByteArray("query"));

    QCOMPARE(stream.close(), 0);
    QCOMPARE(adb.runs(), (QStringList{"devices", forward(server.serverPort()), "-d kill-server"}));
    // The phone's end sees the connection close.
    QVERIFY(phone->state() == QAbstractSocket::UnconnectedState || phone->waitForDisconnected(5000));
}

void TestUsbControlStream::interruptCutsAHangingAdbShortOnAThreadWithoutEventLoop()
{
    FakeAdb adb;
    adb.install(FakeAdb::kOneDevice, {}, FakeAdb::WorkingDirectory, "devices");
    StreamInterrupt interrupt;
    std::atomic<int> result{1};
    const quint16 port = freeLocalPort();
    WorkerThread worker([&] {
        UsbControlStream stream(port, &interrupt);
        result = stream.open();
    });

    QTRY_VERIFY_WITH_TIMEOUT(adb.hangingPid() != 0, 10000);
    const qint64 pid = adb.hangingPid();
    QVERIFY(processExists(pid));

    QElapsedTimer timer;
    timer.start();
    interrupt.trigger();
    QVERIFY(worker.join(1000));
    QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(result.load(), -10);
    QCOMPARE(adb.runs(), QStringList{"devices"});
    QVERIFY2(!processExists(pid), "the hanging adb was left running or unreaped");
}

void TestUsbControlStream::closeWhileEndingGivesKillServerOnlyAShortWait()
{
    FakeAdb adb;
    adb.install(FakeAdb::kOneDevice, {}, FakeAdb::WorkingDirectory, "-d kill-server");
    StreamInterrupt interrupt;
    UsbControlStream stream(freeLocalPort(), &interrupt);
    QVERIFY(stream.open() != -10);

    interrupt.trigger();
    QElapsedTimer timer;
    timer.start();
    stream.close();
    // The stop is still attempted, and given about two seconds rather than thirty.
    QVERIFY2(timer.elapsed() >= 1500 && timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(adb.runs().last(), QString("-d kill-server"));
    const qint64 pid = adb.hangingPid();
    QVERIFY(pid != 0);
    QVERIFY2(!processExists(pid), "the hanging adb was left running or unreaped");
}

QTEST_GUILESS_MAIN(TestUsbControlStream)
#include "tst_usbcontrolstream.moc"
