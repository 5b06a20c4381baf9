#include "memorystream.h"

#include <QTest>

class TestTransportStream : public QObject
{
    Q_OBJECT
private slots:
    void readersDecodeBigEndian_data();
    void readersDecodeBigEndian();
    void writersPutEachValueInOneCall();
    void skipIgnoresCountsBelowOne();
    void skipConsumesExactlyTheCount();
    void skipSwallowsAFailedRead();
    void readersLetTheFailurePass();
};

void TestTransportStream::readersDecodeBigEndian_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("expected");
    QTest::newRow("u8") << QByteArray("\xff", 1) << 1 << 255;
    QTest::newRow("u16 258") << QByteArray("\x01\x02", 2) << 2 << 258;
    QTest::newRow("u16 max") << QByteArray("\xff\xff", 2) << 2 << 65535;
    QTest::newRow("u32 256") << QByteArray("\x00\x00\x01\x00", 4) << 4 << 256;
    QTest::newRow("u32 top bit is negative") << QByteArray("\x80\x00\x00\x00", 4) << 4 << int(0x80000000u);
    QTest::newRow("u32 all ones is -1") << QByteArray("\xff\xff\xff\xff", 4) << 4 << -1;
}

void TestTransportStream::readersDecodeBigEndian()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, width);
    QFETCH(int, expected);
    MemoryStream stream(bytes);
    const int value = width == 1 ? stream.readU8() : width == 2 ? stream.readU16() : stream.readU32();
    QCOMPARE(value, expected);
    QCOMPARE(stream.readCalls, 1); // one read for the whole integer, not byte by byte
    QCOMPARE(stream.unreadBytes(), 0);
}

void TestTransportStream::writersPutEachValueInOneCall()
{
    MemoryStream stream;
    stream.writeU32(2);
    stream.writeU8(0x113);
    stream.writeU32(-2);
    const QList<QByteArray> expected = {QByteArray("\x00\x00\x00\x02", 4), QByteArray("\x13"),
                                        QByteArray("\xff\xff\xff\xfe", 4)};
    QCOMPARE(stream.writes, expected);
}

void TestTransportStream::skipIgnoresCountsBelowOne()
{
    MemoryStream stream(QByteArray("abc"));
    stream.skip(0);
    stream.skip(-3);
    QCOMPARE(stream.readCalls, 0);
    QCOMPARE(stream.unreadBytes(), 3);
}

void TestTransportStream::skipConsumesExactlyTheCount()
{
    // More than one internal piece, and one byte left behind for the next reader.
    const int count = 100000;
    MemoryStream stream(QByteArray(count, 'x') + "!");
    stream.skip(count);
    QCOMPARE(stream.unreadBytes(), 1);
    QCOMPARE(stream.readU8(), int('!'));
}

void TestTransportStream::skipSwallowsAFailedRead()
{
    MemoryStream stream(QByteArray(3, 'x'));
    stream.skip(4);                 // the stream runs dry: the failure stays inside skip
    stream.skip(int(0x7fffffff));   // an absurd count from the wire neither allocates nor throws
    QVERIFY(stream.readCalls >= 2);
}

void TestTransportStream::readersLetTheFailurePass()
{
    MemoryStream stream(QByteArray("\x01", 1));
    QVERIFY_THROWS_EXCEPTION(int, stream.readU16());
    QVERIFY_THROWS_EXCEPTION(int, stream.readU32());
}

QTEST_GUILESS_MAIN(TestTransportStream)
#include "tst_transportstream.moc"
