#include "cameraprotocol.h"
#include "jpegencoder.h"
#include "loopbackserver.h"
#include "memorystream.h"
#include "videoframe.h"
#include "winsockstream.h"
#include "wirebytes.h"

#include <QTest>

using Server = LoopbackServer;

namespace {
QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out.append(char(v));
    return out;
}
const QByteArray kVersionRequest = bytes({1, 0, 0, 0, 2, 2, 19});
const QByteArray kResolutionRequest = bytes({2, 0, 0, 0, 0});
} // namespace

class TestCameraProtocol : public QObject
{
    Q_OBJECT
private slots:
    void versionQuery_data();
    void versionQuery();
    void resolutionQuery_data();
    void resolutionQuery();
    void command3EchoesItsByte();
    void nullStreamFailsWithoutIo();
    void versionStandsWhenThePeerClosesDuringTheSkip();
    void receivesAndDecodesAFrame();
    void emptyJpegGivesAnUndecodedFrame();
    void absurdLengthsEndTheStream_data();
    void absurdLengthsEndTheStream();
    void silenceAfterTheLengthGivesNull();
};

void TestCameraProtocol::versionQuery_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("major");
    QTest::addColumn<int>("minor");
    QTest::addColumn<int>("third");
    QTest::addColumn<int>("unread");
    QTest::newRow("exact") << bytes({1, 0, 0, 0, 3, 2, 19, 7}) << true << 2 << 19 << 7 << 0;
    QTest::newRow("surplus discarded") << bytes({1, 0, 0, 0, 5, 2, 19, 7, 0xAA, 0xBB, 0x42}) << true << 2 << 19 << 7 << 1;
    QTest::newRow("payload too short stays unread") << bytes({1, 0, 0, 0, 2, 2, 19}) << false << 0 << 0 << 0 << 2;
    QTest::newRow("wrong command") << bytes({2, 0, 0, 0, 3, 2, 19, 7}) << false << 0 << 0 << 0 << 3;
    QTest::newRow("negative length") << bytes({1, 0xff, 0xff, 0xff, 0xff, 2, 19, 7}) << false << 0 << 0 << 0 << 3;
    QTest::newRow("cut short") << bytes({1, 0, 0, 0, 3, 2}) << false << 2 << 0 << 0 << 0;
}

void TestCameraProtocol::versionQuery()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, ok);
    QFETCH(int, major);
    QFETCH(int, minor);
    QFETCH(int, third);
    QFETCH(int, unread);
    MemoryStream stream(reply);
    CameraProtocol protocol(&stream);
    unsigned char a = 0, b = 0, c = 0;
    QCOMPARE(protocol.queryVersion(a, b, c), ok);
    QCOMPARE(int(a), major);
    QCOMPARE(int(b), minor);
    QCOMPARE(int(c), third);
    QCOMPARE(stream.unreadBytes(), unread);
    QCOMPARE(stream.written(), kVersionRequest);
    QCOMPARE(stream.writes.size(), 4); // command, length, major, minor: four writes
}

void TestCameraProtocol::resolutionQuery_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("unread");
    QTest::newRow("640x480") << bytes({2, 0, 0, 0, 5, 1, 2, 0x80, 1, 0xE0}) << true << 640 << 480 << 0;
    QTest::newRow("status 0 still stores the size") << bytes({2, 0, 0, 0, 5, 0, 2, 0x80, 1, 0xE0}) << false << 640 << 480 << 0;
    QTest::newRow("payload length 4") << bytes({2, 0, 0, 0, 4, 1, 2, 0x80, 1}) << false << -1 << -1 << 4;
    QTest::newRow("surplus") << bytes({2, 0, 0, 0, 6, 1, 0xff, 0xff, 0, 0, 9}) << true << 65535 << 0 << 0;
}

void TestCameraProtocol::resolutionQuery()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, ok);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, unread);
    MemoryStream stream(reply);
    CameraProtocol protocol(&stream);
    int w = -1, h = -1;
    QCOMPARE(protocol.queryResolution(w, h), ok);
    QCOMPARE(w, width);
    QCOMPARE(h, height);
    QCOMPARE(stream.unreadBytes(), unread);
    QCOMPARE(stream.written(), kResolutionRequest);
}

void TestCameraProtocol::command3EchoesItsByte()
{
    MemoryStream stream(bytes({3, 0, 0, 0, 2, 0x5A, 0x00}));
    CameraProtocol protocol(&stream);
    unsigned char value = 0;
    QVERIFY(protocol.queryCommand3(value));
    QCOMPARE(value, 0x5A);
    QCOMPARE(stream.written(), bytes({3, 0, 0, 0, 0}));
    QCOMPARE(stream.unreadBytes(), 0);
}

void TestCameraProtocol::nullStreamFailsWithoutIo()
{
    CameraProtocol protocol(nullptr);
    unsigned char a, b, c;
    int w, h;
    QVERIFY(!protocol.queryVersion(a, b, c));
    QVERIFY(!protocol.queryResolution(w, h));
    QVERIFY(!protocol.queryCommand3(a));
    QVERIFY(!protocol.receiveFrame(640, 480));
}

void TestCameraProtocol::versionStandsWhenThePeerClosesDuringTheSkip()
{
    // Announces 100 surplus bytes, sends 2 of them and hangs up.
    Server server({Server::receive(7), Server::send(bytes({1, 0, 0, 0, 103, 2, 19, 0, 0xAA, 0xBB}))});
    WinSockStream stream("127.0.0.1", server.port());
    QCOMPARE(stream.open(), 0);
    CameraProtocol protocol(&stream);
    unsigned char major, minor, third;
    QVERIFY(protocol.queryVersion(major, minor, third));
    QCOMPARE(int(minor), 19);
    int w, h;
    QVERIFY(!protocol.queryResolution(w, h));
    QCOMPARE(server.received(), kVersionRequest);
}

void TestCameraProtocol::receivesAndDecodesAFrame()
{
    std::vector<unsigned char> pixels(64 * 48 * 3, 0x80);
    const std::vector<unsigned char> jpeg = encodeJpeg(pixels.data(), 64, 48);
    QVERIFY(!jpeg.empty());
    const int n = int(jpeg.size());
    QByteArray wire = bigEndianU32(quint32(n));
    wire.append(reinterpret_cast<const char *>(jpeg.data()), n);
    MemoryStream stream(wire + wire);
    CameraProtocol protocol(&stream);
    for (int i = 0; i < 2; ++i) {
        const auto frame = protocol.receiveFrame(64, 48);
        QVERIFY(frame);
        QVERIFY(frame->isDecoded());
        QVERIFY(qAbs(frame->data()[0] - 0x80) <= 2);
    }
    QCOMPARE(stream.unreadBytes(), 0);
}

void TestCameraProtocol::emptyJpegGivesAnUndecodedFrame()
{
    MemoryStream stream(bytes({0, 0, 0, 0}));
    CameraProtocol protocol(&stream);
    const auto frame = protocol.receiveFrame(4, 4);
    QVERIFY(frame);
    QVERIFY(!frame->isDecoded());
}

void TestCameraProtocol::absurdLengthsEndTheStream_data()
{
    QTest::addColumn<QByteArray>("prefix");
    QTest::newRow("negative") << bytes({0xff, 0xff, 0xff, 0xfe});
    QTest::newRow("most negative") << bytes({0x80, 0, 0, 0});
    QTest::newRow("2 GiB") << bytes({0x7f, 0xff, 0xff, 0xff});
    QTest::newRow("more than any 640x480 JPEG") << bytes({0x00, 0x80, 0x00, 0x00});
}

void TestCameraProtocol::absurdLengthsEndTheStream()
{
    QFETCH(QByteArray, prefix);
    MemoryStream stream(prefix + QByteArray(1000, 'x'));
    CameraProtocol protocol(&stream);
    QVERIFY(!protocol.receiveFrame(640, 480));
    QCOMPARE(stream.unreadBytes(), 1000); // nothing read, nothing allocated for it
}

void TestCameraProtocol::silenceAfterTheLengthGivesNull()
{
    Server server({Server::send(bytes({0, 0, 0x10, 0})), Server::hold()});
    WinSockStream stream("127.0.0.1", server.port());
    QCOMPARE(stream.open(), 0);
    CameraProtocol protocol(&stream);
    QVERIFY(!protocol.receiveFrame(640, 480)); // after the five-second wait; leak-checked by the sanitizer build
    stream.close();
}

QTEST_GUILESS_MAIN(TestCameraProtocol)
#include "tst_cameraprotocol.moc"
