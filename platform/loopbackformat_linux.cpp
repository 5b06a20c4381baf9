#include "loopbackdevice.h"

#include <linux/videodev2.h>

#include <sys/file.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

LoopbackClaim claimLoopback(int fd, int &width, int &height, int framesPerSecond, std::string &error)
{
    const auto fail = [&error](const char *step) {
        error = std::string(step) + ": " + std::strerror(errno);
        return LoopbackClaim::Failed;
    };
    // The lock goes with the descriptor: it ends when the device is closed, or the process ends.
    if (::flock(fd, LOCK_EX | LOCK_NB) < 0)
        return errno == EWOULDBLOCK ? LoopbackClaim::Busy : fail("flock");

    v4l2_capability cap{};
    if (loopbackIoctl(fd, VIDIOC_QUERYCAP, &cap) < 0)
        return fail("VIDIOC_QUERYCAP");
    const std::uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
    const bool loopback = std::strncmp(reinterpret_cast<const char *>(cap.driver), kLoopbackDriver, sizeof cap.driver) == 0;
    if (loopback && !(caps & V4L2_CAP_VIDEO_OUTPUT))
        return (caps & V4L2_CAP_VIDEO_CAPTURE) ? LoopbackClaim::Busy : LoopbackClaim::WithoutOutput;

    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    // Only to start from the device's own field and colour settings; a device that has none yet
    // is set up from zero.
    if (loopbackIoctl(fd, VIDIOC_G_FMT, &format) < 0) {
        format = {};
        format.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    }
    announceFrameRate(fd, framesPerSecond);

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
        return errno == EBUSY ? LoopbackClaim::Busy : fail("VIDIOC_S_FMT");
    // A device that a reader holds keeps the reader's format and answers with it. Frames are written
    // as tight rows, bytesperline * height bytes (sizeimage may be rounded up to whole pages and must
    // not be written).
    const v4l2_pix_format &taken = format.fmt.pix;
    if (taken.pixelformat != V4L2_PIX_FMT_YUYV || taken.width < 2 || taken.width % 2 != 0 || taken.height < 1
        || (taken.bytesperline != 0 && taken.bytesperline != taken.width * 2)) {
        error = "the device does not take " + std::to_string(evenWidth) + "x" + std::to_string(rows)
            + " YUYV, nor YUYV of another size";
        return LoopbackClaim::Failed;
    }
    width = static_cast<int>(taken.width);
    height = static_cast<int>(taken.height);
    return LoopbackClaim::Taken;
}

void announceFrameRate(int fd, int framesPerSecond)
{
    // What readers are told to expect; a device that keeps its own rate is still usable.
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    parm.parm.output.timeperframe.numerator = 1;
    parm.parm.output.timeperframe.denominator = static_cast<std::uint32_t>(framesPerSecond);
    loopbackIoctl(fd, VIDIOC_S_PARM, &parm);
}
