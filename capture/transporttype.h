#pragma once

// The four ways to reach the phone's camera server. The values are the codes that the window stores
// as "transportType" and gives its transport buttons as ids: they must not change.
enum class TransportType { Serial = 0, Bluetooth = 1, Usb = 2, Wifi = 3 };
