#include "virtualcamera.h"

#include "virtualcamerawriter.h"

#include <cstdlib>
#include <mutex>

namespace {

// The process's one camera, closed when the process ends.
std::mutex cameraMutex;
VirtualCameraWriter camera;

std::string configuredCamera()
{
    const char *configured = std::getenv("LUMO_VIRTUAL_CAMERA");
    return configured ? configured : "";
}

} // namespace

int filter_wrapper_open(int width, int height)
{
    const std::lock_guard lock(cameraMutex);
    return camera.open(width, height, configuredCamera()) ? 1 : 0;
}

void filter_wrapper_write_frame_data(const unsigned char *data, int length)
{
    const std::lock_guard lock(cameraMutex);
    camera.writeFrame(data, length);
}

void filter_wrapper_close()
{
    const std::lock_guard lock(cameraMutex);
    camera.close();
}
