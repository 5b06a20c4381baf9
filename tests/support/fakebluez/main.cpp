// fake-bluez: a stand-in for bluetoothd's object manager on a private D-Bus, so the Bluetooth device
// list can be read without an adapter. It owns the name org.bluez and answers GetManagedObjects at
// "/" with the devices it was given. See --help.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVirtualObject>
#include <QRegularExpression>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <thread>

namespace {

const QString objectManagerInterface = QStringLiteral("org.freedesktop.DBus.ObjectManager");
const QString adapterPath = QStringLiteral("/org/bluez/hci0");

struct Device
{
    QString path;
    QString address; // empty: the object has no Address
    bool paired = false;
    std::optional<QString> name;
    std::optional<QString> alias;
};

using InterfaceMap = QMap<QString, QVariantMap>;

// The object manager's answer in the order the devices were given, which need not be path order:
// the client has to bring them into order itself.
struct ManagedObjects
{
    QList<std::pair<QDBusObjectPath, InterfaceMap>> objects;
};

QDBusArgument &operator<<(QDBusArgument &argument, const ManagedObjects &managed)
{
    argument.beginMap(QMetaType::fromType<QDBusObjectPath>(), QMetaType::fromType<InterfaceMap>());
    for (const auto &[path, interfaces] : managed.objects) {
        argument.beginMapEntry();
        argument << path << interfaces;
        argument.endMapEntry();
    }
    argument.endMap();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, ManagedObjects &managed)
{
    managed.objects.clear();
    argument.beginMap();
    while (!argument.atEnd()) {
        std::pair<QDBusObjectPath, InterfaceMap> entry;
        argument.beginMapEntry();
        argument >> entry.first >> entry.second;
        argument.endMapEntry();
        managed.objects.append(entry);
    }
    argument.endMap();
    return argument;
}

} // namespace

Q_DECLARE_METATYPE(ManagedObjects)

namespace {

[[noreturn]] void fail(const QString &message)
{
    std::fprintf(stderr, "fake-bluez: %s\n", qPrintable(message));
    std::exit(2);
}

void say(const QString &line)
{
    std::fprintf(stdout, "%s\n", qPrintable(line));
    std::fflush(stdout);
}

bool isObjectPath(const QString &path)
{
    static const QRegularExpression pattern(QStringLiteral("^/([A-Za-z0-9_]+(/[A-Za-z0-9_]+)*)?$"));
    return pattern.match(path).hasMatch();
}

// PATH,ADDRESS,PAIRED[,NAME]: everything after the third comma is the name, commas included.
std::optional<Device> parseDevice(const QString &text, QString &error)
{
    const qsizetype first = text.indexOf(QLatin1Char(','));
    const qsizetype second = first < 0 ? -1 : text.indexOf(QLatin1Char(','), first + 1);
    if (second < 0) {
        error = QStringLiteral("a device is PATH,ADDRESS,PAIRED[,NAME], not \"%1\"").arg(text);
        return std::nullopt;
    }
    const qsizetype third = text.indexOf(QLatin1Char(','), second + 1);
    Device device;
    device.path = text.left(first);
    device.address = text.mid(first + 1, second - first - 1);
    const QString paired = third < 0 ? text.mid(second + 1) : text.mid(second + 1, third - second - 1);
    if (third >= 0)
        device.name = text.mid(third + 1);
    if (!isObjectPath(device.path)) {
        error = QStringLiteral("\"%1\" is no D-Bus object path").arg(device.path);
        return std::nullopt;
    }
    if (paired != QLatin1String("0") && paired != QLatin1String("1")) {
        error = QStringLiteral("PAIRED is 0 or 1, not \"%1\"").arg(paired);
        return std::nullopt;
    }
    device.paired = paired == QLatin1String("1");
    return device;
}

class FakeObjectManager : public QDBusVirtualObject
{
public:
    explicit FakeObjectManager(bool hang) : m_hang(hang) {}

    // A device whose path is already known takes its place.
    void addDevice(const Device &device)
    {
        for (Device &known : m_devices) {
            if (known.path == device.path) {
                known = device;
                return;
            }
        }
        m_devices.append(device);
    }

    bool setAlias(const QString &path, const QString &alias)
    {
        for (Device &known : m_devices) {
            if (known.path == path) {
                known.alias = alias;
                return true;
            }
        }
        return false;
    }

    QString introspect(const QString &) const override
    {
        return QStringLiteral("<interface name=\"org.freedesktop.DBus.ObjectManager\">"
                              "<method name=\"GetManagedObjects\">"
                              "<arg name=\"objects\" type=\"a{oa{sa{sv}}}\" direction=\"out\"/>"
                              "</method></interface>");
    }

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        if (message.member() != QLatin1String("GetManagedObjects")
            || !(message.interface().isEmpty() || message.interface() == objectManagerInterface))
            return false;
        // Taken but never answered: the caller learns nothing until its own time-out.
        if (!m_hang)
            connection.send(message.createReply(QVariant::fromValue(managedObjects())));
        return true;
    }

private:
    // Besides the devices, the adapter (which has an Address and a Name too, but is no device) and the
    // interfaces BlueZ puts on every object, so that a client has to pick Device1 out.
    ManagedObjects managedObjects() const
    {
        const QVariantMap none;
        ManagedObjects managed;
        managed.objects.append({QDBusObjectPath(adapterPath),
                                {{QStringLiteral("org.freedesktop.DBus.Introspectable"), none},
                                 {QStringLiteral("org.bluez.Adapter1"),
                                  {{QStringLiteral("Address"), QStringLiteral("00:1A:7D:DA:71:13")},
                                   {QStringLiteral("Name"), QStringLiteral("fake-adapter")},
                                   {QStringLiteral("Powered"), true}}}}});
        for (const Device &device : m_devices) {
            QVariantMap properties{
                {QStringLiteral("Adapter"), QVariant::fromValue(QDBusObjectPath(adapterPath))},
                {QStringLiteral("Paired"), device.paired},
                {QStringLiteral("Connected"), false},
                {QStringLiteral("UUIDs"), QStringList{QStringLiteral("00001101-0000-1000-8000-00805f9b34fb")}},
            };
            if (!device.address.isEmpty())
                properties.insert(QStringLiteral("Address"), device.address);
            // As bluetoothd has them: no Name when the device told none, and always an Alias: the
            // user's, else the name, else the address with dashes.
            const bool named = device.name && !device.name->isEmpty();
            if (named)
                properties.insert(QStringLiteral("Name"), *device.name);
            properties.insert(QStringLiteral("Alias"), device.alias ? *device.alias
                                                       : named      ? *device.name
                                                                    : QString(device.address).replace(u':', u'-'));
            managed.objects.append({QDBusObjectPath(device.path),
                                    {{QStringLiteral("org.freedesktop.DBus.Introspectable"), none},
                                     {QStringLiteral("org.freedesktop.DBus.Properties"), none},
                                     {QStringLiteral("org.bluez.Device1"), properties}}});
        }
        return managed;
    }

    bool m_hang;
    QList<Device> m_devices;
};

// One command: "device PATH,ADDRESS,PAIRED[,NAME]" or "alias PATH,TEXT", as the options of the same names take them.
QString applyCommand(FakeObjectManager &manager, const QString &kind, const QString &value)
{
    QString error;
    if (kind == QLatin1String("device")) {
        const std::optional<Device> device = parseDevice(value, error);
        if (device)
            manager.addDevice(*device);
        return error;
    }
    if (kind == QLatin1String("alias")) {
        const qsizetype comma = value.indexOf(QLatin1Char(','));
        if (comma < 0 || !manager.setAlias(value.left(comma), value.mid(comma + 1)))
            return QStringLiteral("an alias is PATH,TEXT for a device given before, not \"%1\"").arg(value);
        return {};
    }
    return QStringLiteral("unknown command \"%1\"").arg(kind);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    qDBusRegisterMetaType<InterfaceMap>();
    qDBusRegisterMetaType<ManagedObjects>();

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Owns org.bluez on the bus at --address and answers ObjectManager.GetManagedObjects at / with an\n"
        "adapter and the devices given. Prints \"ready\" once the name is owned.\n"
        "Standard input takes further lines \"device PATH,ADDRESS,PAIRED[,NAME]\" and \"alias PATH,TEXT\" (as the options), each\n"
        "answered \"ok\" or \"error: WHY\" once the next call sees it."));
    parser.addHelpOption();
    parser.addOption({QStringLiteral("address"), QStringLiteral("D-Bus address of the bus to serve on."),
                      QStringLiteral("ADDRESS")});
    parser.addOption({QStringLiteral("device"),
                      QStringLiteral("A device object, e.g. /org/bluez/hci0/dev_1,AA:BB:CC:DD:EE:FF,1,Phone. "
                                     "ADDRESS may be empty (no Address); without NAME, or with an empty one, "
                                     "there is no Name; the name is everything after the third comma, commas "
                                     "included."),
                      QStringLiteral("PATH,ADDRESS,PAIRED[,NAME]")});
    parser.addOption({QStringLiteral("alias"),
                      QStringLiteral("The Alias the user gave the device at PATH: everything after the first "
                                     "comma. Without one the Alias is BlueZ's own: the name, else the address "
                                     "with dashes."),
                      QStringLiteral("PATH,TEXT")});
    parser.addOption({QStringLiteral("hang"), QStringLiteral("Own the name but never answer.")});
    parser.addOption({QStringLiteral("exit-on-eof"), QStringLiteral("Exit when standard input ends.")});
    parser.process(app);

    if (!parser.positionalArguments().isEmpty())
        fail(QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().constFirst()));
    if (!parser.isSet(QStringLiteral("address")))
        fail(QStringLiteral("--address is needed"));
    FakeObjectManager manager(parser.isSet(QStringLiteral("hang")));
    for (const QString &kind : {QStringLiteral("device"), QStringLiteral("alias")}) {
        for (const QString &value : parser.values(kind)) {
            const QString error = applyCommand(manager, kind, value);
            if (!error.isEmpty())
                fail(error);
        }
    }

    QDBusConnection bus = QDBusConnection::connectToBus(parser.value(QStringLiteral("address")),
                                                        QStringLiteral("fake-bluez"));
    if (!bus.isConnected())
        fail(QStringLiteral("cannot connect to the bus: %1").arg(bus.lastError().message()));
    if (!bus.registerVirtualObject(QStringLiteral("/"), &manager))
        fail(QStringLiteral("cannot serve /"));
    if (!bus.registerService(QStringLiteral("org.bluez")))
        fail(QStringLiteral("cannot own org.bluez: %1").arg(bus.lastError().message()));

    // Lines are read on a thread of their own and applied on the main thread, between two calls.
    const bool exitOnEof = parser.isSet(QStringLiteral("exit-on-eof"));
    std::thread([&app, &manager, exitOnEof] {
        std::string line;
        while (std::getline(std::cin, line)) {
            const QString command = QString::fromStdString(line);
            const qsizetype blank = command.indexOf(QLatin1Char(' '));
            const QString kind = command.left(blank);
            const QString value = blank < 0 ? QString() : command.mid(blank + 1);
            QMetaObject::invokeMethod(&app, [&manager, kind, value] {
                const QString error = applyCommand(manager, kind, value);
                say(error.isEmpty() ? QStringLiteral("ok") : QStringLiteral("error: ") + error);
            });
        }
        if (exitOnEof)
            QMetaObject::invokeMethod(&app, &QCoreApplication::quit);
    }).detach();

    say(QStringLiteral("ready"));
    return app.exec();
}
