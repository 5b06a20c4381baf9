#include "jpegdecoder.h"
#include "serialport.h"
#include "simulatorprocess.h"
#include "wirebytes.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
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

// What a connection does next once the simulator has nothing more to say or has ended it.
enum class Next { Data, Closed, Silence };

char *toString(Next next)
{
    const char *names[] = {"Data", "Closed", "Silence"};
    return qstrdup(names[int(next)]);
}

// The test's end of one connection to the simulator, over TCP or its serial line.
class Connection
{
public:
    virtual ~Connection() = default;
    virtual void send(const QByteArray &bytes) = 0;
    // Up to n bytes: fewer when the connection ends or nothing more comes for a while.
    virtual QByteArray receive(qint64 n) = 0;
    // Waits for one more byte and takes it, or for the end of the connection, or a second of silence.
    virtual Next next() = 0;
};

class TcpConnection : public Connection
{
public:
    bool connectTo(quint16 port)
    {
        m_socket.connectToHost(QHostAddress::LocalHost, port);
        return m_socket.waitForConnected(5000);
    }
    void send(const QByteArray &bytes) override
    {
        m_socket.write(bytes);
        m_socket.waitForBytesWritten(5000);
    }
    QByteArray receive(qint64 n) override
    {
        const QDeadlineTimer deadline(10000);
        while (m_socket.bytesAvailable() < n && !deadline.hasExpired()) {
            if (!m_socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime()))))
                break;
        }
        return m_socket.read(n);
    }
    Next next() override
    {
        if (m_socket.bytesAvailable() == 0 && !m_socket.waitForReadyRead(1000))
            return m_socket.state() == QAbstractSocket::ConnectedState ? Next::Silence : Next::Closed;
        m_socket.read(1);
        return Next::Data;
    }

private:
    QTcpSocket m_socket;
};

// Goes through the client's own serial port, which fails a read after its time-out of silence and
// at once when the line hangs up: the time a failed read took tells the two apart.
class SerialConnection : public Connection
{
public:
    explicit SerialConnection(int number)
        : m_port(number, SimulatorProcess::kSerialPathTemplate, SerialTimeouts{500, silenceMs, 0})
    {
    }
    bool open() { return m_port.open() == 0; }
    void send(const QByteArray &bytes) override
    {
        try {
            m_port.write(reinterpret_cast<const unsigned char *>(bytes.constData()), int(bytes.size()));
        } catch (int) {
        }
    }
    QByteArray receive(qint64 n) override
    {
        QByteArray bytes(n, '\0');
        try {
            m_port.read(reinterpret_cast<unsigned char *>(bytes.data()), int(n));
        } catch (int) {
            return {};
        }
        return bytes;
    }
    Next next() override
    {
        QElapsedTimer timer;
        timer.start();
        if (!receive(1).isEmpty())
            return Next::Data;
        return timer.elapsed() < silenceMs / 2 ? Next::Closed : Next::Silence;
    }

private:
    static constexpr int silenceMs = 1000;
    SerialPort m_port;
};

std::unique_ptr<Connection> connectTo(const SimulatorProcess &simulator)
{
    if (simulator.serialNumber() >= 0) {
        auto serial = std::make_unique<SerialConnection>(simulator.serialNumber());
        return serial->open() ? std::move(serial) : nullptr;
    }
    auto tcp = std::make_unique<TcpConnection>();
    return tcp->connectTo(simulator.port()) ? std::move(tcp) : nullptr;
}

QByteArray request(Connection &connection, const QByteArray &query, qint64 replySize)
{
    connection.send(query);
    return connection.receive(replySize);
}

// One frame record: the raw length prefix and the JPEG bytes that follow it.
struct Frame
{
    QByteArray prefix;
    QByteArray jpeg;
};

Frame readFrame(Connection &connection)
{
    Frame frame;
    frame.prefix = connection.receive(4);
    if (frame.prefix.size() == 4)
        frame.jpeg = connection.receive(qFromBigEndian<quint32>(frame.prefix.constData()));
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

// Runs the handshake of the real client and returns the connection ready for frames. The replies
// must be the well-behaved server's, nothing left over from an earlier connection before them.
std::unique_ptr<Connection> handshaken(const SimulatorProcess &simulator)
{
    auto connection = connectTo(simulator);
    if (!connection || request(*connection, versionQuery, 8) != QByteArray::fromHex("0100000003021300")
        || !request(*connection, resolutionQuery, 10).startsWith(QByteArray::fromHex("020000000501")))
        return nullptr;
    return connection;
}

// The simulator's arguments for TCP or, with serial set, for its serial line.
QStringList over(bool serial, QStringList arguments)
{
    if (serial)
        arguments << QStringLiteral("--serial");
    return arguments;
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
    void clientsLeavingMidStreamLeaveNothingForTheNext_data();
    void clientsLeavingMidStreamLeaveNothingForTheNext();
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
    QTest::newRow("defaults over a serial line")
        << QStringList{"--serial"} << QByteArray::fromHex("0100000003021300") << QByteArray::fromHex("030000000100")
        << QByteArray::fromHex("0200000005010280" "01e0") << true;
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
    auto connection = connectTo(simulator);
    QVERIFY(connection);
    QCOMPARE(request(*connection, versionQuery, versionReply.size()).toHex(' '), versionReply.toHex(' '));
    QCOMPARE(request(*connection, command3Query, command3Reply.size()).toHex(' '), command3Reply.toHex(' '));
    QCOMPARE(request(*connection, resolutionQuery, resolutionReply.size()).toHex(' '), resolutionReply.toHex(' '));
    if (framesFollow)
        QVERIFY(readFrame(*connection).jpeg.startsWith("\xff\xd8"));
    else
        QCOMPARE(connection->next(), Next::Silence);
}

void TestPhoneSim::framesDecodeAtTheEncodedSize_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QSize>("encoded");
    QTest::addColumn<bool>("decodesAtAnnouncedSize");

    QTest::newRow("generated") << QStringList{"--size", "320x240"} << QSize(320, 240) << true;
    QTest::newRow("in pieces with pauses") << QStringList{"--size", "320x240", "--chunk", "1000", "--chunk-pause", "2"}
                                           << QSize(320, 240) << true;
    QTest::newRow("in pieces over a serial line")
        << QStringList{"--serial", "--size", "320x240", "--chunk", "1000", "--chunk-pause", "2"} << QSize(320, 240)
        << true;
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
    auto connection = handshaken(simulator);
    QVERIFY(connection);
    QByteArray previous;
    for (int i = 0; i < 3; ++i) {
        const Frame frame = readFrame(*connection);
        QCOMPARE(frame.jpeg.size(), qint64(qFromBigEndian<quint32>(frame.prefix.constData())));
        QVERIFY2(decodes(frame.jpeg, encoded.width(), encoded.height()), qPrintable(QString::number(i)));
        QCOMPARE(decodes(frame.jpeg, 320, 240), decodesAtAnnouncedSize);
        QVERIFY2(frame.jpeg != previous, "the picture should move");
        previous = frame.jpeg;
    }
}

void TestPhoneSim::stopsAfterTheAskedNumberOfFrames_data()
{
    QTest::addColumn<bool>("serial");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("frames");
    QTest::addColumn<Next>("then");

    for (const bool serial : {false, true}) {
        const char *via = serial ? "serial" : "tcp";
        QTest::addRow("%s: close after 2", via) << serial << QStringList{"--close-after", "2"} << 2 << Next::Closed;
        QTest::addRow("%s: close before any frame", via) << serial << QStringList{"--close-after", "0"} << 0
                                                           << Next::Closed;
        QTest::addRow("%s: silent after 2", via) << serial << QStringList{"--silent-after", "2"} << 2 << Next::Silence;
    }
}

void TestPhoneSim::stopsAfterTheAskedNumberOfFrames()
{
    QFETCH(bool, serial);
    QFETCH(QStringList, arguments);
    QFETCH(int, frames);
    QFETCH(Next, then);

    SimulatorProcess simulator(over(serial, arguments << "--size" << "160x120" << "--fps" << "0" << "--once"));
    QVERIFY2(simulator.start(), qPrintable(simulator.errorString()));
    auto connection = handshaken(simulator);
    QVERIFY(connection);
    for (int i = 0; i < frames; ++i)
        QVERIFY(decodes(readFrame(*connection).jpeg, 160, 120));
    QCOMPARE(connection->next(), then);
    connection.reset(); // a silent connection ends when the client goes
    QVERIFY(simulator.waitForExit(10000));
    QCOMPARE(simulator.exitCode(), 0);
}

void TestPhoneSim::closesOnGarbageAndServesTheNextClient_data()
{
    QTest::addColumn<bool>("serial");
    QTest::addColumn<bool>("afterHandshake");
    QTest::addColumn<QByteArray>("garbage");

    for (const bool serial : {false, true}) {
        const char *via = serial ? "serial" : "tcp";
        QTest::addRow("%s: unknown command", via) << serial << false << QByteArray::fromHex("0700000000");
        QTest::addRow("%s: version query of another client", via) << serial << false
                                                                    << QByteArray::fromHex("01000000020214");
        QTest::addRow("%s: resolution query with a payload", via) << serial << false
                                                                    << QByteArray::fromHex("020000000100");
        QTest::addRow("%s: any byte once frames flow", via) << serial << true << QByteArray("x");
    }
}

void TestPhoneSim::closesOnGarbageAndServesTheNextClient()
{
    QFETCH(bool, serial);
    QFETCH(bool, afterHandshake);
    QFETCH(QByteArray, garbage);

    SimulatorProcess simulator(over(serial, {"--size", "160x120", "--fps", "0"}));
    QVERIFY2(simulator.start(), qPrintable(simulator.errorString()));
    auto connection = afterHandshake ? handshaken(simulator) : connectTo(simulator);
    QVERIFY(connection);
    connection->send(garbage);
    Next next = connection->next();
    // Only frames sent before the garbage was seen may still come.
    for (qint64 taken = 0; next == Next::Data && afterHandshake && taken < (64 << 20); ++taken)
        next = connection->next();
    QCOMPARE(next, Next::Closed);
    connection.reset();

    // A serial line was hung up with the connection: the next client comes on a new one.
    if (serial)
        QVERIFY2(simulator.waitForListening(), qPrintable(simulator.errorString()));
    auto following = handshaken(simulator);
    QVERIFY(following);
    QVERIFY(decodes(readFrame(*following).jpeg, 160, 120));
}

void TestPhoneSim::clientsLeavingMidStreamLeaveNothingForTheNext_data()
{
    QTest::addColumn<bool>("serial");
    QTest::newRow("tcp") << false;
    // The same line each time: the simulator must see each client go even when the next opens at once.
    QTest::newRow("serial") << true;
}

void TestPhoneSim::clientsLeavingMidStreamLeaveNothingForTheNext()
{
    QFETCH(bool, serial);

    SimulatorProcess simulator(over(serial, {"--size", "160x120", "--fps", "0"}));
    QVERIFY2(simulator.start(), qPrintable(simulator.errorString()));
    for (int round = 0; round < 4; ++round) {
        auto leaving = handshaken(simulator);
        QVERIFY2(leaving, qPrintable(QStringLiteral("round %1").arg(round)));
        QVERIFY(decodes(readFrame(*leaving).jpeg, 160, 120));
        QCOMPARE(leaving->receive(100).size(), 100); // into the next frame, and gone
    }
    auto last = handshaken(simulator);
    QVERIFY(last);
    QVERIFY(decodes(readFrame(*last).jpeg, 160, 120));
    QCOMPARE(simulator.serialNumber() >= 0, serial);
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
    auto connection = handshaken(simulator);
    QVERIFY(connection);
    QByteArray expected = (firstPrefix.isEmpty() ? bigEndianU32(quint32(files[0].size())) : firstPrefix) + files[0];
    for (int i : {1, 2, 0, 1})
        expected += bigEndianU32(quint32(files[i].size())) + files[i];
    QVERIFY(connection->receive(expected.size()) == expected);
}

QTEST_GUILESS_MAIN(TestPhoneSim)
#include "tst_phonesim.moc"
