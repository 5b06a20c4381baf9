#include "bluetoothlibrary.h"

// Placeholder until the SDP lookup and RFCOMM connect land.
int bt_lib_stream_connect(const BtDeviceInfo *, const char *)
{
    return -1;
}

int bt_lib_stream_close()
{
    return 0;
}
