#pragma once

#include <cstddef>
#include <memory>

// One camera picture as raw pixels: width x height pixels of 3 bytes, rows top to bottom without gaps;
// the pixel in column x of row y starts at byte (y * width + x) * 3. The size is the one the phone
// announced in the handshake, never read from the JPEG, and no transform changes it.
class VideoFrame
{
public:
    // Decodes the JPEG at once. A JPEG that does not decode (another size, corrupt, empty frame) leaves
    // isDecoded() false and the picture black.
    VideoFrame(const unsigned char *jpeg, int jpegLength, int width, int height);
    ~VideoFrame();
    VideoFrame(const VideoFrame &) = delete;
    VideoFrame &operator=(const VideoFrame &) = delete;

    int width() const { return m_width; }
    int height() const { return m_height; }
    bool isDecoded() const { return m_decoded; }
    unsigned char *data() { return m_data.get(); }
    const unsigned char *data() const { return m_data.get(); }
    std::size_t byteCount() const;

    // Mirror left-right and top-bottom; nothing happens to a frame that did not decode.
    void flipHorizontal();
    void flipVertical();

    // Turns the picture clockwise by 90 (1), 180 (2) or 270 (3) degrees with row 0 on top, then fits
    // the turned picture back into the frame's own size: centred, cropped, never scaled, with black
    // bands where it does not reach (a quarter turn of a landscape frame shows the middle square between
    // bands on the left and right; an odd difference puts the extra column or row on the right or at
    // the bottom). Any other value leaves the frame as it is.
    void rotate(int turns);

    // flipHorizontal() if mirrorLeftRight, then flipVertical() if mirrorTopBottom, then rotate(turns),
    // the same to the byte, in one pass over the pixels instead of up to three.
    void transform(bool mirrorLeftRight, bool mirrorTopBottom, int turns);

private:
    int m_width;
    int m_height;
    std::unique_ptr<unsigned char[]> m_data;
    bool m_decoded = false;
};
