#pragma once

#include "btdeviceinfo.h"

#include <QList>

// The Bluetooth device library, on BlueZ.
//
// Device list (GUI thread): bt_lib_open() asks BlueZ's object manager on the system D-Bus for the
// devices it knows, without an inquiry scan, and keeps the paired ones that have an address, in
// object-path order, named by their Alias (or Name). The call waits at most 2 s: no bus, no BlueZ, an
// error or no answer in time gives an empty list. DBUS_SYSTEM_BUS_ADDRESS, when set, names the bus and
// is read on every call. The list stays as read until the next bt_lib_open(); the three calls may
// come from any thread.
int bt_lib_open(); // the number of devices read
int bt_lib_device_get_count();
// Fills the record with a copy of device index and returns 0. An index outside the list fills it with
// zeros (a record that fails cleanly when connected) and returns -1; no record at all returns -1.
int bt_lib_device_get(int index, BtDeviceInfo *info);

// Stream (capture thread): finds the service by name on the device through an SDP browse, connects an
// RFCOMM socket to its channel and returns the connected descriptor, or -1 on any failure (an all-zero
// record, no adapter, the device not answering, no such service). The caller owns the descriptor.
int bt_lib_stream_connect(const BtDeviceInfo *device, const char *serviceName);
// Releases what the library holds for the current stream.
int bt_lib_stream_close();

// The library's own: bt_lib_open(), then the whole list it read, in its order.
QList<BtDeviceInfo> btListDevices();

// The library's own: the address (bdaddr_t order) of the local adapter that the device with this
// address is paired with, as the last bt_lib_open() read it; zeros when BlueZ did not say. False when
// that list has no such device. Devices belong to one adapter each: a connect has to go out through
// that one, as the phone knows no other.
bool btPairedAdapter(const unsigned char (&device)[6], unsigned char (&adapter)[6]);
