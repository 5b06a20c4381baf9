#pragma once

#include <QString>

// One Bluetooth device as the device library lists it: exactly 518 bytes, copied whole by value from
// the transport choice to the Bluetooth stream and handed back to the library unchanged.
struct BtDeviceInfo
{
    // bdaddr_t order: byte 0 is the last pair of the written address (AA:BB:CC:DD:EE:FF gives FF first).
    unsigned char address[6];
    // UTF-16, at most 255 units, ending with a 0 unit.
    char16_t name[256];
};
static_assert(sizeof(BtDeviceInfo) == 518, "BtDeviceInfo is a fixed 518-byte record");

// The name up to its terminating 0, then "(", the address written from byte 5 down to byte 0 as
// lowercase hex pairs joined by ":", then ")": Phone(5a:4b:3c:2d:1e:0f).
QString btDeviceLabel(const BtDeviceInfo &device);

// The address as written, byte 5 first, lowercase: 5a:4b:3c:2d:1e:0f.
QString btDeviceAddress(const BtDeviceInfo &device);

// Reads a written address (six hex pairs joined by ":", either case) into bdaddr_t order; false, and
// the bytes untouched, when the text is no such address.
bool parseBtAddress(const QString &text, unsigned char (&address)[6]);
