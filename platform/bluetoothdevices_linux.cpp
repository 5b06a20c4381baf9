#include "bluetoothlibrary.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QMap>
#include <QVariantMap>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iterator>
#include <mutex>
#include <optional>
#include <vector>

namespace {

using InterfaceMap = QMap<QString, QVariantMap>;
// Keyed by path, so the devices come out in BlueZ's object-path order whatever order the reply has.
using ManagedObjects = QMap<QDBusObjectPath, InterfaceMap>;

// The list is read on the GUI thread while the transport dialog is being built, so a bluetoothd
// that hangs must not freeze the window for libdbus's default 25 s. BlueZ answers this call from
// memory within milliseconds; 2 s still leaves a loaded machine ample room.
constexpr int callTimeoutMs = 2000;

// libdbus reads the bus addresses from the environment only once per process; reading it here on
// every call lets a changed DBUS_SYSTEM_BUS_ADDRESS take effect on the next bt_lib_open().
const char systemBusVariable[] = "DBUS_SYSTEM_BUS_ADDRESS";
const QString defaultSystemBus = QStringLiteral("unix:path=/var/run/dbus/system_bus_socket");

const QString deviceInterface = QStringLiteral("org.bluez.Device1");
const QString adapterInterface = QStringLiteral("org.bluez.Adapter1");
constexpr qsizetype maxNameUnits = std::size(BtDeviceInfo{}.name) - 1;

struct ListedDevice
{
    BtDeviceInfo info;
    unsigned char adapter[6]; // the local adapter the device is paired with; zeros when unknown
};

std::mutex listMutex;
std::vector<ListedDevice> deviceList; // guarded by listMutex

QString systemBusAddress()
{
    const QString address = qEnvironmentVariable(systemBusVariable);
    return address.isEmpty() ? defaultSystemBus : address;
}

// A name already in use hands back that connection, and one call's disconnect would cut another's
// call short: every call, on whatever thread, gets a name of its own.
QString uniqueConnectionName()
{
    static std::atomic<unsigned> counter{0};
    return QStringLiteral("lumo-bluetooth-devices-%1").arg(counter.fetch_add(1));
}

// BlueZ's answer, or an empty map when there is no bus, no BlueZ, an error or no answer in time.
ManagedObjects readManagedObjects()
{
    const QString connectionName = uniqueConnectionName();
    ManagedObjects objects;
    {
        QDBusConnection bus = QDBusConnection::connectToBus(systemBusAddress(), connectionName);
        if (bus.isConnected()) {
            QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.bluez"), QStringLiteral("/"),
                                                               QStringLiteral("org.freedesktop.DBus.ObjectManager"),
                                                               QStringLiteral("GetManagedObjects"));
            // Starting bluetoothd on demand could take longer than the dialog may wait; a daemon that
            // is not running knows no devices worth offering.
            call.setAutoStartService(false);
            const QDBusMessage reply = bus.call(call, QDBus::Block, callTimeoutMs);
            if (reply.type() == QDBusMessage::ReplyMessage && reply.signature() == QLatin1String("a{oa{sa{sv}}}"))
                objects = qdbus_cast<ManagedObjects>(reply.arguments().constFirst());
        }
    }
    QDBusConnection::disconnectFromBus(connectionName);
    return objects;
}

std::optional<QString> stringProperty(const QVariantMap &properties, const QString &name)
{
    const QVariant value = properties.value(name);
    if (value.metaType() != QMetaType::fromType<QString>())
        return std::nullopt;
    return value.toString();
}

// At most 255 units, and never the first half of a surrogate pair as the last unit.
void storeName(const QString &name, BtDeviceInfo &device)
{
    qsizetype length = std::min(name.size(), maxNameUnits);
    if (length < name.size() && QChar::isHighSurrogate(name.at(length - 1).unicode()))
        --length;
    std::copy_n(name.utf16(), length, device.name);
    device.name[length] = 0;
}

// The address of the adapter object that the device's Adapter property names; zeros when unknown.
void storeAdapter(const ManagedObjects &objects, const QVariantMap &device, unsigned char (&adapter)[6])
{
    const QDBusObjectPath path = device.value(QStringLiteral("Adapter")).value<QDBusObjectPath>();
    const QVariantMap properties = objects.value(path).value(adapterInterface);
    if (!parseBtAddress(stringProperty(properties, QStringLiteral("Address")).value_or(QString()), adapter))
        std::fill(std::begin(adapter), std::end(adapter), 0);
}

std::vector<ListedDevice> pairedDevices(const ManagedObjects &objects)
{
    std::vector<ListedDevice> devices;
    for (const InterfaceMap &interfaces : objects) {
        const auto found = interfaces.constFind(deviceInterface);
        if (found == interfaces.cend())
            continue;
        const QVariantMap &properties = found.value();
        const QVariant paired = properties.value(QStringLiteral("Paired"));
        if (paired.metaType() != QMetaType::fromType<bool>() || !paired.toBool())
            continue;
        ListedDevice device{};
        if (!parseBtAddress(stringProperty(properties, QStringLiteral("Address")).value_or(QString()),
                            device.info.address))
            continue;
        const std::optional<QString> alias = stringProperty(properties, QStringLiteral("Alias"));
        storeName(alias ? *alias : stringProperty(properties, QStringLiteral("Name")).value_or(QString()), device.info);
        storeAdapter(objects, properties, device.adapter);
        devices.push_back(device);
    }
    return devices;
}

} // namespace

int bt_lib_open()
{
    std::vector<ListedDevice> devices = pairedDevices(readManagedObjects());
    const std::lock_guard lock(listMutex);
    deviceList.swap(devices);
    return int(deviceList.size());
}

int bt_lib_device_get_count()
{
    const std::lock_guard lock(listMutex);
    return int(deviceList.size());
}

int bt_lib_device_get(int index, BtDeviceInfo *info)
{
    if (!info)
        return -1;
    const std::lock_guard lock(listMutex);
    if (index < 0 || std::size_t(index) >= deviceList.size()) {
        std::memset(info, 0, sizeof *info);
        return -1;
    }
    *info = deviceList[std::size_t(index)].info;
    return 0;
}

QList<BtDeviceInfo> btListDevices()
{
    bt_lib_open();
    QList<BtDeviceInfo> devices;
    const std::lock_guard lock(listMutex);
    for (const ListedDevice &listed : deviceList)
        devices.append(listed.info);
    return devices;
}

bool btPairedAdapter(const unsigned char (&device)[6], unsigned char (&adapter)[6])
{
    const std::lock_guard lock(listMutex);
    for (const ListedDevice &listed : deviceList) {
        if (std::equal(std::begin(device), std::end(device), std::begin(listed.info.address))) {
            std::copy(std::begin(listed.adapter), std::end(listed.adapter), std::begin(adapter));
            return true;
        }
    }
    return false;
}
