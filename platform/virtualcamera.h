#pragma once

#include <string>

// The virtual camera: frames written here appear in a v4l2loopback device, where every other program
// sees them as a webcam.
//
// The device is LUMO_VIRTUAL_CAMERA if that names one; otherwise the first loopback device labelled
// "Lumo Webcam" that no other program writes to; otherwise the first other loopback device that takes
// video output. A device that another writer feeds (another program, or another window or front end
// of this one) is never written to: when none is left, one line on standard error names the device
// in use. A regular file or FIFO named by LUMO_VIRTUAL_CAMERA receives the same YUYV frames one after
// another, and a path that does not exist yet becomes a regular file, except inside /dev, where it can
// only be a mistyped device. A FIFO is written while a program reads it: frames that find no reader
// (none has opened it yet, or the last one closed it) go nowhere, and each of them looks for one again
// without waiting. One camera per process; one connection uses it at a time.

// Opens the camera for frames of width x height pixels of 3 bytes (B, G, R, as the decoder makes them).
// Returns nonzero on success. On failure the writes go nowhere and one line on standard error says
// why, and how to load the module when there is none. A device stays open between connections, so
// that programs reading it do not break: a connection of another size sets the device to its size
// when nothing reads it, and otherwise fits its frames into the size the reader holds (with black
// bars), saying so in one line.
int filter_wrapper_open(int width, int height);

// Converts one frame (length = width * height * 3 bytes) to YUYV and writes it whole.
void filter_wrapper_write_frame_data(const unsigned char *data, int length);

class YuyvPicture;
// The same for a picture of the size given to filter_wrapper_open() that converts itself, straight
// into the camera's frame.
void filter_wrapper_write_picture(const YuyvPicture &picture);

// Ends the current connection's use of the camera.
void filter_wrapper_close();

// What the last filter_wrapper_open() came to, in words for the user. Any thread.
struct VirtualCameraStatus
{
    bool open = false;   // false also before the first open
    std::string target;  // open: the device with its label ("/dev/video4 (Lumo Webcam)"), or the file
    std::string problem; // not open: why ("no virtual camera found", "/dev/video4 (...) is in use by ...")
    std::string fix;     // not open: the command that fixes it, when there is one
};
VirtualCameraStatus virtualCameraStatus();
