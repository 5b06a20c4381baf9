// The headless front end's command line, argument list by argument list.

#include "clioptions.h"

#include <QCommandLineParser>
#include <QtTest>

using CliOptions::Transport;

Q_DECLARE_METATYPE(Transport)

class TestCliOptions : public QObject
{
    Q_OBJECT
private slots:
    void argumentsGiveOptionsOrAReason_data();
    void argumentsGiveOptionsOrAReason();
};

void TestCliOptions::argumentsGiveOptionsOrAReason_data()
{
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QString>("error"); // a part of the reason; empty: the arguments are good
    QTest::addColumn<Transport>("transport");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<bool>("reconnect");

    const auto good = [](const char *name, const char *arguments, Transport transport, const char *host = "",
                         int port = 8123, bool reconnect = false) {
        QTest::newRow(name) << QString::fromLatin1(arguments) << QString() << transport << QString::fromLatin1(host)
                            << port << reconnect;
    };
    const auto bad = [](const char *name, const char *arguments, const char *error) {
        QTest::newRow(name) << QString::fromLatin1(arguments) << QString::fromLatin1(error) << Transport::None
                            << QString() << 0 << false;
    };
    good("wifi, default port", "--wifi 10.0.0.5", Transport::Wifi, "10.0.0.5");
    good("wifi HOST:PORT", "--wifi phone.lan:9000", Transport::Wifi, "phone.lan", 9000);
    good("wifi with --port", "--wifi 10.0.0.5 --port 9001", Transport::Wifi, "10.0.0.5", 9001);
    good("usb with --port", "--usb --port 9002", Transport::Usb, "", 9002);
    good("reconnect", "--wifi h --reconnect", Transport::Wifi, "h", 8123, true);
    good("serial", "--serial 3 --serial-path /dev/tty%d", Transport::Serial);
    good("bluetooth", "--bluetooth 5A:4B:3c:2d:1e:0f", Transport::Bluetooth);
    good("list", "--list-bluetooth", Transport::ListBluetooth);

    bad("no transport", "", "Choose a transport");
    bad("stray argument", "--wifi h extra", "Unexpected argument: extra");
    bad("two transports", "--usb --serial 1", "Choose one transport only.");
    bad("wifi port 0", "--wifi h:0", "--wifi: The port after the colon must be");
    bad("wifi port without host", "--wifi :8123", "--wifi: The address has no host");
    bad("port twice", "--wifi h:9000 --port 9001", "Give the port once");
    bad("port 0", "--wifi h --port 0", "--port goes with --wifi or --usb");
    bad("port with serial", "--serial 1 --port 8123", "--port goes with --wifi or --usb");
    bad("rotate 45", "--wifi h --rotate 45", "--rotate takes 0, 90, 180 or 270.");
    bad("rotate 360", "--wifi h --rotate 360", "--rotate takes 0, 90, 180 or 270.");
    bad("frames 0", "--wifi h --frames 0", "--frames takes a number of at least 1.");
    bad("serial -1", "--serial -1", "--serial takes a port number");
    bad("serial path without %d", "--serial 1 --serial-path /dev/ttyS", "--serial-path goes with --serial");
    bad("serial path with wifi", "--wifi h --serial-path /dev/tty%d", "--serial-path goes with --serial");
    bad("bluetooth address of five bytes", "--bluetooth 5a:4b:3c:2d:1e", "--bluetooth takes an address");
    bad("reconnect with the list", "--list-bluetooth --reconnect", "--reconnect goes with a transport.");
}

void TestCliOptions::argumentsGiveOptionsOrAReason()
{
    QFETCH(QString, arguments);
    QFETCH(QString, error);
    QCommandLineParser parser;
    QString reason;
    QStringList list{QStringLiteral("lumo-webcam-cli")};
    list += arguments.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const std::optional<CliOptions::Options> options = CliOptions::parse(parser, list, reason);
    if (!error.isEmpty()) {
        QVERIFY(!options);
        QVERIFY2(reason.contains(error), qPrintable(reason));
        return;
    }
    QVERIFY2(options, qPrintable(reason));
    QTEST(options->transport, "transport");
    if (options->transport == Transport::Wifi)
        QTEST(options->host, "host");
    if (options->transport == Transport::Wifi || options->transport == Transport::Usb)
        QTEST(options->port, "port");
    QTEST(options->reconnect, "reconnect");
}

QTEST_GUILESS_MAIN(TestCliOptions)
#include "tst_clioptions.moc"
