#pragma once

#include "btdeviceinfo.h"

// The Bluetooth device library, on BlueZ.
//
// Device list (GUI thread): bt_lib_open() reads the paired devices that BlueZ knows from the system
// D-Bus, without an inquiry scan, with a bounded call time: no bus, no BlueZ or a bus that does not
// answer gives an empty list. The list stays as read until the next bt_lib_open(); its order is
// stable (BlueZ's object paths).
int bt_lib_open(); // the number of devices read
int bt_lib_device_get_count();
// Fills the record with device index. An index outside the list fills it with zeros (a record that
// fails cleanly when connected) and returns -1; otherwise returns 0.
int bt_lib_device_get(int index, BtDeviceInfo *info);

// Stream (capture thread): finds the service by name on the device through an SDP browse, connects an
// RFCOMM socket to its channel and returns the connected descriptor, or -1 on any failure (an all-zero
// record, no adapter, the device not answering, no such service). The caller owns the descriptor.
int bt_lib_stream_connect(const BtDeviceInfo *device, const char *serviceName);
// Releases what the library holds for the current stream.
int bt_lib_stream_close();
