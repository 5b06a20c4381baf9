#include "clientinfo.h"
#include "connectionerror.h"

#include <QTest>

class TestConnectionError : public QObject
{
    Q_OBJECT
private slots:
    void eachCodeHasItsText_data();
    void eachCodeHasItsText();
    void versionMessageNamesTheServerVersionAndThePage();
};

void TestConnectionError::eachCodeHasItsText_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    QTest::newRow("-1 keeps its trailing blank") << -1 << "Cannot load Lumo Bluetooth Camera device. ";
    QTest::newRow("-2") << -2 << "Fail to load video library. Please reinstall the software.";
    QTest::newRow("-3") << -3 << "Cannot communicate with Android phone. Right COM port and server is activated?";
    QTest::newRow("-4") << -4 << "Not enough memory to run this program.";
    QTest::newRow("-5") << -5 << "Fail to connect to server.";
    QTest::newRow("-6") << -6
                        << "Fail to get version information from Lumo Webcam on Android phone. Make sure your server "
                           "and client matches.";
    QTest::newRow("-8") << -8 << "Cannot start camera on Android phone.";
    QTest::newRow("-9 falls back") << -9 << "Unknown error(-9).";
    QTest::newRow("-10") << -10
                         << "No device is detected. Make sure you have done the following:\n"
                            "1. Connect your phone with PC by USB cable and\n"
                            "2. Install USB driver correctly and\n"
                            "3. Enable 'USB debugging' on your phone\n"
                            "If you already did all above, you should see your phone is listed as one 'ADB Interface' "
                            "in the Device Manager of PC";
    QTest::newRow("-11") << -11 << "Failed to start WSA 2.2";
    QTest::newRow("0") << 0 << "Unknown error(0).";
    QTest::newRow("7") << 7 << "Unknown error(7).";
    QTest::newRow("-12") << -12 << "Unknown error(-12).";
    QTest::newRow("-100") << -100 << "Unknown error(-100).";
}

void TestConnectionError::eachCodeHasItsText()
{
    QFETCH(int, code);
    QFETCH(QString, message);
    QCOMPARE(ConnectionError::message(code, 4, 5), message);
}

void TestConnectionError::versionMessageNamesTheServerVersionAndThePage()
{
    const QString page = QString::fromLatin1(ClientInfo::kWebPage);
    QCOMPARE(ConnectionError::message(-7, 2, 20),
             "Client and server mismatch. Client needs to be v2.20 or above.\n\n"
             "Please go to the following page to  install it:\n" + page);
    // No leading zeros: minor 5 is 5, not 05.
    QVERIFY(ConnectionError::message(-7, 3, 5).startsWith("Client and server mismatch. Client needs to be v3.5 or above.\n\n"));
}

QTEST_GUILESS_MAIN(TestConnectionError)
#include "tst_connectionerror.moc"
