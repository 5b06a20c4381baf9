#include "bluetoothlibrary.h"
#include "fakebluezbus.h"
#include "workerthread.h"

#include <QElapsedTimer>
#include <QtTest>

#include <algorithm>
#include <climits>
#include <cstring>

class TestBluetoothLibrary : public QObject
{
    Q_OBJECT

private slots:
    void labelIsNameThenAddressFromLastByte_data();
    void labelIsNameThenAddressFromLastByte();
    void parseReadsAddressIntoBdaddrOrder_data();
    void parseReadsAddressIntoBdaddrOrder();
    void parseRejectsMalformedTextAndKeepsBytes_data();
    void parseRejectsMalformedTextAndKeepsBytes();

    void listsPairedDevicesWithAddressInPathOrder();
    void nameIsCutTo255UnitsWithoutSplittingAPair_data();
    void nameIsCutTo255UnitsWithoutSplittingAPair();
    void aliasIsPreferredOverName_data();
    void aliasIsPreferredOverName();
    void unreachableBluezGivesEmptyListInBoundedTime_data();
    void unreachableBluezGivesEmptyListInBoundedTime();
    void indexOutsideListGivesZeroRecord_data();
    void indexOutsideListGivesZeroRecord();
    void missingRecordIsRefused();
    void reopenSeesDeviceAddedMeanwhile();
    void listedDeviceNamesTheAdapterItIsPairedWith();
    void concurrentOpensEachReadTheWholeList();
};

namespace {

using Bytes = QList<int>;

BtDeviceInfo recordWith(const QString &name, const Bytes &address)
{
    BtDeviceInfo device{};
    std::copy_n(name.utf16(), std::min<qsizetype>(name.size(), 255), device.name);
    for (int i = 0; i < 6; ++i)
        device.address[i] = static_cast<unsigned char>(address.value(i));
    return device;
}

Bytes addressBytes(const BtDeviceInfo &device)
{
    return Bytes(std::begin(device.address), std::end(device.address));
}

// The name up to its 0, or a note of what is wrong with the record.
QString storedName(const BtDeviceInfo &device)
{
    const auto end = std::find(std::begin(device.name), std::end(device.name), u'\0');
    if (end == std::end(device.name))
        return QStringLiteral("<no terminating 0>");
    if (!std::all_of(end, std::end(device.name), [](char16_t unit) { return unit == 0; }))
        return QStringLiteral("<units after the 0 are not 0>");
    return QString::fromUtf16(device.name, end - std::begin(device.name));
}

BtDeviceInfo filledWithGarbage()
{
    BtDeviceInfo device;
    std::memset(&device, 0xab, sizeof device);
    return device;
}

// The record at index, or garbage that no comparison takes for a device.
BtDeviceInfo deviceAt(int index)
{
    BtDeviceInfo device = filledWithGarbage();
    bt_lib_device_get(index, &device);
    return device;
}

QString devicePath(const QString &suffix)
{
    return QStringLiteral("/org/bluez/hci0/dev_") + suffix;
}

// Paired devices a (01:02:03:04:05:06) and b (...:07).
QList<FakeBluezDevice> twoDevices()
{
    return {{devicePath(QStringLiteral("1")), QStringLiteral("01:02:03:04:05:06"), true, QStringLiteral("a")},
            {devicePath(QStringLiteral("2")), QStringLiteral("01:02:03:04:05:07"), true, QStringLiteral("b")}};
}

// One paired device with the given names, alone on a fresh fake: its record as the library lists it.
std::optional<BtDeviceInfo> listedAlone(std::optional<QString> name, std::optional<QString> alias, QString &error)
{
    FakeBluezBus bus({{devicePath(QStringLiteral("1")), QStringLiteral("12:34:56:78:9A:BC"), true, name, alias}});
    if (!bus.start()) {
        error = bus.errorString();
        return std::nullopt;
    }
    BtDeviceInfo device;
    if (bt_lib_open() != 1 || bt_lib_device_get(0, &device) != 0) {
        error = QStringLiteral("the device is not listed");
        return std::nullopt;
    }
    return device;
}

const QString nonBmp = QStringLiteral("\U0001F4F1"); // one character, two UTF-16 units

} // namespace

void TestBluetoothLibrary::labelIsNameThenAddressFromLastByte_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<Bytes>("address");
    QTest::addColumn<QString>("label");
    QTest::newRow("name and address") << QStringLiteral("Phone") << Bytes{0x0f, 0x1e, 0x2d, 0x3c, 0x4b, 0x5a}
                                      << QStringLiteral("Phone(5a:4b:3c:2d:1e:0f)");
    QTest::newRow("0a keeps its leading zero, ff lowercase")
        << QStringLiteral("x") << Bytes{0x0a, 0xff, 0x00, 0x01, 0xa0, 0xfe} << QStringLiteral("x(fe:a0:01:00:ff:0a)");
    QTest::newRow("no name: label begins with the parenthesis")
        << QString() << Bytes{1, 2, 3, 4, 5, 6} << QStringLiteral("(06:05:04:03:02:01)");
    QTest::newRow("255 units shown whole") << QString(255, u'n') << Bytes{0, 0, 0, 0, 0, 0}
                                           << QString(255, u'n') + QStringLiteral("(00:00:00:00:00:00)");
    const QString blanksAndNonBmp = QStringLiteral(" Zoë ") + nonBmp;
    QTest::newRow("blanks and non-BMP kept") << blanksAndNonBmp << Bytes{0, 0, 0, 0, 0, 0xc0}
                                             << blanksAndNonBmp + QStringLiteral("(c0:00:00:00:00:00)");
}

void TestBluetoothLibrary::labelIsNameThenAddressFromLastByte()
{
    QFETCH(QString, name);
    QFETCH(Bytes, address);
    QFETCH(QString, label);
    QCOMPARE(btDeviceLabel(recordWith(name, address)), label);
}

void TestBluetoothLibrary::parseReadsAddressIntoBdaddrOrder_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<Bytes>("address");
    QTest::newRow("upper case") << QStringLiteral("AA:BB:CC:DD:EE:FF") << Bytes{0xff, 0xee, 0xdd, 0xcc, 0xbb, 0xaa};
    QTest::newRow("lower case") << QStringLiteral("0a:1b:2c:3d:4e:5f") << Bytes{0x5f, 0x4e, 0x3d, 0x2c, 0x1b, 0x0a};
    QTest::newRow("zeros") << QStringLiteral("00:00:00:00:00:00") << Bytes{0, 0, 0, 0, 0, 0};
}

void TestBluetoothLibrary::parseReadsAddressIntoBdaddrOrder()
{
    QFETCH(QString, text);
    QFETCH(Bytes, address);
    unsigned char bytes[6] = {};
    QVERIFY(parseBtAddress(text, bytes));
    QCOMPARE(Bytes(std::begin(bytes), std::end(bytes)), address);
    BtDeviceInfo device{};
    std::copy(std::begin(bytes), std::end(bytes), device.address);
    QCOMPARE(btDeviceAddress(device), text.toLower());
}

void TestBluetoothLibrary::parseRejectsMalformedTextAndKeepsBytes_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << QString();
    QTest::newRow("five pairs") << QStringLiteral("AA:BB:CC:DD:EE");
    QTest::newRow("seven pairs") << QStringLiteral("AA:BB:CC:DD:EE:FF:00");
    QTest::newRow("trailing colon") << QStringLiteral("AA:BB:CC:DD:EE:FF:");
    QTest::newRow("one digit") << QStringLiteral("A:BB:CC:DD:EE:FF");
    QTest::newRow("three digits") << QStringLiteral("AAA:BB:CC:DD:EE:FF");
    QTest::newRow("not hex") << QStringLiteral("AG:BB:CC:DD:EE:FF");
    QTest::newRow("blank before digit") << QStringLiteral(" A:BB:CC:DD:EE:FF");
    QTest::newRow("blank after digit") << QStringLiteral("AA:BB:CC:DD:EE:F ");
    QTest::newRow("plus sign") << QStringLiteral("+A:BB:CC:DD:EE:FF");
    QTest::newRow("minus zero") << QStringLiteral("-0:BB:CC:DD:EE:FF");
    QTest::newRow("0x prefix") << QStringLiteral("0x:BB:CC:DD:EE:FF");
    QTest::newRow("dashes") << QStringLiteral("AA-BB-CC-DD-EE-FF");
    QTest::newRow("fullwidth digits") << QStringLiteral("\uFF11\uFF12:BB:CC:DD:EE:FF");
}

void TestBluetoothLibrary::parseRejectsMalformedTextAndKeepsBytes()
{
    QFETCH(QString, text);
    unsigned char bytes[6] = {1, 2, 3, 4, 5, 6};
    QVERIFY(!parseBtAddress(text, bytes));
    QCOMPARE(Bytes(std::begin(bytes), std::end(bytes)), (Bytes{1, 2, 3, 4, 5, 6}));
}

void TestBluetoothLibrary::listsPairedDevicesWithAddressInPathOrder()
{
    // Given out of path order, among objects that are not to be listed.
    FakeBluezBus bus({
        {devicePath(QStringLiteral("C")), QStringLiteral("5A:4B:3C:2D:1E:0F"), true, QStringLiteral("Phone")},
        {devicePath(QStringLiteral("B")), QStringLiteral("11:22:33:44:55:66"), false, QStringLiteral("Unpaired")},
        {devicePath(QStringLiteral("D")), QStringLiteral("not an address"), true, QStringLiteral("Bad address")},
        {devicePath(QStringLiteral("E")), QString(), true, QStringLiteral("No address")},
        {devicePath(QStringLiteral("A")), QStringLiteral("AA:BB:CC:DD:EE:FF"), true, QStringLiteral("Tablet")},
    });
    QVERIFY2(bus.start(), qPrintable(bus.errorString()));

    QCOMPARE(bt_lib_open(), 2);
    QCOMPARE(bt_lib_device_get_count(), 2);
    const BtDeviceInfo first = deviceAt(0);
    QCOMPARE(addressBytes(first), (Bytes{0xff, 0xee, 0xdd, 0xcc, 0xbb, 0xaa}));
    QCOMPARE(storedName(first), QStringLiteral("Tablet"));
    QCOMPARE(btDeviceLabel(first), QStringLiteral("Tablet(aa:bb:cc:dd:ee:ff)"));
    const BtDeviceInfo second = deviceAt(1);
    QCOMPARE(addressBytes(second), (Bytes{0x0f, 0x1e, 0x2d, 0x3c, 0x4b, 0x5a}));
    QCOMPARE(btDeviceLabel(second), QStringLiteral("Phone(5a:4b:3c:2d:1e:0f)"));
}

void TestBluetoothLibrary::nameIsCutTo255UnitsWithoutSplittingAPair_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("stored");
    QTest::newRow("commas and accents") << QStringLiteral("Zoë's phone, old") << QStringLiteral("Zoë's phone, old");
    QTest::newRow("255 units whole") << QString(255, u'a') << QString(255, u'a');
    QTest::newRow("300 units cut to 255") << QString(300, u'b') << QString(255, u'b');
    QTest::newRow("pair ending at unit 255 kept") << QString(253, u'c') + nonBmp + QStringLiteral("cc")
                                                  << QString(253, u'c') + nonBmp;
    QTest::newRow("pair across the cut dropped whole") << QString(254, u'd') + nonBmp << QString(254, u'd');
}

void TestBluetoothLibrary::nameIsCutTo255UnitsWithoutSplittingAPair()
{
    QFETCH(QString, name);
    QFETCH(QString, stored);
    QString error;
    const std::optional<BtDeviceInfo> device = listedAlone(name, std::nullopt, error);
    QVERIFY2(device, qPrintable(error));
    QCOMPARE(storedName(*device), stored);
    QCOMPARE(btDeviceLabel(*device), stored + QStringLiteral("(12:34:56:78:9a:bc)"));
}

void TestBluetoothLibrary::aliasIsPreferredOverName_data()
{
    QTest::addColumn<std::optional<QString>>("name");
    QTest::addColumn<std::optional<QString>>("alias");
    QTest::addColumn<QString>("stored");
    const std::optional<QString> none;
    const std::optional<QString> pixel = QStringLiteral("Pixel");
    const std::optional<QString> myPhone = QStringLiteral("My phone");
    QTest::newRow("alias and name") << pixel << myPhone << *myPhone;
    QTest::newRow("name only") << pixel << none << *pixel;
    QTest::newRow("alias only") << none << myPhone << *myPhone;
    QTest::newRow("neither: BlueZ names it by its address") << none << none << QStringLiteral("12-34-56-78-9A-BC");
    QTest::newRow("long alias cut too") << pixel << std::optional(QString(400, u'x')) << QString(255, u'x');
}

void TestBluetoothLibrary::aliasIsPreferredOverName()
{
    QFETCH(std::optional<QString>, name);
    QFETCH(std::optional<QString>, alias);
    QFETCH(QString, stored);
    QString error;
    const std::optional<BtDeviceInfo> device = listedAlone(name, alias, error);
    QVERIFY2(device, qPrintable(error));
    QCOMPARE(storedName(*device), stored);
}

void TestBluetoothLibrary::unreachableBluezGivesEmptyListInBoundedTime_data()
{
    QTest::addColumn<bool>("busGone");
    QTest::addColumn<int>("bluez");
    QTest::addColumn<int>("withinMs");
    // The list is read on the GUI thread: "at once" is far below the call's 2 s time-out, and a
    // BlueZ that never answers must not hold it much longer than that time-out.
    QTest::newRow("no bus") << true << int(FakeBluezBus::Bluez::Absent) << 1000;
    QTest::newRow("bus without BlueZ") << false << int(FakeBluezBus::Bluez::Absent) << 1000;
    QTest::newRow("BlueZ never answers") << false << int(FakeBluezBus::Bluez::Hanging) << 6000;
}

void TestBluetoothLibrary::unreachableBluezGivesEmptyListInBoundedTime()
{
    QFETCH(bool, busGone);
    QFETCH(int, bluez);
    QFETCH(int, withinMs);
    {
        // A list read before must not survive a read that fails.
        FakeBluezBus answering({{devicePath(QStringLiteral("1")), QStringLiteral("01:02:03:04:05:06"), true}});
        QVERIFY2(answering.start(), qPrintable(answering.errorString()));
        QCOMPARE(bt_lib_open(), 1);
    }

    FakeBluezBus bus({{devicePath(QStringLiteral("1")), QStringLiteral("01:02:03:04:05:06"), true}},
                     FakeBluezBus::Bluez(bluez));
    QVERIFY2(bus.start(), qPrintable(bus.errorString()));
    if (busGone)
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent"); // the destructor restores it

    QElapsedTimer timer;
    timer.start();
    QCOMPARE(bt_lib_open(), 0);
    const qint64 elapsed = timer.elapsed();
    QCOMPARE(bt_lib_device_get_count(), 0);
    QVERIFY2(elapsed < withinMs, qPrintable(QStringLiteral("took %1 ms").arg(elapsed)));
}

void TestBluetoothLibrary::indexOutsideListGivesZeroRecord_data()
{
    QTest::addColumn<int>("index");
    QTest::newRow("minus one (empty selection)") << -1;
    QTest::newRow("count") << 2;
    QTest::newRow("far beyond") << INT_MAX;
    QTest::newRow("most negative") << INT_MIN;
}

void TestBluetoothLibrary::indexOutsideListGivesZeroRecord()
{
    QFETCH(int, index);
    FakeBluezBus bus(twoDevices());
    QVERIFY2(bus.start(), qPrintable(bus.errorString()));
    QCOMPARE(bt_lib_open(), 2);

    BtDeviceInfo device = filledWithGarbage();
    QCOMPARE(bt_lib_device_get(index, &device), -1);
    QVERIFY(isAllZero(device));
}

void TestBluetoothLibrary::missingRecordIsRefused()
{
    FakeBluezBus bus({{devicePath(QStringLiteral("1")), QStringLiteral("01:02:03:04:05:06"), true}});
    QVERIFY2(bus.start(), qPrintable(bus.errorString()));
    QCOMPARE(bt_lib_open(), 1);
    QCOMPARE(bt_lib_device_get(0, nullptr), -1);
    QCOMPARE(bt_lib_device_get(-1, nullptr), -1);
}

void TestBluetoothLibrary::reopenSeesDeviceAddedMeanwhile()
{
    FakeBluezBus bus({twoDevices().last()});
    QVERIFY2(bus.start(), qPrintable(bus.errorString()));
    QCOMPARE(bt_lib_open(), 1);

    // Its path sorts first: it takes its place in the list, not the end.
    QVERIFY2(bus.addDevice({devicePath(QStringLiteral("0")), QStringLiteral("0A:0B:0C:0D:0E:0F"), true,
                            QStringLiteral("a"), QStringLiteral("new")}),
             qPrintable(bus.errorString()));
    QCOMPARE(bt_lib_device_get_count(), 1); // the list stays as read until the next open
    QCOMPARE(storedName(deviceAt(0)), QStringLiteral("b"));

    QCOMPARE(bt_lib_open(), 2);
    QCOMPARE(btDeviceLabel(deviceAt(0)), QStringLiteral("new(0a:0b:0c:0d:0e:0f)"));
    QCOMPARE(btDeviceLabel(deviceAt(1)), QStringLiteral("b(01:02:03:04:05:07)"));
}

void TestBluetoothLibrary::listedDeviceNamesTheAdapterItIsPairedWith()
{
    // The fake's devices belong to its adapter hci0, 00:1A:7D:DA:71:13.
    FakeBluezBus bus(twoDevices());
    QVERIFY2(bus.start(), qPrintable(bus.errorString()));
    QCOMPARE(bt_lib_open(), 2);
    unsigned char adapter[6] = {};
    QVERIFY(btPairedAdapter({7, 5, 4, 3, 2, 1}, adapter));
    QCOMPARE(Bytes(std::begin(adapter), std::end(adapter)), (Bytes{0x13, 0x71, 0xda, 0x7d, 0x1a, 0x00}));
    QVERIFY(!btPairedAdapter({8, 5, 4, 3, 2, 1}, adapter));
}

void TestBluetoothLibrary::concurrentOpensEachReadTheWholeList()
{
    // Each open has a connection of its own: one that shared another's would lose it when that
    // one closes.
    FakeBluezBus bus(twoDevices());
    QVERIFY2(bus.start(), qPrintable(bus.errorString()));

    constexpr int threads = 3;
    constexpr int opens = 10;
    std::array<int, threads> complete{};
    std::vector<std::unique_ptr<WorkerThread>> workers;
    for (int t = 0; t < threads; ++t) {
        workers.push_back(std::make_unique<WorkerThread>([&complete, t] {
            for (int i = 0; i < opens; ++i) {
                BtDeviceInfo device;
                if (bt_lib_open() == 2 && bt_lib_device_get(1, &device) == 0 && device.name[0] == u'b')
                    ++complete[t];
            }
        }));
    }
    for (auto &worker : workers)
        QVERIFY(worker->join(60000));
    for (int t = 0; t < threads; ++t)
        QCOMPARE(complete[t], opens);
}

QTEST_GUILESS_MAIN(TestBluetoothLibrary)
#include "tst_bluetoothlibrary.moc"
