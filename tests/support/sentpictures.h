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

    QTemporaryDir folder;
    std::vector<JpegBytes> jpegs; // empty when a file could not be written
};

// The picture the client should write to the camera for jpeg: decoded as the client decodes it, then
// mirrored and turned the plain way. Empty when it does not decode at width x height.
std::vector<unsigned char> transformedPicture(const JpegBytes &jpeg, int width, int height, bool hflip = false,
                                              bool vflip = false, int turns = 0);
