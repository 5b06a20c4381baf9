#include "loopbackdevice.h"

#include <linux/videodev2.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

bool setLoopbackFormat(int fd, int width, int height, std::string &error)
{
    const auto fail = [&error](const char *step) {
        error = std::string(step) + ": " + std::strerror(errno);
        return false;
    };
    LoopbackIdentity identity;
    if (!queryLoopbackIdentity(fd, identity))
        return fail("VIDIOC_QUERYCAP");

    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    // Only to start from the device's own field and colour settings; a device that has none yet
    // is set up from zero.
    if (loopbackIoctl(fd, VIDIOC_G_FMT, &format) < 0) {
        format = {};
        format.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    }

    // The frame rate is what readers are told to expect; a device that keeps its own is still usable.
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    parm.parm.output.timeperframe.numerator = 1;
    parm.parm.output.timeperframe.denominator = 30;
    loopbackIoctl(fd, VIDIOC_S_PARM, &parm);

    const std::uint32_t evenWidth = static_cast<std::uint32_t>(width & ~1);
    const std::uint32_t rows = static_cast<std::uint32_t>(height);
    format.fmt.pix.width = evenWidth;
    format.fmt.pix.height = rows;
    format.fmt.pix.pixelformat = V4L2_PIX_FMT_YUYV;
    format.fmt.pix.field = V4L2_FIELD_NONE;
    format.fmt.pix.bytesperline = evenWidth * 2;
    format.fmt.pix.sizeimage = evenWidth * 2 * rows;
    format.fmt.pix.colorspace = V4L2_COLORSPACE_SMPTE170M;
    if (loopbackIoctl(fd, VIDIOC_S_FMT, &format) < 0)
        return fail("VIDIOC_S_FMT");
    // Frames are written as tight rows, bytesperline * height bytes (sizeimage may be rounded up to
    // whole pages and must not be written).
    if (format.fmt.pix.width != evenWidth || format.fmt.pix.height != rows
        || format.fmt.pix.pixelformat != V4L2_PIX_FMT_YUYV
        || (format.fmt.pix.bytesperline != 0 && format.fmt.pix.bytesperline != evenWidth * 2)) {
        error = "the device does not take " + std::to_string(evenWidth) + "x" + std::to_string(rows) + " YUYV";
        return false;
    }
    return true;
}
