#pragma once

#include "uniquefd.h"
#include "frameratemeter.h"
#include "loopbackdevice.h"
#include "rawvideosink.h"
#include "virtualcamera.h"
#include "yuyv.h"

#include <cstdint>
#include <string>
#include <vector>

// The writer behind virtualcamera.h: it chooses the device as described there, with the path given to
// open() in the place of LUMO_VIRTUAL_CAMERA, and converts each frame to YUYV: straight into one of the
// v4l2loopback device's own buffers, which it then queues (streaming output), or, where the device
// refuses streaming, and for the regular file or FIFO that the path names, into a buffer that it
// writes whole. Failures are reported in one line on standard error, once for a failure that repeats.
//
// A device stays open from one connection to the next. A connection of another size sets the device
// to its size when it is free; when a reader holds the device at the old size, the frames are fitted
// into that size instead (said in one line), so that the reader keeps its picture. Readers are told to
// expect the rate the frames come at, measured over each connection's first second (30 frames a
// second until the first measurement).
//
// While held (setHeld), the camera also stays open between connections for a still picture that
// writeStill() fits into it: a device, or a FIFO, whose frames keep the size they started with. A
// regular file only ever receives connections' frames. Not thread-safe: one thread at a time.
class VirtualCameraWriter
{
public:
    // Opens the camera for a connection's frames of width x height pixels of 3 bytes (B, G, R).
    // configured names the device, file or FIFO; empty, the loopback devices are searched.
    bool open(int width, int height, const std::string &configured);
    // Converts one frame (length = width * height * 3 bytes) to YUYV and writes it whole; a frame of
    // any other length is ignored.
    void writeFrame(const unsigned char *bgr, int length);
    // The same for a picture of the connection's size that converts itself.
    void writeFrame(const YuyvPicture &picture);
    // Ends the connection's use of the camera.
    void close();

    // Held, the camera stays open between connections; let go, it closes unless a connection uses it.
    // Holding starts the count of connections for lastWidth() and lastHeight() afresh.
    void setHeld(bool held);
    // Opens the camera for still pictures at width x height unless it is open: a device or a FIFO,
    // never a regular file. False when there is none.
    bool openForStill(int width, int height, const std::string &configured);
    // Fits a picture of width x height into the camera and writes it, while no connection uses it.
    void writeStill(const std::uint8_t *bgr, int width, int height);

    // What the last open() came to: the camera written to, or the reason it failed (the line reported).
    const VirtualCameraStatus &status() const { return m_status; }

    bool isOpen() const { return m_sink != Sink::None; }
    bool inUse() const { return m_inUse; }
    // The frame size of the last connection opened, or 0 x 0 when none has been since the last setHeld(true).
    int lastWidth() const { return m_lastWidth; }
    int lastHeight() const { return m_lastHeight; }

private:
    enum class Sink { None, Device, Raw };

    bool openSink(int width, int height, const std::string &configured, bool forStill);
    bool openConfigured(const std::string &path, bool forStill);
    bool openLoopback();
    LoopbackClaim claimDevice(UniqueFd fd, std::string &error);
    bool readyToWrite();
    std::uint8_t *frameBuffer();
    bool writeYuyv();
    void release();

    UniqueFd m_device;
    LoopbackBuffers m_buffers; // the device's own, while it streams
    RawVideoSink m_raw;
    Sink m_sink = Sink::None;
    std::string m_path;      // the device or file written to
    std::string m_target;    // m_path with the device's label
    VirtualCameraStatus m_status;
    bool m_configured = false;
    bool m_inUse = false;    // between open and close of one connection
    bool m_held = false;
    int m_width = 0;         // the frames handed in
    int m_height = 0;
    int m_frameWidth = 0;    // the frames written
    int m_frameHeight = 0;
    int m_deviceWidth = 0;   // the frames a device last took, kept when it is closed
    int m_deviceHeight = 0;
    int m_lastWidth = 0;
    int m_lastHeight = 0;
    int m_framesPerSecond = 30; // announced to readers: the last connection's measured rate
    FrameRateMeter m_rate;
    YuyvFitter m_fitter;
    std::vector<std::uint8_t> m_yuyv;
    std::uint64_t m_yuyvBlack = 0; // the blackKey() of the last picture written into m_yuyv
};
