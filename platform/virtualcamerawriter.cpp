#include "virtualcamerawriter.h"

#include "camerareport.h"
#include "loopbackdevice.h"
#include "writeall.h"

#include <climits>

bool VirtualCameraWriter::open(int width, int height, const std::string &configured)
{
    const bool fromConfiguration = !configured.empty();
    const bool sameTarget = m_sink != Sink::None && fromConfiguration == m_configured
        && (!fromConfiguration || configured == m_path);
    // Readers of a loopback device lose the picture when its writer closes or changes size, so a
    // device stays open from one connection to the next while nothing about it changes. A FIFO kept
    // for a still picture keeps the size its reader started with.
    const bool keep = sameTarget
        && ((m_sink == Sink::Device && width == m_width && height == m_height)
            || (m_sink == Sink::Raw && m_held && m_raw.isFifo() && width >= 2 && height >= 1
                && static_cast<long long>(width) * height * 3 <= INT_MAX));
    if (!keep) {
        release();
        CameraReport::last().clear();
        if (!openSink(width, height, configured, false)) {
            m_status = CameraReport::failedStatus(CameraReport::last());
            return false;
        }
    }
    m_status = {true, m_target.empty() ? m_path : m_target, {}, {}};
    m_width = width;
    m_height = height;
    m_lastWidth = width;
    m_lastHeight = height;
    m_rate.restart();
    m_inUse = true;
    return true;
}

bool VirtualCameraWriter::openForStill(int width, int height, const std::string &configured)
{
    return m_sink != Sink::None || openSink(width, height, configured, true);
}

namespace {

// Pixels that are there already.
class BgrPicture final : public YuyvPicture
{
public:
    BgrPicture(const std::uint8_t *bgr, int width, int height)
        : m_bgr(bgr)
        , m_width(width)
        , m_height(height)
    {
    }
    void toYuyv(std::uint8_t *yuyv, std::ptrdiff_t stride, bool) const override
    {
        bgrToYuyv(m_bgr, std::ptrdiff_t(m_width) * 3, m_width, m_height, yuyv, stride);
    }
    const std::uint8_t *bgr() const override { return m_bgr; }

private:
    const std::uint8_t *m_bgr;
    int m_width;
    int m_height;
};

} // namespace

void VirtualCameraWriter::writeFrame(const unsigned char *bgr, int length)
{
    if (bgr && length == m_width * m_height * 3)
        writeFrame(BgrPicture(bgr, m_width, m_height));
}

void VirtualCameraWriter::writeFrame(const YuyvPicture &picture)
{
    if (!m_inUse || !readyToWrite())
        return;
    // A picture of the frame's size (after an odd last column is dropped) converts itself straight
    // into the frame; any other is fitted from its pixels.
    const bool sameSize = (m_width & ~1) == m_frameWidth && m_height == m_frameHeight;
    const std::uint8_t *bgr = sameSize ? nullptr : picture.bgr();
    if (!sameSize && !bgr)
        return;
    std::uint8_t *frame = frameBuffer();
    // Only the buffer of our own keeps what was written into it; the device's are its readers' too.
    const std::uint64_t black = sameSize && frame == m_yuyv.data() ? picture.blackKey() : 0;
    if (sameSize)
        picture.toYuyv(frame, std::ptrdiff_t(m_frameWidth) * 2, black != 0 && black == m_yuyvBlack);
    else
        m_fitter.fit(bgr, m_width, m_height, frame, m_frameWidth, m_frameHeight);
    m_yuyvBlack = black;
    if (!writeYuyv() || m_sink != Sink::Device)
        return;
    const std::optional<int> rate = m_rate.frameAt(FrameRateMeter::Clock::now());
    if (rate && *rate != m_framesPerSecond) {
        m_framesPerSecond = *rate;
        announceFrameRate(m_device.get(), m_framesPerSecond);
    }
}

void VirtualCameraWriter::writeStill(const std::uint8_t *bgr, int width, int height)
{
    if (m_inUse || !bgr || width <= 0 || height <= 0 || (m_sink == Sink::Raw && !m_raw.isFifo())
        || !readyToWrite())
        return;
    m_fitter.fit(bgr, width, height, frameBuffer(), m_frameWidth, m_frameHeight);
    m_yuyvBlack = 0;
    writeYuyv();
}

bool VirtualCameraWriter::readyToWrite()
{
    if (m_sink != Sink::Raw)
        return m_sink == Sink::Device;
    std::string error;
    switch (m_raw.ready(error)) {
    case RawVideoSink::State::Failed:
        CameraReport::configuredFailure(m_path, error);
        release();
        return false;
    case RawVideoSink::State::NoReader:
        return false;
    case RawVideoSink::State::Ready:
        break;
    }
    return true;
}

std::uint8_t *VirtualCameraWriter::frameBuffer()
{
    return m_buffers.streaming() ? m_buffers.next() : m_yuyv.data();
}

bool VirtualCameraWriter::writeYuyv()
{
    // A FIFO's reader went away: the sink waits for the next one. A device or file that failed: the
    // rest of this connection's frames go nowhere, and the next open starts afresh.
    bool written = false;
    if (m_sink == Sink::Raw)
        written = m_raw.write(m_yuyv.data(), m_yuyv.size());
    else if (m_buffers.streaming())
        written = m_buffers.queue();
    else
        written = writeAll(m_device.get(), m_yuyv.data(), m_yuyv.size());
    if (!written && !(m_sink == Sink::Raw && m_raw.isFifo()))
        release();
    return written;
}

void VirtualCameraWriter::close()
{
    m_inUse = false;
    if (m_sink == Sink::Device || (m_sink == Sink::Raw && m_held && m_raw.isFifo()))
        return;
    release();
}

void VirtualCameraWriter::setHeld(bool held)
{
    m_held = held;
    if (held) {
        m_lastWidth = 0;
        m_lastHeight = 0;
    } else if (!m_inUse) {
        release();
    }
}

void VirtualCameraWriter::release()
{
    m_buffers.stop(); // unmapped before the device is closed
    m_device.reset();
    m_raw.close();
    m_sink = Sink::None;
    m_inUse = false;
    m_path.clear();
    m_target.clear();
    m_width = 0;
    m_height = 0;
    m_frameWidth = 0;
    m_frameHeight = 0;
    m_yuyvBlack = 0;
}
