#pragma once

#include "virtualcamera.h"

#include <string>

// The one line of standard error that the virtual camera may print for an open or a write, and what
// the window shows of it.
namespace CameraReport {

// Prints line, unless it was the last one printed: a failure that repeats on every connection is
// reported once, a different one again.
void once(const std::string &line);
// The last line reported, even when it was not printed again: the reason an open failed.
std::string &last();
// The line for a camera named by LUMO_VIRTUAL_CAMERA that cannot be used.
void configuredFailure(const std::string &path, const std::string &why);
// The status of a failed open, from the line that reported it.
VirtualCameraStatus failedStatus(std::string line);

} // namespace CameraReport
