#pragma once

#include "btdeviceinfo.h"

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <optional>

// One device object of the fake BlueZ.
struct FakeBluezDevice
{
    QString path;    // e.g. /org/bluez/hci0/dev_AA_BB_CC_DD_EE_FF
    QString address; // the Address property as BlueZ writes it; empty: no Address
    bool paired = true;
    std::optional<QString> name = {};  // no Name when unset or empty
    // The alias the user gave; unset, the Alias is BlueZ's own: the name, else the address with dashes.
    std::optional<QString> alias = {};
};

// A private D-Bus daemon with a fake BlueZ on it (the executable fake-bluez, whose path comes from
// LUMO_FAKE_BLUEZ, which CTest sets for every test), standing in for the system bus:
//
//   FakeBluezBus bus({{"/org/bluez/hci0/dev_1", "AA:BB:CC:DD:EE:FF", true, "Phone"}});
//   QVERIFY2(bus.start(), qPrintable(bus.errorString()));
//   bt_lib_open(); // reads from the fake
//
// start() returns once org.bluez is owned and points DBUS_SYSTEM_BUS_ADDRESS of this process at the
// daemon, so that child processes started later inherit it too. The destructor ends both processes,
// waits for them and gives DBUS_SYSTEM_BUS_ADDRESS its former value (or unsets it). Both processes
// also die with the thread that started them, so a crashed test leaves nothing running.
// Not copyable; one at a time per process, since it owns the variable.
class FakeBluezBus
{
public:
    enum class Bluez {
        Answering, // answers GetManagedObjects with the devices
        Hanging,   // owns org.bluez but never answers
        Absent,    // the bus alone, nobody owns org.bluez
    };

    explicit FakeBluezBus(QList<FakeBluezDevice> devices = {}, Bluez bluez = Bluez::Answering);
    ~FakeBluezBus();
    FakeBluezBus(const FakeBluezBus &) = delete;
    FakeBluezBus &operator=(const FakeBluezBus &) = delete;

    // False on any failure (no dbus-daemon, no LUMO_FAKE_BLUEZ, a device the fake refuses, time-out);
    // errorString() says which.
    bool start(int timeoutMs = 30000);
    QString errorString() const { return m_error; }

    // The daemon's address, as DBUS_SYSTEM_BUS_ADDRESS now holds it; empty before a successful start().
    QString busAddress() const { return m_busAddress; }

    // Adds a device (or replaces the one with the same path) and the alias it has, if any; returns
    // once the next GetManagedObjects includes it. Only with Bluez::Answering or Bluez::Hanging.
    bool addDevice(const FakeBluezDevice &device, int timeoutMs = 10000);

    // fake-bluez's path from LUMO_FAKE_BLUEZ; empty when that is not set.
    static QString executable();

private:
    bool startDaemon(int timeoutMs);
    bool startBluez(int timeoutMs);
    bool sendCommand(const QString &kind, const QString &value, int timeoutMs);

    QList<FakeBluezDevice> m_devices;
    Bluez m_bluez;
    QTemporaryDir m_dir;
    QProcess m_daemon;
    QProcess m_fakeBluez;
    QString m_busAddress;
    std::optional<QByteArray> m_savedAddress; // DBUS_SYSTEM_BUS_ADDRESS before start(), if it was set
    bool m_addressChanged = false;
    QString m_error;
};

// True when every byte of the record is 0: what the library hands out for an index outside its list.
bool isAllZero(const BtDeviceInfo &device);
