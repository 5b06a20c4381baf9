#include "transportdialog.h"

#include "appsettings.h"
#include "bluetoothlibrary.h"
#include "fakebluezbus.h"
#include "settingsstore.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <functional>

class TestTransportDialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void showsTitleTransportsAndNoHelpButton();
    void storedTransportTypeChecksItsButton_data();
    void storedTransportTypeChecksItsButton();
    void comPortListPreselectsGivenPort_data();
    void comPortListPreselectsGivenPort();
    void wifiAddressIsPresetAndReturnedAsTyped_data();
    void wifiAddressIsPresetAndReturnedAsTyped();
    void bluetoothListLabelsDevicesInLibraryOrder();
    void okFetchesPickedDeviceWhateverTransport_data();
    void okFetchesPickedDeviceWhateverTransport();
    void okFetchesRecordFromLibraryAsItIsThen();
    void okWithEmptyDeviceListGivesZeroRecord();
    void cancelEscapeOrCloseRecordsNothing_data();
    void cancelEscapeOrCloseRecordsNothing();

private:
    QTemporaryDir m_home;
};

namespace {

// The dialog's controls, found where the user sees them: the grid's rows are the transports.
struct Controls
{
    QGridLayout *grid = nullptr;
    QButtonGroup *group = nullptr;
    QComboBox *comPorts = nullptr;
    QComboBox *devices = nullptr;
    QLineEdit *wifiAddress = nullptr;
    QDialogButtonBox *buttons = nullptr;

    bool complete() const { return grid && group && comPorts && devices && wifiAddress && buttons; }
};

template<typename T>
T *cellWidget(QGridLayout *grid, int row, int column)
{
    QLayoutItem *item = grid ? grid->itemAtPosition(row, column) : nullptr;
    return item ? qobject_cast<T *>(item->widget()) : nullptr;
}

Controls controlsOf(TransportDialog &dialog)
{
    Controls c;
    QLayoutItem *first = dialog.layout() ? dialog.layout()->itemAt(0) : nullptr;
    c.grid = first ? qobject_cast<QGridLayout *>(first->layout()) : nullptr;
    c.group = dialog.findChild<QButtonGroup *>();
    c.comPorts = cellWidget<QComboBox>(c.grid, 0, 1);
    c.devices = cellWidget<QComboBox>(c.grid, 1, 1);
    c.wifiAddress = cellWidget<QLineEdit>(c.grid, 3, 1);
    c.buttons = dialog.findChild<QDialogButtonBox *>();
    return c;
}

QStringList itemTexts(const QComboBox *box)
{
    QStringList texts;
    for (int i = 0; i < box->count(); ++i)
        texts << box->itemText(i);
    return texts;
}

void clickOk(const Controls &c) { c.buttons->button(QDialogButtonBox::Ok)->click(); }

constexpr int leftOpen = 42;

// Runs the dialog modally while act() plays the user. A dialog that act() leaves open ends with a
// result of its own, so that a fault fails the test instead of hanging it.
int execWith(TransportDialog &dialog, const std::function<void()> &act)
{
    QTimer::singleShot(0, &dialog, [&dialog, act] {
        act();
        if (dialog.isVisible())
            dialog.done(leftOpen);
    });
    return dialog.exec();
}

bool sameRecord(const BtDeviceInfo &a, const BtDeviceInfo &b) { return std::memcmp(&a, &b, sizeof a) == 0; }

BtDeviceInfo libraryRecord(int index)
{
    BtDeviceInfo device;
    std::memset(&device, 0xab, sizeof device);
    bt_lib_device_get(index, &device);
    return device;
}

QString devicePath(const QString &suffix) { return QStringLiteral("/org/bluez/hci0/dev_") + suffix; }

FakeBluezDevice deviceA()
{
    return {devicePath(QStringLiteral("1")), QStringLiteral("01:02:03:04:05:06"), true, QStringLiteral("a")};
}
FakeBluezDevice deviceB()
{
    return {devicePath(QStringLiteral("2")), QStringLiteral("01:02:03:04:05:07"), true, QStringLiteral("b")};
}
const QString labelA = QStringLiteral("a(01:02:03:04:05:06)");
const QString labelB = QStringLiteral("b(01:02:03:04:05:07)");

} // namespace

void TestTransportDialog::initTestCase()
{
    // Before anything opens the settings store: it must never be the user's own.
    QVERIFY(m_home.isValid());
    QVERIFY2(redirectSettingsStore(m_home.path()), qPrintable(settingsStore().fileName()));
    AppSettings::load();

    // Nor the machine's own Bluetooth devices: without a fake BlueZ the device list is empty.
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + QFile::encodeName(m_home.filePath(QStringLiteral("no-bus"))));
}

void TestTransportDialog::init()
{
    AppSettings::setTransportType(0);
    AppSettings::setWifiServerAddr(QStringLiteral("127.0.0.1"));
}

void TestTransportDialog::showsTitleTransportsAndNoHelpButton()
{
    TransportDialog dialog(nullptr, 0);
    const Controls c = controlsOf(dialog);
    QVERIFY(c.complete());
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Select transport"));

    const QStringList texts = {QStringLiteral("Virtual serial port: "), QStringLiteral("Bluetooth device: "),
                               QStringLiteral("USB"), QStringLiteral("WiFi")};
    QVERIFY(c.group->exclusive());
    QCOMPARE(c.group->buttons().size(), texts.size());
    for (int id = 0; id < texts.size(); ++id) {
        QCOMPARE(c.group->button(id)->text(), texts.at(id));
        QCOMPARE(cellWidget<QRadioButton>(c.grid, id, 0), c.group->button(id)); // beside its own control
    }
    QVERIFY(!c.grid->itemAtPosition(2, 1)); // USB takes nothing
    QCOMPARE(c.buttons->standardButtons(), QDialogButtonBox::Ok | QDialogButtonBox::Cancel);

    Qt::WindowFlags shownFlags;
    QCOMPARE(execWith(dialog, [&] {
                 shownFlags = dialog.windowFlags();
                 c.buttons->button(QDialogButtonBox::Cancel)->click();
             }),
             int(QDialog::Rejected));
    for (const Qt::WindowFlags flags : {dialog.windowFlags(), shownFlags}) {
        QVERIFY(flags.testFlag(Qt::WindowTitleHint));
        QVERIFY(!flags.testFlag(Qt::WindowContextHelpButtonHint));
    }
}

void TestTransportDialog::storedTransportTypeChecksItsButton_data()
{
    QTest::addColumn<int>("stored");
    QTest::addColumn<int>("checked");
    QTest::newRow("0: serial port") << 0 << 0;
    QTest::newRow("1: Bluetooth") << 1 << 1;
    QTest::newRow("2: USB") << 2 << 2;
    QTest::newRow("3: WiFi") << 3 << 3;
    QTest::newRow("5: unknown, serial port") << 5 << 0;
    QTest::newRow("-1: unknown, serial port") << -1 << 0;
}

void TestTransportDialog::storedTransportTypeChecksItsButton()
{
    QFETCH(int, stored);
    QFETCH(int, checked);
    AppSettings::setTransportType(stored);
    TransportDialog dialog(nullptr, 0);
    const Controls c = controlsOf(dialog);
    QVERIFY(c.complete());
    QCOMPARE(c.group->checkedId(), checked);
    // Every control stays usable whichever transport is checked.
    QVERIFY(c.comPorts->isEnabled() && c.devices->isEnabled() && c.wifiAddress->isEnabled());

    QCOMPARE(execWith(dialog, [&] { clickOk(c); }), int(QDialog::Accepted));
    QCOMPARE(dialog.transportType(), checked);
    QCOMPARE(AppSettings::transportType(), stored); // the caller stores the choice, not the dialog
}

void TestTransportDialog::comPortListPreselectsGivenPort_data()
{
    QTest::addColumn<int>("initial");
    QTest::addColumn<int>("picked"); // -2: the user leaves the list alone
    QTest::addColumn<int>("current");
    QTest::addColumn<int>("comPort");
    QTest::newRow("stored 7") << 7 << -2 << 7 << 7;
    QTest::newRow("none (-1): COM0 current") << -1 << -2 << 0 << 0;
    QTest::newRow("COM0") << 0 << -2 << 0 << 0;
    QTest::newRow("COM99, the last") << 99 << -2 << 99 << 99;
    QTest::newRow("user picks COM12 over stored 7") << 7 << 12 << 7 << 12;
    QTest::newRow("stored 100, outside the list: none current") << 100 << -2 << -1 << -1;
}

void TestTransportDialog::comPortListPreselectsGivenPort()
{
    QFETCH(int, initial);
    QFETCH(int, picked);
    QFETCH(int, current);
    QFETCH(int, comPort);
    TransportDialog dialog(nullptr, initial);
    const Controls c = controlsOf(dialog);
    QVERIFY(c.complete());

    QStringList ports;
    for (int i = 0; i < 100; ++i)
        ports << QStringLiteral("COM%1").arg(i);
    QCOMPARE(itemTexts(c.comPorts), ports); // the index is the port number
    QCOMPARE(c.comPorts->currentIndex(), current);

    QCOMPARE(execWith(dialog, [&] {
                 if (picked != -2)
                     c.comPorts->setCurrentIndex(picked);
                 clickOk(c);
             }),
             int(QDialog::Accepted));
    QCOMPARE(dialog.comPort(), comPort);
}

void TestTransportDialog::wifiAddressIsPresetAndReturnedAsTyped_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<bool>("retype");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("refusal"); // the message that keeps the dialog open; empty: accepted
    const QString badPort = QStringLiteral("The port after the colon must be a number from 1 to 65535.");
    QTest::newRow("stored address kept") << "192.168.1.5" << false << QString() << QString();
    QTest::newRow("stored blanks kept") << " phone " << false << QString() << QString();
    QTest::newRow("typed blanks not trimmed") << "127.0.0.1" << true << "  10.0.0.7 " << QString();
    QTest::newRow("emptied") << "127.0.0.1" << true << "" << QString();
    QTest::newRow("with a port") << "127.0.0.1" << true << "10.0.0.7:9000" << QString();
    QTest::newRow("port 0 refused") << "127.0.0.1" << true << "phone:0" << badPort;
    QTest::newRow("port 65536 refused") << "127.0.0.1" << true << "phone:65536" << badPort;
    QTest::newRow("not a port refused") << "127.0.0.1" << true << "phone:8123/x" << badPort;
    QTest::newRow("port without host refused")
        << "127.0.0.1" << true << ":8123" << QStringLiteral("The address has no host before the port.");
}

void TestTransportDialog::wifiAddressIsPresetAndReturnedAsTyped()
{
    QFETCH(QString, stored);
    QFETCH(bool, retype);
    QFETCH(QString, typed);
    QFETCH(QString, refusal);
    AppSettings::setTransportType(3);
    AppSettings::setWifiServerAddr(stored);
    TransportDialog dialog(nullptr, 0);
    const Controls c = controlsOf(dialog);
    QVERIFY(c.complete());
    QCOMPARE(c.wifiAddress->text(), stored);
    QVERIFY(dialog.wifiAddress().isEmpty()); // nothing recorded before OK

    QString shown;
    QCOMPARE(execWith(dialog, [&] {
                 if (retype) {
                     c.wifiAddress->clear();
                     QTest::keyClicks(c.wifiAddress, typed);
                 }
                 QTimer::singleShot(0, [&shown] {
                     if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                         shown = box->text();
                         box->accept();
                     }
                 });
                 clickOk(c);
             }),
             refusal.isEmpty() ? int(QDialog::Accepted) : leftOpen);
    QCOMPARE(shown, refusal);
    QCOMPARE(AppSettings::wifiServerAddr(), stored);
    if (!refusal.isEmpty()) {
        QVERIFY(dialog.wifiAddress().isEmpty());
        return;
    }
    QCOMPARE(dialog.transportType(), 3);
    QCOMPARE(dialog.wifiAddress(), retype ? typed : stored);
}

void TestTransportDialog::bluetoothListLabelsDevicesInLibraryOrder()
{
    const QString longName(255, u'n');
    FakeBluezBus bus({
        {devicePath(QStringLiteral("1")), QStringLiteral("5A:4B:3C:2D:1E:0F"), true, QStringLiteral("Phone")},
        {devicePath(QStringLiteral("2")), QStringLiteral("0A:FF:00:01:A0:FE"), true, longName},
        {devicePath(QStringLiteral("3")), QStringLiteral("01:02:03:04:05:06"), true}, // no name: BlueZ uses the address
    });
    QVERIFY2(bus.start(), qPrintable(bus.errorString()));
    TransportDialog dialog(nullptr, 0);
    const Controls c = controlsOf(dialog);
    QVERIFY(c.complete());
    QCOMPARE(itemTexts(c.devices), (QStringList{QStringLiteral("Phone(5a:4b:3c:2d:1e:0f)"),
                                                longName + QStringLiteral("(0a:ff:00:01:a0:fe)"),
                                                QStringLiteral("01-02-03-04-05-06(01:02:03:04:05:06)")}));
    QCOMPARE(c.devices->currentIndex(), 0);
}

void TestTransportDialog::okFetchesPickedDeviceWhateverTransport_data()
{
    QTest::addColumn<int>("transport");
    QTest::addColumn<int>("picked");
    QTest::addColumn<QString>("label");
    QTest::newRow("Bluetooth, second device") << 1 << 1 << labelB;
    QTest::newRow("Bluetooth, first device") << 1 << 0 << labelA;
    QTest::newRow("WiFi checked, device picked") << 3 << 1 << labelB;
    QTest::newRow("serial port checked, device picked") << 0 << 1 << labelB;
}

void TestTransportDialog::okFetchesPickedDeviceWhateverTransport()
{
    QFETCH(int, transport);
    QFETCH(int, picked);
    QFETCH(QString, label);
    FakeBluezBus bus({deviceA(), deviceB()});
    QVERIFY2(bus.start(), qPrintable(bus.errorString()));
    TransportDialog dialog(nullptr, 0);
    const Controls c = controlsOf(dialog);
    QVERIFY(c.complete());
    QVERIFY(isAllZero(dialog.bluetoothDevice())); // nothing recorded before OK

    QCOMPARE(execWith(dialog, [&] {
                 c.group->button(transport)->click();
                 c.devices->setCurrentIndex(picked);
                 clickOk(c);
             }),
             int(QDialog::Accepted));
    QCOMPARE(dialog.transportType(), transport);
    QCOMPARE(btDeviceLabel(dialog.bluetoothDevice()), label);
    QVERIFY(sameRecord(dialog.bluetoothDevice(), libraryRecord(picked))); // all 518 bytes, as the library gave them
}

void TestTransportDialog::okFetchesRecordFromLibraryAsItIsThen()
{
    FakeBluezBus bus({deviceB()});
    QVERIFY2(bus.start(), qPrintable(bus.errorString()));
    TransportDialog dialog(nullptr, 0);
    const Controls c = controlsOf(dialog);
    QVERIFY(c.complete());
    QCOMPARE(itemTexts(c.devices), QStringList{labelB});

    // While the dialog is open the library's list is read again (as the next dialog would) and
    // gains a device in front: index 0 is that one now.
    QVERIFY2(bus.addDevice({devicePath(QStringLiteral("0")), QStringLiteral("0A:0B:0C:0D:0E:0F"), true,
                            QStringLiteral("new")}),
             qPrintable(bus.errorString()));
    QCOMPARE(bt_lib_open(), 2);

    QCOMPARE(execWith(dialog, [&] { clickOk(c); }), int(QDialog::Accepted));
    QCOMPARE(btDeviceLabel(dialog.bluetoothDevice()), QStringLiteral("new(0a:0b:0c:0d:0e:0f)"));
}

void TestTransportDialog::okWithEmptyDeviceListGivesZeroRecord()
{
    TransportDialog dialog(nullptr, 0); // no BlueZ to ask
    const Controls c = controlsOf(dialog);
    QVERIFY(c.complete());
    QCOMPARE(c.devices->count(), 0);
    QCOMPARE(c.devices->currentIndex(), -1);

    QCOMPARE(execWith(dialog, [&] {
                 c.group->button(1)->click();
                 clickOk(c);
             }),
             int(QDialog::Accepted));
    QCOMPARE(dialog.transportType(), 1);
    QVERIFY(isAllZero(dialog.bluetoothDevice()));
}

void TestTransportDialog::cancelEscapeOrCloseRecordsNothing_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("Cancel") << "cancel";
    QTest::newRow("Escape") << "escape";
    QTest::newRow("window closed") << "close";
}

void TestTransportDialog::cancelEscapeOrCloseRecordsNothing()
{
    QFETCH(QString, how);
    FakeBluezBus bus({deviceA(), deviceB()});
    QVERIFY2(bus.start(), qPrintable(bus.errorString()));
    TransportDialog dialog(nullptr, 7);
    const Controls c = controlsOf(dialog);
    QVERIFY(c.complete());

    // Everything changed that OK would record, then given up.
    QCOMPARE(execWith(dialog, [&] {
                 c.group->button(3)->click();
                 c.comPorts->setCurrentIndex(5);
                 c.devices->setCurrentIndex(1);
                 c.wifiAddress->setText(QStringLiteral("10.0.0.9"));
                 if (how == u"cancel")
                     c.buttons->button(QDialogButtonBox::Cancel)->click();
                 else if (how == u"escape")
                     QTest::keyClick(&dialog, Qt::Key_Escape);
                 else
                     dialog.close();
             }),
             int(QDialog::Rejected));
    QCOMPARE(dialog.transportType(), 0);
    QCOMPARE(dialog.comPort(), 7);
    QVERIFY(isAllZero(dialog.bluetoothDevice()));
    QVERIFY(dialog.wifiAddress().isEmpty());
    QCOMPARE(AppSettings::transportType(), 0);
    QCOMPARE(AppSettings::wifiServerAddr(), QStringLiteral("127.0.0.1"));
}

QTEST_MAIN(TestTransportDialog)
#include "tst_transportdialog.moc"
