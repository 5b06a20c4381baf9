#pragma once

#include "filedescriptor.h"
#include "frameratemeter.h"
#include "loopbackdevice.h"
#include "rawvideosink.h"
#include "yuyv.h"

#include <cstdint>
#include <string>
#include <vector>

// The writer behind the three calls of virtualcamera.h: it chooses the device as described there,
// with the path given to open() in the place of LUMO_VIRTUAL_CAMERA, converts each frame to YUYV and
// writes it whole to the v4l2loopback device, or to the regular file or FIFO that the path names.
// Failures are reported on standard error, once for a failure that repeats.
//
// A connection of another size sets the device to its size when it is free; when a reader holds the
// device at the old size, the frames are fitted into that size instead (said in one line), so that
// the reader keeps its picture. Readers are told to expect the rate the frames come at, measured over
// each connection's first second (30 frames a second until the first measurement).
//
// Not thread-safe: one thread at a time.
class VirtualCameraWriter
{
public:
    // Opens the camera for frames of width x height pixels of 3 bytes (B, G, R). configured names the
    // device, file or FIFO to use; empty, the loopback devices are searched. A device stays open from
    // one connection to the next while the size and configured stay the same.
    bool open(int width, int height, const std::string &configured);
    // Converts one frame (length = width * height * 3 bytes) to YUYV and writes it whole; a frame of
    // any other length is ignored.
    void writeFrame(const unsigned char *bgr, int length);
    // Ends the connection's use of the camera; a device stays open for the next one.
    void close();

private:
    enum class Sink { None, Device, Raw };

    bool openConfigured(const std::string &path);
    bool openLoopback();
    LoopbackClaim claimDevice(FileDescriptor fd, std::string &error);
    void release();

    FileDescriptor m_device;
    RawVideoSink m_raw;
    Sink m_sink = Sink::None;
    std::string m_path;   // the device or file written to
    bool m_configured = false;
    bool m_inUse = false; // between open and close of one connection
    int m_width = 0;         // the frames handed in
    int m_height = 0;
    int m_frameWidth = 0;    // the frames written
    int m_frameHeight = 0;
    int m_deviceWidth = 0;   // the frames a device last took, kept when it is closed
    int m_deviceHeight = 0;
    int m_framesPerSecond = 30; // announced to readers: the last connection's measured rate
    FrameRateMeter m_rate;
    YuyvFitter m_fitter;
    std::vector<std::uint8_t> m_yuyv;
};
