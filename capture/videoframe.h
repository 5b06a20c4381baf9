#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// One camera picture as raw pixels: width x height pixels of 3 bytes, rows top to bottom without gaps;
// the pixel in column x of row y starts at byte (y * width + x) * 3. The size is the one the phone
// announced in the handshake, never read from the JPEG, and no transform changes it.
class VideoFrame
{
public:
    // Keeps a copy of the JPEG. A JPEG that does not decode (another size, corrupt, empty frame) leaves
    // isDecoded() false and the picture black.
    //
    // The pixels are made when first asked for (data(), isDecoded()), and transforms asked for before
    // that are done while decoding, band by band in cache. toYuyv() makes the camera's picture that
    // way without ever making the pixels. One thread at a time, const calls included.
    VideoFrame(const unsigned char *jpeg, int jpegLength, int width, int height);
    ~VideoFrame();
    VideoFrame(const VideoFrame &) = delete;
    VideoFrame &operator=(const VideoFrame &) = delete;

    int width() const { return m_width; }
    int height() const { return m_height; }
    bool isDecoded() const;
    unsigned char *data();
    const unsigned char *data() const;
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

    // The picture as packed YUYV, the same bytes as bgrToYuyv() of data() gives, into rows stride bytes
    // apart. Pixels not made yet are not made for it: the JPEG is decoded and transformed straight
    // into yuyv. Nothing is written for a frame without a picture (byteCount() 0). With blackKept, yuyv
    // holds what toYuyv() of a frame with the same blackKey() left there, and its black stays as it is.
    void toYuyv(unsigned char *yuyv, std::ptrdiff_t stride, bool blackKept = false) const;
    // The same nonzero key for frames whose toYuyv() leaves the same pixels black whatever the JPEG
    // holds (the bands beside a quarter turn's square); 0 when it writes every pixel.
    std::uint64_t blackKey() const;

    // Asks the next toYuyv() that makes the camera's picture from the JPEG to write a small copy of it
    // as well, from each band while it is in cache, at next to no cost: every step-th pixel of every
    // step-th row from the top left, max(1, width / step) x max(1, height / step) B, G, R pixels, into
    // rows stride bytes apart at sample, which must stay valid until then. A last odd column, which the
    // camera leaves out, is black in it; so is all of it when the decode fails.
    void keepSample(unsigned char *sample, std::ptrdiff_t stride, int step);
    // Whether toYuyv() wrote the copy that keepSample() asked for.
    bool hasSample() const { return m_sampled; }

private:
    enum class Decode { NotYet, Done, Failed };

    void makePixels() const;
    void releaseJpeg() const;

    int m_width;
    int m_height;
    // While m_pending, the picture is the JPEG with the mirrors and then the turn below; once the
    // pixels are made, the transforms work on them.
    mutable std::unique_ptr<unsigned char[]> m_data;
    mutable std::unique_ptr<unsigned char[]> m_jpeg;
    mutable std::size_t m_jpegCapacity = 0;
    std::size_t m_jpegLength = 0;
    mutable bool m_pending = false;
    mutable Decode m_decode = Decode::NotYet;
    bool m_mirrorX = false;
    bool m_mirrorY = false;
    int m_turns = 0; // 0, 1 or 3
    mutable unsigned char *m_sample = nullptr;
    std::ptrdiff_t m_sampleStride = 0;
    int m_sampleStep = 1;
    mutable bool m_sampled = false;
};
