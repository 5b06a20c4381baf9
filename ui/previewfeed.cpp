#include "previewfeed.h"

#include "videoframe.h"

#include <algorithm>
#include <cstring>

PreviewFeed::PreviewFeed(QObject *parent)
    : QObject(parent)
{
}

QImage PreviewFeed::takeNewest()
{
    QImage image;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        image.swap(m_newest);
    }
    m_signalPending = false;
    return image;
}

QImage PreviewFeed::downscaled(const unsigned char *bgr, int width, int height)
{
    // A whole-number step keeps the copy to one read per output pixel, with no filtering: the widget
    // smooths when it paints.
    const int step = std::max({1, (width + kMaxWidth - 1) / kMaxWidth, (height + kMaxHeight - 1) / kMaxHeight});
    const int outWidth = std::max(1, width / step);
    const int outHeight = std::max(1, height / step);
    QImage image(outWidth, outHeight, QImage::Format_BGR888);
    if (image.isNull())
        return image;
    const std::ptrdiff_t srcStride = static_cast<std::ptrdiff_t>(width) * 3;
    for (int y = 0; y < outHeight; ++y) {
        const unsigned char *src = bgr + y * step * srcStride;
        unsigned char *dst = image.scanLine(y);
        if (step == 1) {
            std::memcpy(dst, src, static_cast<std::size_t>(outWidth) * 3);
            continue;
        }
        for (int x = 0; x < outWidth; ++x, src += step * 3, dst += 3) {
            dst[0] = src[0];
            dst[1] = src[1];
            dst[2] = src[2];
        }
    }
    return image;
}

void PreviewFeed::onConnectionStarted()
{
    m_frames = 0;
    m_lastCopy = {};
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_newest = QImage();
}

bool PreviewFeed::onFrameWritten(const VideoFrame &frame, std::chrono::nanoseconds)
{
    ++m_frames;
    if (!m_enabled)
        return true;
    // The camera takes a frame without its pixels being made; data() makes them, a second decode, so
    // only the frames that are copied ask for them.
    const auto now = std::chrono::steady_clock::now();
    // In nanoseconds: a second divided in whole seconds is none, and every frame would be copied.
    if (now - m_lastCopy < std::chrono::nanoseconds(std::chrono::seconds(1)) / kMaxUpdatesPerSecond)
        return true;
    const unsigned char *bgr = frame.data();
    if (!bgr)
        return true;
    m_lastCopy = now;
    QImage image = downscaled(bgr, frame.width(), frame.height());
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_newest.swap(image);
    }
    // The old copy, if the GUI thread never took it, is freed here, outside the lock.
    if (!m_signalPending.exchange(true))
        emit newFrame();
    return true;
}
