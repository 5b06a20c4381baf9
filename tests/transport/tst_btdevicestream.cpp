#include "btdevicestream.h"
#include "fakebtstream.h"
#include "streaminterrupt.h"

#include <QElapsedTimer>
#include <QTest>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// Every byte of the record differs from its neighbours, the bytes after the name's 0 unit included,
// so that any byte lost or moved on the way to the library shows.
BtDeviceInfo patternedRecord()
{
    BtDeviceInfo device;
    auto *bytes = reinterpret_cast<unsigned char *>(&device);
    for (size_t i = 0; i < sizeof device; ++i)
        bytes[i] = static_cast<unsigned char>(i * 7 + 3);
    const char16_t name[] = u"Pixel 7";
    std::memcpy(device.name, name, sizeof name);
    return device;
}

bool sameRecord(const BtDeviceInfo &a, const BtDeviceInfo &b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

void phoneSends(int phone, const QByteArray &bytes)
{
    QCOMPARE(::send(phone, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL), ssize_t(bytes.size()));
}

QByteArray phoneReceives(int phone, int length)
{
    QByteArray bytes(length, '\0');
    const ssize_t n = ::recv(phone, bytes.data(), size_t(length), MSG_WAITALL);
    bytes.truncate(n < 0 ? 0 : int(n));
    return bytes;
}

// True when the stream's end of the pair is closed: the phone reads the end of the stream.
bool phoneSeesEnd(int phone)
{
    pollfd waiting{phone, POLLIN, 0};
    char byte;
    return ::poll(&waiting, 1, 2000) == 1 && ::recv(phone, &byte, 1, MSG_DONTWAIT) == 0;
}

constexpr int kNothingThrown = -1;

// The int a transfer threw, or kNothingThrown.
int failureOf(auto &&transfer)
{
    try {
        transfer();
    } catch (int failure) {
        return failure;
    }
    return kNothingThrown;
}

} // namespace

class TestBtDeviceStream : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void openConnectsToTheCameraServiceWithTheRecordAsGiven();
    void failedConnectGivesMinusFiveAndReleasesTheLibraryOnce();
    void readGathersBytesThatArriveInPieces();
    void phoneEndingTheConnectionDuringAReadClosesTheStream_data();
    void phoneEndingTheConnectionDuringAReadClosesTheStream();
    void sendToAPhoneThatLeftThrowsOneWithoutSigpipe();
    void interruptEndsAWaitingReadAtOnce();
    void interruptEndsAConnectThatHangsWhichLaterClosesItsSocket();
    void streamIsReleasedExactlyOnce_data();
    void streamIsReleasedExactlyOnce();
    void closedStreamThrowsZeroButEmptyTransfersReturn_data();
    void closedStreamThrowsZeroButEmptyTransfersReturn();
};

void TestBtDeviceStream::init()
{
    FakeBtStream::reset();
}

void TestBtDeviceStream::cleanup()
{
    FakeBtStream::reset();
}

void TestBtDeviceStream::openConnectsToTheCameraServiceWithTheRecordAsGiven()
{
    BtDeviceInfo device = patternedRecord();
    const BtDeviceInfo original = device;
    BtDeviceStream stream(device, nullptr, FakeBtStream::library());
    device.address[0] ^= 0xff; // the stream keeps its own copy
    device.name[0] = u'X';
    QCOMPARE(FakeBtStream::connectCalls(), 0); // constructing connects nothing

    QCOMPARE(stream.open(), 0);
    QVERIFY(stream.isOpen());
    QCOMPARE(FakeBtStream::connectCalls(), 1);
    QCOMPARE(FakeBtStream::lastServiceName(), std::string("Bluetooth Camera Server"));
    QVERIFY(sameRecord(FakeBtStream::lastDevice(), original));
    QCOMPARE(FakeBtStream::closeCalls(), 0);

    // Bytes move both ways over the descriptor the library handed out.
    const int phone = FakeBtStream::phoneEnd();
    stream.write(reinterpret_cast<const unsigned char *>("hello"), 5);
    QCOMPARE(phoneReceives(phone, 5), QByteArray("hello"));
    phoneSends(phone, "abc");
    unsigned char reply[3];
    stream.read(reply, 3);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(reply), 3), QByteArray("abc"));
}

void TestBtDeviceStream::failedConnectGivesMinusFiveAndReleasesTheLibraryOnce()
{
    FakeBtStream::setConnectFails(true);
    {
        BtDeviceStream stream(BtDeviceInfo{}, nullptr, FakeBtStream::library());
        QCOMPARE(stream.open(), -5);
        QVERIFY(!stream.isOpen());
        QCOMPARE(FakeBtStream::connectCalls(), 1);
        QCOMPARE(FakeBtStream::closeCalls(), 1);
        stream.close(); // the owner's close after a failed open finds nothing left to release
        QCOMPARE(FakeBtStream::closeCalls(), 1);
    }
    QCOMPARE(FakeBtStream::closeCalls(), 1);
}

void TestBtDeviceStream::readGathersBytesThatArriveInPieces()
{
    BtDeviceStream stream(patternedRecord(), nullptr, FakeBtStream::library());
    QCOMPARE(stream.open(), 0);
    const int phone = FakeBtStream::phoneEnd();
    std::thread sender([phone] {
        ::send(phone, "0123", 4, MSG_NOSIGNAL);
        QThread::msleep(300);
        ::send(phone, "456789", 6, MSG_NOSIGNAL);
    });
    unsigned char buffer[10];
    const int failure = failureOf([&] { stream.read(buffer, 10); });
    sender.join();
    QCOMPARE(failure, kNothingThrown);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(buffer), 10), QByteArray("0123456789"));
    QVERIFY(stream.isOpen());
}

void TestBtDeviceStream::phoneEndingTheConnectionDuringAReadClosesTheStream_data()
{
    QTest::addColumn<QByteArray>("sentFirst");
    QTest::newRow("nothing sent") << QByteArray();
    QTest::newRow("part of the bytes sent") << QByteArray("abc");
}

void TestBtDeviceStream::phoneEndingTheConnectionDuringAReadClosesTheStream()
{
    QFETCH(QByteArray, sentFirst);
    BtDeviceStream stream(patternedRecord(), nullptr, FakeBtStream::library());
    QCOMPARE(stream.open(), 0);
    const int phone = FakeBtStream::phoneEnd();
    // The phone's end stays open (the fake owns it); shutting it down is the phone hanging up.
    std::thread phoneSide([phone, sentFirst] {
        if (!sentFirst.isEmpty())
            ::send(phone, sentFirst.constData(), size_t(sentFirst.size()), MSG_NOSIGNAL);
        QThread::msleep(200);
        ::shutdown(phone, SHUT_RDWR);
    });
    unsigned char buffer[10];
    const int readFailure = failureOf([&] { stream.read(buffer, 10); });
    phoneSide.join();
    QCOMPARE(readFailure, 0);
    QVERIFY(!stream.isOpen());
    QCOMPARE(FakeBtStream::closeCalls(), 1);

    const int writeFailure = failureOf([&] { stream.write(buffer, 1); });
    QCOMPARE(writeFailure, 0);
    stream.close();
    QCOMPARE(FakeBtStream::closeCalls(), 1);
}

void TestBtDeviceStream::sendToAPhoneThatLeftThrowsOneWithoutSigpipe()
{
    // With the default action a SIGPIPE would end this process, so the test fails loudly if one comes.
    struct sigaction previous;
    struct sigaction byDefault{};
    byDefault.sa_handler = SIG_DFL;
    QCOMPARE(::sigaction(SIGPIPE, &byDefault, &previous), 0);

    BtDeviceStream stream(patternedRecord(), nullptr, FakeBtStream::library());
    QCOMPARE(stream.open(), 0);
    FakeBtStream::closePhoneEnd();
    const int failure = failureOf([&] { stream.write(reinterpret_cast<const unsigned char *>("hello"), 5); });
    ::sigaction(SIGPIPE, &previous, nullptr);

    QCOMPARE(failure, 1);
    QVERIFY(!stream.isOpen());
    QCOMPARE(FakeBtStream::closeCalls(), 1);
}

void TestBtDeviceStream::interruptEndsAWaitingReadAtOnce()
{
    StreamInterrupt interrupt;
    BtDeviceStream stream(patternedRecord(), &interrupt, FakeBtStream::library());
    QCOMPARE(stream.open(), 0);
    std::thread trigger([&interrupt] {
        QThread::msleep(200);
        interrupt.trigger();
    });
    QElapsedTimer timer;
    timer.start();
    unsigned char byte;
    const int failure = failureOf([&] { stream.read(&byte, 1); });
    const qint64 elapsed = timer.elapsed();
    trigger.join();
    QCOMPARE(failure, 0);
    QVERIFY2(elapsed < 5000, qPrintable(QString::number(elapsed))); // not the 30 s wait for data
    QVERIFY(!stream.isOpen());
    QCOMPARE(FakeBtStream::closeCalls(), 1);
}

void TestBtDeviceStream::interruptEndsAConnectThatHangsWhichLaterClosesItsSocket()
{
    FakeBtStream::setConnectHangs(true);
    StreamInterrupt interrupt;
    BtDeviceStream stream(patternedRecord(), &interrupt, FakeBtStream::library());
    std::thread trigger([&interrupt] {
        QThread::msleep(200);
        interrupt.trigger();
    });
    QElapsedTimer timer;
    timer.start();
    const int opened = stream.open();
    const qint64 elapsed = timer.elapsed();
    trigger.join();
    QCOMPARE(opened, -5);
    QVERIFY2(elapsed < 1200, qPrintable(QString::number(elapsed)));
    QVERIFY(!stream.isOpen());

    // The phone answers after all: the connect left behind closes the socket it got and releases the
    // library's side, once; the stream has nothing left to release.
    FakeBtStream::setConnectHangs(false);
    QTRY_COMPARE(FakeBtStream::closeCalls(), 1);
    QVERIFY(phoneSeesEnd(FakeBtStream::phoneEnd()));
    QCOMPARE(stream.close(), -1);
    QCOMPARE(FakeBtStream::closeCalls(), 1);
}

void TestBtDeviceStream::streamIsReleasedExactlyOnce_data()
{
    QTest::addColumn<int>("closesBeforeDestruction");
    QTest::newRow("destroyed while open") << 0;
    QTest::newRow("closed, then destroyed") << 1;
    QTest::newRow("closed twice, then destroyed") << 2;
}

void TestBtDeviceStream::streamIsReleasedExactlyOnce()
{
    QFETCH(int, closesBeforeDestruction);
    auto stream = std::make_unique<BtDeviceStream>(patternedRecord(), nullptr, FakeBtStream::library());
    QCOMPARE(stream->open(), 0);
    const int phone = FakeBtStream::phoneEnd();
    const int handedOut = FakeBtStream::handedOut();

    if (closesBeforeDestruction == 0) {
        stream.reset();
    } else {
        QCOMPARE(stream->close(), 0);
        QVERIFY(!stream->isOpen());
    }
    QVERIFY(phoneSeesEnd(phone));
    QCOMPARE(FakeBtStream::closeCalls(), 1);

    // Something else of the process now has the freed descriptor's number: a second close of the
    // socket would take it away.
    QCOMPARE(::dup2(phone, handedOut), handedOut);
    for (int i = 1; i < closesBeforeDestruction; ++i)
        stream->close();
    stream.reset();
    QVERIFY(::fcntl(handedOut, F_GETFD) != -1);
    ::close(handedOut);
    QCOMPARE(FakeBtStream::closeCalls(), 1);
}

void TestBtDeviceStream::closedStreamThrowsZeroButEmptyTransfersReturn_data()
{
    QTest::addColumn<QString>("history");
    QTest::newRow("never opened") << QString();
    QTest::newRow("closed after open") << QStringLiteral("close");
    QTest::newRow("open failed") << QStringLiteral("failed open");
}

void TestBtDeviceStream::closedStreamThrowsZeroButEmptyTransfersReturn()
{
    QFETCH(QString, history);
    BtDeviceStream stream(patternedRecord(), nullptr, FakeBtStream::library());
    if (history == QLatin1String("close")) {
        QCOMPARE(stream.open(), 0);
        stream.close();
    } else if (history == QLatin1String("failed open")) {
        FakeBtStream::setConnectFails(true);
        QCOMPARE(stream.open(), -5);
    }
    unsigned char byte = 0;
    for (const int length : {0, -1}) {
        QCOMPARE(failureOf([&] { stream.read(&byte, length); }), kNothingThrown);
        QCOMPARE(failureOf([&] { stream.write(&byte, length); }), kNothingThrown);
    }
    QCOMPARE(failureOf([&] { stream.read(&byte, 1); }), 0);
    QCOMPARE(failureOf([&] { stream.write(&byte, 1); }), 0);
}

QTEST_GUILESS_MAIN(TestBtDeviceStream)
#include "tst_btdevicestream.moc"
