#pragma once

#include "virtualcamerawriter.h"

#include <mutex>
#include <string>

// The process's one camera, shared by the three calls of virtualcamera.h and VirtualCameraHolder;
// every use holds the mutex. Closed when the process ends.
struct ProcessCamera
{
    std::mutex mutex;
    VirtualCameraWriter writer;
};
ProcessCamera &processCamera();

// LUMO_VIRTUAL_CAMERA, or empty.
std::string configuredCamera();
