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

namespace {

// A whole-number step keeps the copy to one read per output pixel, with no filtering: the widget
// smooths when it paints.
int stepFor(int width, int height)
{
    return std::max({1, (width + PreviewFeed::kMaxWidth - 1) / PreviewFeed::kMaxWidth,
                     (height + PreviewFeed::kMaxHeight - 1) / PreviewFeed::kMaxHeight});
}

QImage copyFor(int width, int height, int step)
{
    return QImage(std::max(1, width / step), std::max(1, height / step), QImage::Format_BGR888);
}

} // namespace

QImage PreviewFeed::downscaled(const unsigned char *bgr, int width, int height)
{
    const int step = stepFor(width, height);
    QImage image = copyFor(width, height, step);
    const int outWidth = image.width();
    const int outHeight = image.height();
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
    m_copy = QImage();
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_newest = QImage();
}

void PreviewFeed::onFrameReceived(VideoFrame &frame)
{
    if (!m_enabled)
        return;
    const auto now = std::chrono::steady_clock::now();
    // In nanoseconds: a second divided in whole seconds is none, and every frame would be copied.
    if (now - m_lastCopy < std::chrono::nanoseconds(std::chrono::seconds(1)) / kMaxUpdatesPerSecond)
        return;
    m_lastCopy = now;
    // The camera makes its picture band by band from the JPEG; the copy is taken from the bands on the
    // way, where asking for the frame's pixels afterwards would decode it a second time.
    const int step = stepFor(frame.width(), frame.height());
    m_copy = copyFor(frame.width(), frame.height(), step);
    if (!m_copy.isNull())
        frame.keepSample(m_copy.bits(), m_copy.bytesPerLine(), step);
}

bool PreviewFeed::onFrameWritten(const VideoFrame &frame, std::chrono::nanoseconds)
{
    ++m_frames;
    if (m_copy.isNull())
        return true;
    QImage image;
    image.swap(m_copy);
    if (!frame.hasSample()) {
        // The camera took the frame's pixels, or there is no camera: the copy comes from the pixels.
        const unsigned char *bgr = frame.data();
        if (!bgr)
            return true;
        image = downscaled(bgr, frame.width(), frame.height());
    }
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_newest.swap(image);
    }
    // The old copy, if the GUI thread never took it, is freed here, outside the lock.
    if (!m_signalPending.exchange(true))
        emit newFrame();
    return true;
}
