#pragma once

#include <QTemporaryDir>

#include <vector>

// The pictures a test has the simulator send and what the client should make of them.

using JpegBytes = std::vector<unsigned char>;

// Distinct test pictures as JPEG files in a folder of their own (frame-0.jpg, frame-1.jpg, ...), for
// the simulator to loop over (--folder) in this order, so that every frame a client writes is known.
struct PictureLoop
{
    PictureLoop(int width, int height, int count);

    // Each picture as the client should write it with these transforms: decoded as the client
    // decodes it, then mirrored and turned the plain way; empty where a picture does not decode.
    std::vector<std::vector<unsigned char>> transformed(bool hflip = false, bool vflip = false, int turns = 0) const;

    const int width;
    const int height;
    QTemporaryDir folder;
    std::vector<JpegBytes> jpegs; // empty when a file could not be written
};

// Which of the expected pictures (as PictureLoop::transformed gives them) a YUYV frame of width x height
// shows, within JPEG and YUV rounding; -1 for none.
int pictureShown(const std::vector<std::vector<unsigned char>> &expected, int width, int height,
                 const unsigned char *yuyv);
