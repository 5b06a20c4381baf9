#include "loopbackdevice.h"

#include <linux/videodev2.h>

void handBackOnClose(int fd)
{
    // v4l2loopback 0.12.7 with exclusive_caps=1 only hands the device back to the next writer if
    // this one started streaming; without it the next writer's VIDIOC_S_FMT fails until the module
    // is reloaded. Newer versions refuse STREAMON without buffers and do not need it.
    int type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    loopbackIoctl(fd, VIDIOC_STREAMON, &type);
}
