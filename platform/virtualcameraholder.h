#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A picture of width x height pixels of 3 bytes (B, G, R), rows without gaps.
struct StillPicture
{
    std::vector<std::uint8_t> bgr;
    int width = 0;
    int height = 0;
};

// Keeps the process's virtual camera (virtualcamera.h) open for as long as it exists, and shows a still
// picture in it, a few times a second, whenever no connection writes to it: so a video program opened
// before the phone connects lists the camera and shows the picture, and the phone's frames replace it
// in the same open device when a connection opens the camera. The picture is fitted into the camera's
// size: the size given here until a connection comes, then the size the last connection left it at.
// It goes to a loopback device or to a FIFO (LUMO_VIRTUAL_CAMERA, read once, when the holder is made),
// never to a regular file. When the holder goes, the camera closes unless a connection uses it.
//
// At most one holder at a time. Made and destroyed on one thread; its own thread writes the picture.
class VirtualCameraHolder
{
public:
    VirtualCameraHolder(StillPicture still, int width, int height);
    ~VirtualCameraHolder();
    VirtualCameraHolder(const VirtualCameraHolder &) = delete;
    VirtualCameraHolder &operator=(const VirtualCameraHolder &) = delete;

    // The frame size of the last connection while the holder existed, or else the size it was made with.
    void lastSize(int &width, int &height) const;

private:
    void run();

    const StillPicture m_still;
    const int m_width;
    const int m_height;
    const std::string m_configured;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    std::thread m_thread;
};
