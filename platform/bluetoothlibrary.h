#pragma once

#include "btdeviceinfo.h"

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
