#include "virtualcamera.h"

#include "processcamera.h"

#include <cstdlib>

ProcessCamera &processCamera()
{
    static ProcessCamera camera;
    return camera;
}

std::string configuredCamera()
{
    const char *configured = std::getenv("LUMO_VIRTUAL_CAMERA");
    return configured ? configured : "";
}

int filter_wrapper_open(int width, int height)
{
    ProcessCamera &camera = processCamera();
    const std::lock_guard lock(camera.mutex);
    return camera.writer.open(width, height, configuredCamera()) ? 1 : 0;
}

void filter_wrapper_write_frame_data(const unsigned char *data, int length)
{
    ProcessCamera &camera = processCamera();
    const std::lock_guard lock(camera.mutex);
    camera.writer.writeFrame(data, length);
}

void filter_wrapper_write_picture(const YuyvPicture &picture)
{
    ProcessCamera &camera = processCamera();
    const std::lock_guard lock(camera.mutex);
    camera.writer.writeFrame(picture);
}

void filter_wrapper_close()
{
    ProcessCamera &camera = processCamera();
    const std::lock_guard lock(camera.mutex);
    camera.writer.close();
}

VirtualCameraStatus virtualCameraStatus()
{
    ProcessCamera &camera = processCamera();
    const std::lock_guard lock(camera.mutex);
    return camera.writer.status();
}
