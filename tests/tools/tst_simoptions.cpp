#include "clientinfo.h"
#include "simoptions.h"

#include <QTest>

namespace {

// The fields a row checks, in one line: mode, where, handshake, frames.
QString summary(const SimOptions &o)
{
    static const char *const modes[] = {"tcp", "serial", "bluetooth", "write-frames"};
    const SessionConfig &s = o.session;
    return QStringLiteral("%1 %2:%3 ch%4 v%5.%6 %7x%8 gen %9x%10 q%11 fps%12 prefix%13")
        .arg(QLatin1String(modes[int(o.mode)]), o.listenAddress.toString())
        .arg(o.port).arg(o.channel).arg(s.versionMajor).arg(s.versionMinor).arg(s.width).arg(s.height)
        .arg(o.generatedSize.width).arg(o.generatedSize.height).arg(o.quality).arg(s.fps)
        .arg(s.overrideFirstLength ? QString::number(s.firstLength) : QStringLiteral("-"));
}

} // namespace

class TestSimOptions : public QObject
{
    Q_OBJECT
private slots:
    void argumentsGiveOptionsOrTheReasonWhyNot_data();
    void argumentsGiveOptionsOrTheReasonWhyNot();
};

void TestSimOptions::argumentsGiveOptionsOrTheReasonWhyNot_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("outcome"); // the summary, "help", or the usage error

    const QString version = QString::fromStdString(ClientInfo::versionText());
    QTest::newRow("nothing: the client's version over TCP on 8123")
        << QStringList() << QStringLiteral("tcp 127.0.0.1:8123 ch0 v%1 640x480 gen 640x480 q85 fps30 prefix-").arg(version);
    QTest::newRow("help") << QStringList{"--help"} << "help";
    QTest::newRow("serial, announced and generated sizes apart")
        << QStringList{"--serial", "--size", "320x240", "--wrong-size", "64x48", "--version", "3.0", "--fps", "0"}
        << QStringLiteral("serial 127.0.0.1:8123 ch0 v3.0 320x240 gen 64x48 q85 fps0 prefix-");
    QTest::newRow("bluetooth on a channel, negative first length")
        << QStringList{"--bluetooth", "--channel", "5", "--length-prefix", "-2"}
        << QStringLiteral("bluetooth 127.0.0.1:8123 ch5 v%1 640x480 gen 640x480 q85 fps30 prefix-2").arg(version);
    QTest::newRow("write frames")
        << QStringList{"--write-frames", "/tmp/x", "--count", "3", "--quality", "50", "--port", "bad"}
        << QStringLiteral("write-frames :0 ch0 v%1 640x480 gen 640x480 q50 fps30 prefix-").arg(version);
    QTest::newRow("unknown option") << QStringList{"--nope"} << "Unknown option 'nope'.\nTry --help.";
    QTest::newRow("stray argument") << QStringList{"stray"} << "unexpected argument \"stray\"";
    QTest::newRow("size of 0") << QStringList{"--size", "0x480"}
                               << "--size wants WIDTHxHEIGHT, each 1 to 65535, not \"0x480\"";
    QTest::newRow("frames to write without a count") << QStringList{"--write-frames", "/tmp/x"}
                                                     << "--write-frames needs --count";
    QTest::newRow("version byte above 255") << QStringList{"--version", "256.0"}
                                            << "--version wants MAJOR.MINOR, each 0 to 255";
    QTest::newRow("fps beyond 10000") << QStringList{"--fps", "10001"} << "--fps wants a number from 0 to 10000";
    QTest::newRow("claimed surplus beyond an int's reach")
        << QStringList{"--surplus", "10", "--claim-surplus", "2147483635"}
        << "--claim-surplus wants a whole number from 0 to 2147483634, not \"2147483635\"";
    QTest::newRow("serial with a port") << QStringList{"--serial", "--port", "1"}
                                        << "--serial takes neither --bluetooth, --listen nor --port";
    QTest::newRow("bluetooth with an address") << QStringList{"--bluetooth", "--listen", "::1"}
                                               << "--bluetooth takes neither --listen nor --port";
    QTest::newRow("channel without bluetooth") << QStringList{"--channel", "3"} << "--channel goes with --bluetooth";
    QTest::newRow("channel 31") << QStringList{"--bluetooth", "--channel", "31"}
                                << "--channel wants a whole number from 1 to 30, not \"31\"";
    QTest::newRow("host name to listen on") << QStringList{"--listen", "example.org"}
                                            << "--listen wants an IP address, not \"example.org\"";
}

void TestSimOptions::argumentsGiveOptionsOrTheReasonWhyNot()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, outcome);
    const auto parsed = parseSimOptions(QStringList{"lumo-phone-sim"} + arguments);
    if (const auto *options = std::get_if<SimOptions>(&parsed))
        QCOMPARE(summary(*options), outcome);
    else if (const auto *help = std::get_if<SimHelp>(&parsed))
        QVERIFY2(outcome == "help" && help->text.contains("--claim-surplus"), qPrintable(help->text));
    else
        QCOMPARE(std::get<SimUsageError>(parsed).message, outcome);
}

QTEST_GUILESS_MAIN(TestSimOptions)
#include "tst_simoptions.moc"
