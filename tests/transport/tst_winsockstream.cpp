#include "loopbackserver.h"
#include "streaminterrupt.h"
#include "winsockstream.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTest>

#include <arpa/inet.h>
#include <future>
#include <memory>
#include <thread>

using Server = LoopbackServer;

class TestWinSockStream : public QObject
{
    Q_OBJECT
private slots:
    void readsAReplyThatArrivesInPiecesWithPauses();
    void silenceFailsTheReadAfterFiveSecondsAndKeepsTheStreamOpen();
    void peerClosingDuringAReadClosesTheStream();
    void writeToAPeerThatLeftThrowsOneWithoutKillingTheProcess();
    void openFailsWithMinusFive_data();
    void openFailsWithMinusFive();
    void zeroLengthsReturnAtOnceEvenWhenClosed();
    void closedStreamThrowsZero();
    void interruptEndsAWaitingReadAtOnce();
    void interruptAbandonsAHostLookupThatHangs();
};

void TestWinSockStream::readsAReplyThatArrivesInPiecesWithPauses()
{
    // 3.6 s in all, but never 5 s of silence in one piece: the wait bounds the gaps, not the whole read.
    Server server({Server::receive(3), Server::send("ab"), Server::pause(1200), Server::send("cd"), Server::pause(1200),
                   Server::send("ef"), Server::pause(1200), Server::send("gh"), Server::hold()});
    WinSockStream stream("127.0.0.1", server.port());
    QCOMPARE(stream.open(), 0);
    stream.write(reinterpret_cast<const unsigned char *>("xyz"), 3);
    unsigned char buffer[8];
    stream.read(buffer, 8);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(buffer), 8), QByteArray("abcdefgh"));
    QVERIFY(server.waitFinished(0) == false);
    QCOMPARE(server.received(), QByteArray("xyz"));
    stream.close();
}

void TestWinSockStream::silenceFailsTheReadAfterFiveSecondsAndKeepsTheStreamOpen()
{
    Server server({Server::hold()});
    WinSockStream stream("127.0.0.1", server.port());
    QCOMPARE(stream.open(), 0);
    QElapsedTimer timer;
    timer.start();
    unsigned char byte;
    QVERIFY_THROWS_EXCEPTION(int, stream.read(&byte, 1));
    QVERIFY2(timer.elapsed() >= 4900 && timer.elapsed() < 7000, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(stream.isOpen());
    QCOMPARE(stream.close(), 0);
}

void TestWinSockStream::peerClosingDuringAReadClosesTheStream()
{
    Server server({Server::send("abc")}); // then the script ends and the connection closes
    WinSockStream stream("127.0.0.1", server.port());
    QCOMPARE(stream.open(), 0);
    unsigned char buffer[10];
    try {
        stream.read(buffer, 10);
        QFAIL("the read should have failed");
    } catch (int failure) {
        QCOMPARE(failure, 0);
    }
    QVERIFY(!stream.isOpen());
    QCOMPARE(stream.close(), -1); // the owner's close is then a no-op
}

void TestWinSockStream::writeToAPeerThatLeftThrowsOneWithoutKillingTheProcess()
{
    Server server({});
    WinSockStream stream("127.0.0.1", server.port());
    QCOMPARE(stream.open(), 0);
    QVERIFY(server.waitFinished(5000));
    const QByteArray block(64 * 1024, 'x');
    int failure = -1;
    try {
        // The first sends may still land in the socket buffer; a reset peer fails a later one.
        for (int i = 0; i < 200; ++i) {
            stream.write(reinterpret_cast<const unsigned char *>(block.constData()), int(block.size()));
            QThread::msleep(5);
        }
    } catch (int value) {
        failure = value;
    }
    QCOMPARE(failure, 1);
    QVERIFY(!stream.isOpen());
}

void TestWinSockStream::openFailsWithMinusFive_data()
{
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<bool>("listening");
    QTest::newRow("nothing listens") << QByteArray("127.0.0.1") << false;
    QTest::newRow("host does not resolve") << QByteArray("no-such-host.invalid") << false;
    QTest::newRow("empty host") << QByteArray() << false;
}

void TestWinSockStream::openFailsWithMinusFive()
{
    QFETCH(QByteArray, host);
    // A port that was free a moment ago: nothing listens there.
    quint16 port;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        port = probe.serverPort();
    }
    WinSockStream stream(host.toStdString(), port);
    QCOMPARE(stream.open(), -5);
    stream.close();
    QVERIFY(!stream.isOpen());
    QCOMPARE(stream.close(), -1);
}

void TestWinSockStream::zeroLengthsReturnAtOnceEvenWhenClosed()
{
    WinSockStream stream("127.0.0.1", 1);
    unsigned char byte = 0;
    stream.read(&byte, 0);
    stream.read(&byte, -1);
    stream.write(&byte, 0);
    QCOMPARE(stream.close(), -1); // never opened: nothing to do, also twice
    QCOMPARE(stream.close(), -1);
}

void TestWinSockStream::closedStreamThrowsZero()
{
    WinSockStream stream("127.0.0.1", 1);
    unsigned char byte = 0;
    try {
        stream.read(&byte, 1);
        QFAIL("read on a closed stream must throw");
    } catch (int failure) {
        QCOMPARE(failure, 0);
    }
    try {
        stream.write(&byte, 1);
        QFAIL("write on a closed stream must throw");
    } catch (int failure) {
        QCOMPARE(failure, 0);
    }
}

void TestWinSockStream::interruptEndsAWaitingReadAtOnce()
{
    Server server({Server::hold()});
    StreamInterrupt interrupt;
    WinSockStream stream("127.0.0.1", server.port(), &interrupt);
    QCOMPARE(stream.open(), 0);
    std::thread trigger([&] {
        QThread::msleep(200);
        interrupt.trigger();
    });
    QElapsedTimer timer;
    timer.start();
    unsigned char byte;
    QVERIFY_THROWS_EXCEPTION(int, stream.read(&byte, 1));
    trigger.join();
    QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(!stream.isOpen());

    // Reset, it no longer interrupts a new stream.
    interrupt.reset();
    QVERIFY(!interrupt.isTriggered());
    Server second({Server::send("z"), Server::hold()});
    WinSockStream next("127.0.0.1", second.port(), &interrupt);
    QCOMPARE(next.open(), 0);
    next.read(&byte, 1);
    QCOMPARE(byte, 'z');
}

void TestWinSockStream::interruptAbandonsAHostLookupThatHangs()
{
    // A lookup that answers only when the test lets it, long after the interrupt.
    std::promise<void> answer;
    const std::shared_future<void> answered = answer.get_future().share();
    auto lookupState = std::make_shared<int>(0); // lives as long as any copy of the resolver
    const std::weak_ptr<int> lookupAlive = lookupState;
    StreamInterrupt interrupt;
    {
        WinSockStream stream("phone.invalid", 8123, &interrupt, WinSockStream::kReadTimeoutMs,
                             [answered, lookupState](const std::string &) -> std::optional<std::uint32_t> {
                                 answered.wait();
                                 return htonl(INADDR_LOOPBACK);
                             });
        lookupState.reset();
        std::thread trigger([&interrupt] {
            QThread::msleep(200);
            interrupt.trigger();
        });
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(stream.open(), -5);
        const qint64 elapsed = timer.elapsed();
        trigger.join();
        QVERIFY2(elapsed < 1200, qPrintable(QString::number(elapsed)));
    }
    // The stream is gone; the lookup, let go, ends alone and frees everything it held.
    answer.set_value();
    QTRY_VERIFY(lookupAlive.expired());
}

QTEST_GUILESS_MAIN(TestWinSockStream)
#include "tst_winsockstream.moc"
