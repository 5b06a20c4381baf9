#include "bluetoothlibrary.h"

#include <cstring>

// Placeholder until the BlueZ device list lands: no devices.
int bt_lib_open()
{
    return 0;
}

int bt_lib_device_get_count()
{
    return 0;
}

int bt_lib_device_get(int, BtDeviceInfo *info)
{
    if (info)
        std::memset(info, 0, sizeof *info);
    return -1;
}
