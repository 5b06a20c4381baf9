#include "jpegdecoder.h"
#include "simulatorprocess.h"
#include "wirebytes.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <memory>
#include <vector>

namespace {

const QByteArray versionQuery = QByteArray::fromHex("01000000020213");
const QByteArray resolutionQuery = QByteArray::fromHex("0200000000");
const QByteArray command3Query = QByteArray::fromHex("0300000000");

std::unique_ptr<QTcpSocket> connectTo(quint16 port)
{
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(QHostAddress::LocalHost, port);
    if (!socket->waitForConnected(5000))
        return nullptr;
    return socket;
}

// Up to n bytes: fewer when the connection ends or nothing more comes within timeoutMs.
QByteArray readExactly(QTcpSocket &socket, qint64 n, int timeoutMs = 10000)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (socket.bytesAvailable() < n && !deadline.hasExpired()) {
        if (!socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime()))))
            break;
    }
    return socket.read(n);
}

QByteArray request(QTcpSocket &socket, const QByteArray &query, qint64 replySize)
{
    socket.write(query);
    socket.waitForBytesWritten(5000);
    return readExactly(socket, replySize);
}

// One frame record: the raw length prefix and the JPEG bytes that follow it.
struct Frame
{
    QByteArray prefix;
    QByteArray jpeg;
};

Frame readFrame(QTcpSocket &socket)
{
    Frame frame;
    frame.prefix = readExactly(socket, 4);
    if (frame.prefix.size() == 4)
        frame.jpeg = readExactly(socket, qFromBigEndian<quint32>(frame.prefix.constData()));
    return frame;
}

bool decodes(const QByteArray &jpeg, int width, int height)
{
    JpegDecoder decoder;
    decoder.init();
    std::vector<unsigned char> pixels(std::size_t(width) * std::size_t(height) * 3);
    return decoder.decode(reinterpret_cast<const unsigned char *>(jpeg.constData()), (unsigned long)jpeg.size(),
                          pixels.data(), width, height) != 0;
}

// Runs the handshake of the real client and returns the socket ready for frames.
std::unique_ptr<QTcpSocket> handshaken(const SimulatorProcess &simulator)
{
    auto socket = connectTo(simulator.port());
    if (!socket || request(*socket, versionQuery, 8).size() != 8 || request(*socket, resolutionQuery, 10).size() != 10)
        return nullptr;
    return socket;
}

} // namespace

class TestPhoneSim : public QObject
{
    Q_OBJECT
private slots:
    void repliesToEachRequestAsConfigured_data();
    void repliesToEachRequestAsConfigured();
    void framesDecodeAtTheEncodedSize_data();
    void framesDecodeAtTheEncodedSize();
    void stopsAfterTheAskedNumberOfFrames_data();
    void stopsAfterTheAskedNumberOfFrames();
    void closesOnGarbageAndServesTheNextClient_data();
    void closesOnGarbageAndServesTheNextClient();
    void writtenFramesStreamBackByteForByte_data();
    void writtenFramesStreamBackByteForByte();
};

void TestPhoneSim::repliesToEachRequestAsConfigured_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("versionReply");
    QTest::addColumn<QByteArray>("command3Reply");
    QTest::addColumn<QByteArray>("resolutionReply");
    QTest::addColumn<bool>("framesFollow");

    QTest::newRow("defaults") << QStringList{} << QByteArray::fromHex("0100000003021300")
                              << QByteArray::fromHex("030000000100") << QByteArray::fromHex("0200000005010280" "01e0")
                              << true;
    QTest::newRow("other version, size and a failed status")
        << QStringList{"--version", "3.7", "--third-byte", "9", "--command3", "42", "--size", "320x200", "--status", "0"}
        << QByteArray::fromHex("0100000003030709") << QByteArray::fromHex("03000000012a")
        << QByteArray::fromHex("020000000500014000c8") << false;
    QTest::newRow("surplus bytes in both replies")
        << QStringList{"--surplus", "2", "--size", "160x120"} << QByteArray::fromHex("01000000050213" "00eeee")
        << QByteArray::fromHex("030000000100") << QByteArray::fromHex("020000000701" "00a00078eeee") << true;
    // The version reply counts four bytes it never sends: nothing may follow before the next request.
    QTest::newRow("claimed surplus never sent")
        << QStringList{"--claim-surplus", "4", "--size", "160x120"} << QByteArray::fromHex("0100000007021300")
        << QByteArray::fromHex("030000000100") << QByteArray::fromHex("0200000005" "0100a00078") << true;
}

void TestPhoneSim::repliesToEachRequestAsConfigured()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, versionReply);
    QFETCH(QByteArray, command3Reply);
    QFETCH(QByteArray, resolutionReply);
    QFETCH(bool, framesFollow);

    SimulatorProcess simulator(arguments);
    QVERIFY2(simulator.start(), qPrintable(simulator.errorString()));
    auto socket = connectTo(simulator.port());
    QVERIFY(socket);
    QCOMPARE(request(*socket, versionQuery, versionReply.size()).toHex(' '), versionReply.toHex(' '));
    QCOMPARE(request(*socket, command3Query, command3Reply.size()).toHex(' '), command3Reply.toHex(' '));
    QCOMPARE(request(*socket, resolutionQuery, resolutionReply.size()).toHex(' '), resolutionReply.toHex(' '));
    if (framesFollow) {
        QVERIFY(readFrame(*socket).jpeg.startsWith("\xff\xd8"));
    } else {
        QVERIFY(!socket->waitForReadyRead(300));
        QCOMPARE(socket->state(), QAbstractSocket::ConnectedState);
    }
}

void TestPhoneSim::framesDecodeAtTheEncodedSize_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QSize>("encoded");
    QTest::addColumn<bool>("decodesAtAnnouncedSize");

    QTest::newRow("generated") << QStringList{"--size", "320x240"} << QSize(320, 240) << true;
    QTest::newRow("in pieces with pauses") << QStringList{"--size", "320x240", "--chunk", "1000", "--chunk-pause", "2"}
                                           << QSize(320, 240) << true;
    QTest::newRow("another size than announced") << QStringList{"--size", "320x240", "--wrong-size", "176x144"}
                                                 << QSize(176, 144) << false;
}

void TestPhoneSim::framesDecodeAtTheEncodedSize()
{
    QFETCH(QStringList, arguments);
    QFETCH(QSize, encoded);
    QFETCH(bool, decodesAtAnnouncedSize);

    SimulatorProcess simulator(arguments << "--fps" << "0");
    QVERIFY2(simulator.start(), qPrintable(simulator.errorString()));
    auto socket = handshaken(simulator);
    QVERIFY(socket);
    QByteArray previous;
    for (int i = 0; i < 3; ++i) {
        const Frame frame = readFrame(*socket);
        QCOMPARE(frame.jpeg.size(), qint64(qFromBigEndian<quint32>(frame.prefix.constData())));
        QVERIFY2(decodes(frame.jpeg, encoded.width(), encoded.height()), qPrintable(QString::number(i)));
        QCOMPARE(decodes(frame.jpeg, 320, 240), decodesAtAnnouncedSize);
        QVERIFY2(frame.jpeg != previous, "the picture should move");
        previous = frame.jpeg;
    }
}

void TestPhoneSim::stopsAfterTheAskedNumberOfFrames_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("frames");
    QTest::addColumn<bool>("closes");

    QTest::newRow("close after 2") << QStringList{"--close-after", "2"} << 2 << true;
    QTest::newRow("close before any frame") << QStringList{"--close-after", "0"} << 0 << true;
    QTest::newRow("silent after 2") << QStringList{"--silent-after", "2"} << 2 << false;
}

void TestPhoneSim::stopsAfterTheAskedNumberOfFrames()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, frames);
    QFETCH(bool, closes);

    SimulatorProcess simulator(arguments << "--size" << "160x120" << "--fps" << "0" << "--once");
    QVERIFY2(simulator.start(), qPrintable(simulator.errorString()));
    auto socket = handshaken(simulator);
    QVERIFY(socket);
    for (int i = 0; i < frames; ++i)
        QVERIFY(decodes(readFrame(*socket).jpeg, 160, 120));
    if (closes) {
        QVERIFY(readExactly(*socket, 1, 5000).isEmpty());
        QCOMPARE(socket->state(), QAbstractSocket::UnconnectedState);
    } else {
        QVERIFY(!socket->waitForReadyRead(500));
        QCOMPARE(socket->state(), QAbstractSocket::ConnectedState);
        socket->disconnectFromHost();
    }
    QVERIFY(simulator.waitForExit(10000));
    QCOMPARE(simulator.exitCode(), 0);
}

void TestPhoneSim::closesOnGarbageAndServesTheNextClient_data()
{
    QTest::addColumn<bool>("afterHandshake");
    QTest::addColumn<QByteArray>("garbage");

    QTest::newRow("unknown command") << false << QByteArray::fromHex("0700000000");
    QTest::newRow("version query of another client") << false << QByteArray::fromHex("01000000020214");
    QTest::newRow("resolution query with a payload") << false << QByteArray::fromHex("020000000100");
    QTest::newRow("any byte once frames flow") << true << QByteArray("x");
}

void TestPhoneSim::closesOnGarbageAndServesTheNextClient()
{
    QFETCH(bool, afterHandshake);
    QFETCH(QByteArray, garbage);

    SimulatorProcess simulator({"--size", "160x120", "--fps", "0"});
    QVERIFY2(simulator.start(), qPrintable(simulator.errorString()));
    auto socket = afterHandshake ? handshaken(simulator) : connectTo(simulator.port());
    QVERIFY(socket);
    socket->write(garbage);
    QVERIFY(socket->waitForBytesWritten(5000));
    const QDeadlineTimer deadline(5000);
    while (socket->state() == QAbstractSocket::ConnectedState && !deadline.hasExpired()) {
        socket->waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        if (!afterHandshake)
            QCOMPARE(socket->readAll(), QByteArray());
        socket->readAll(); // frames sent before the garbage was seen
    }
    QCOMPARE(socket->state(), QAbstractSocket::UnconnectedState);

    auto next = handshaken(simulator);
    QVERIFY(next);
    QVERIFY(decodes(readFrame(*next).jpeg, 160, 120));
}

void TestPhoneSim::writtenFramesStreamBackByteForByte_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("firstPrefix"); // empty: the first file's real length

    QTest::newRow("real lengths") << QStringList{} << QByteArray();
    QTest::newRow("negative first length") << QStringList{"--length-prefix", "-5"} << QByteArray::fromHex("fffffffb");
    QTest::newRow("zero first length") << QStringList{"--length-prefix", "0"} << QByteArray::fromHex("00000000");
    QTest::newRow("largest first length") << QStringList{"--length-prefix", "2147483647"}
                                          << QByteArray::fromHex("7fffffff");
}

void TestPhoneSim::writtenFramesStreamBackByteForByte()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, firstPrefix);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString folder = dir.filePath("frames");
    QCOMPARE(SimulatorProcess::run({"--write-frames", folder, "--count", "3", "--size", "160x120"}), 0);
    QCOMPARE(QDir(folder).entryList(QDir::Files),
             QStringList({"frame-00000.jpg", "frame-00001.jpg", "frame-00002.jpg"}));
    QList<QByteArray> files;
    for (const QString &name : QDir(folder).entryList(QDir::Files)) {
        QFile file(QDir(folder).filePath(name));
        QVERIFY(file.open(QIODevice::ReadOnly));
        files.append(file.readAll());
        QVERIFY2(decodes(files.last(), 160, 120), qPrintable(name));
    }
    QVERIFY(files[0] != files[1]);
    QFile notes(QDir(folder).filePath("notes.txt")); // not a picture: must not be streamed
    QVERIFY(notes.open(QIODevice::WriteOnly));
    notes.write("not a frame");
    notes.close();

    SimulatorProcess simulator(arguments << "--folder" << folder << "--size" << "160x120" << "--fps" << "0");
    QVERIFY2(simulator.start(), qPrintable(simulator.errorString()));
    auto socket = handshaken(simulator);
    QVERIFY(socket);
    QByteArray expected = (firstPrefix.isEmpty() ? bigEndianU32(quint32(files[0].size())) : firstPrefix) + files[0];
    for (int i : {1, 2, 0, 1})
        expected += bigEndianU32(quint32(files[i].size())) + files[i];
    QVERIFY(readExactly(*socket, expected.size()) == expected);
}

QTEST_GUILESS_MAIN(TestPhoneSim)
#include "tst_phonesim.moc"
