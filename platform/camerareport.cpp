#include "camerareport.h"

#include "loopbackdevice.h"

#include <cstdio>

namespace CameraReport {

namespace {
const char kPrefix[] = "Lumo Webcam: ";
} // namespace

std::string &last()
{
    static std::string line;
    return line;
}

void once(const std::string &line)
{
    static std::string lastLine;
    last() = line;
    if (line == lastLine)
        return;
    lastLine = line;
    std::fprintf(stderr, "%s\n", line.c_str());
}

VirtualCameraStatus failedStatus(std::string line)
{
    VirtualCameraStatus status;
    if (line.rfind(kPrefix, 0) == 0)
        line.erase(0, sizeof kPrefix - 1);
    if (line.find(kLoopbackReloadHint) != std::string::npos)
        status.fix = kLoopbackReloadHint;
    else if (line.find(kLoopbackLoadHint) != std::string::npos)
        status.fix = kLoopbackLoadHint;
    status.problem = line.empty() ? std::string("no camera for this frame size") : line;
    return status;
}

void configuredFailure(const std::string &path, const std::string &why)
{
    once("Lumo Webcam: cannot use virtual camera " + path + " (LUMO_VIRTUAL_CAMERA): " + why);
}

} // namespace CameraReport
