#pragma once

#include <string>
#include <vector>

// The v4l2loopback side of the virtual camera, one concern per source file:
//   loopbackdiscovery_v4l2.cpp  which /dev/videoN nodes are loopback devices, and which to try first
//   loopbackformat_v4l2.cpp     the YUYV format and frame rate that an opened device is given
//   loopbackhandback_v4l2.cpp   the work-around that lets v4l2loopback 0.12.7 take the next writer

inline constexpr char kLoopbackLoadHint[] = "sudo modprobe v4l2loopback exclusive_caps=1 card_label=\"Lumo Webcam\"";
inline constexpr char kLoopbackReloadHint[] =
    "sudo modprobe -r v4l2loopback && sudo modprobe v4l2loopback exclusive_caps=1 card_label=\"Lumo Webcam\"";

// ioctl, repeated when a signal interrupts it.
int loopbackIoctl(int fd, unsigned long request, void *arg);

struct LoopbackIdentity
{
    std::string card;
    std::string driver;
    bool offersOutput = false;
};

// VIDIOC_QUERYCAP of an open video device; false when the device does not answer it.
bool queryLoopbackIdentity(int fd, LoopbackIdentity &identity);

struct LoopbackScan
{
    std::vector<std::string> candidates; // best first
    std::vector<std::string> busy;       // loopback devices that take no output now
};

// The loopback devices worth trying, best first: the ones labelled "Lumo Webcam", then every other
// loopback device that takes video output. Anything that is not v4l2loopback (a real camera, a
// capture card) is never among them.
LoopbackScan scanLoopbackDevices();

// Gives the device open on fd the output format of width x height YUYV (an odd width loses its last
// column) and announces 30 frames a second. False, with the failed step and errno in error, when the
// device does not take it.
bool setLoopbackFormat(int fd, int width, int height, std::string &error);

// To be called once the format is set, so that the device takes another writer after this one.
void handBackOnClose(int fd);
