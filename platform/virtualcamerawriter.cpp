#include "virtualcamerawriter.h"

#include "loopbackdevice.h"
#include "writeall.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace {

const char kReportPrefix[] = "Lumo Webcam: ";

// The last line reported, even when it was not printed again: the reason an open failed.
std::string &lastReport()
{
    static std::string line;
    return line;
}

// The one line of standard error the camera may print. A failure that repeats on every
// connection is reported once; a different one is reported again.
void reportOnce(const std::string &line)
{
    static std::string lastLine;
    lastReport() = line;
    if (line == lastLine)
        return;
    lastLine = line;
    std::fprintf(stderr, "%s\n", line.c_str());
}

// The status of a failed open, from the line that reported it.
VirtualCameraStatus failedStatus(std::string line)
{
    VirtualCameraStatus status;
    if (line.rfind(kReportPrefix, 0) == 0)
        line.erase(0, sizeof kReportPrefix - 1);
    if (line.find(kLoopbackReloadHint) != std::string::npos)
        status.fix = kLoopbackReloadHint;
    else if (line.find(kLoopbackLoadHint) != std::string::npos)
        status.fix = kLoopbackLoadHint;
    status.problem = line.empty() ? std::string("no camera for this frame size") : line;
    return status;
}

void reportConfiguredFailure(const std::string &path, const std::string &why)
{
    reportOnce("Lumo Webcam: cannot use virtual camera " + path + " (LUMO_VIRTUAL_CAMERA): " + why);
}

std::string sizeText(int width, int height)
{
    return std::to_string(width) + "x" + std::to_string(height);
}

// Nothing in /dev is made by this program: a path there that does not exist is a mistyped device.
bool insideDev(const std::string &path)
{
    std::error_code error;
    const std::string normal = std::filesystem::absolute(path, error).lexically_normal().string();
    return normal.rfind("/dev/", 0) == 0;
}

const char withoutOutputText[] = " takes no output since a program wrote to it without streaming";

} // namespace

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
        lastReport().clear();
        if (!openSink(width, height, configured, false)) {
            m_status = failedStatus(lastReport());
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

bool VirtualCameraWriter::openSink(int width, int height, const std::string &configured, bool forStill)
{
    const int evenWidth = width & ~1;
    if (evenWidth <= 0 || height <= 0 || static_cast<long long>(width) * height * 3 > INT_MAX)
        return false;
    m_width = width;
    m_height = height;
    m_frameWidth = evenWidth;
    m_frameHeight = height;
    m_configured = !configured.empty();
    const int previousWidth = m_deviceWidth;
    const int previousHeight = m_deviceHeight;
    if (!(m_configured ? openConfigured(configured, forStill) : openLoopback())) {
        release();
        return false;
    }
    // A device that streams takes frames in its own buffers.
    m_yuyv.resize(m_buffers.streaming() ? 0 : static_cast<std::size_t>(m_frameWidth) * 2 * m_frameHeight);
    if (m_sink == Sink::Device && !forStill) {
        if (m_frameWidth != evenWidth || m_frameHeight != height)
            reportOnce("Lumo Webcam: " + m_path + " is held at " + sizeText(m_frameWidth, m_frameHeight)
                       + " by a program reading it; the " + sizeText(width, height) + " frames are fitted into it");
        else if (previousWidth > 0 && (previousWidth != m_frameWidth || previousHeight != m_frameHeight))
            reportOnce("Lumo Webcam: " + m_path + " set to " + sizeText(m_frameWidth, m_frameHeight));
    }
    return true;
}

bool VirtualCameraWriter::openConfigured(const std::string &path, bool forStill)
{
    const auto fail = [&path](const std::string &why) {
        reportConfiguredFailure(path, why);
        return false;
    };
    m_path = path;
    struct stat info{};
    const bool exists = ::stat(path.c_str(), &info) == 0;
    if (!exists && insideDev(path))
        return fail(std::strerror(ENOENT));
    if (exists && S_ISCHR(info.st_mode)) {
        UniqueFd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
        if (!fd.isOpen())
            return fail(std::strerror(errno));
        std::string error;
        switch (claimDevice(std::move(fd), error)) {
        case LoopbackClaim::Taken:
            return true;
        case LoopbackClaim::Busy:
            reportOnce("Lumo Webcam: " + path + " (LUMO_VIRTUAL_CAMERA) is in use by another program");
            return false;
        case LoopbackClaim::WithoutOutput:
            return fail(std::string("it") + withoutOutputText + "; reload it with: " + kLoopbackReloadHint);
        case LoopbackClaim::Failed:
            return fail(error);
        }
    }

    const std::size_t frameBytes = static_cast<std::size_t>(m_frameWidth) * 2 * m_frameHeight;
    std::string error;
    if (exists && S_ISFIFO(info.st_mode)) {
        m_sink = Sink::Raw;
        // No reader yet is no failure: every frame tries again, and the first one after a reader
        // came is the first it gets.
        m_raw.openFifo(path, frameBytes);
        switch (m_raw.ready(error)) {
        case RawVideoSink::State::Failed:
            return fail(error);
        case RawVideoSink::State::NoReader:
            reportOnce("Lumo Webcam: waiting for a program to read " + path + " (LUMO_VIRTUAL_CAMERA)");
            break;
        case RawVideoSink::State::Ready:
            break;
        }
        return true;
    }
    if (forStill)
        return false;
    m_sink = Sink::Raw;
    if (!m_raw.openFile(path, error))
        return fail(error);
    return true;
}

bool VirtualCameraWriter::openLoopback()
{
    const std::vector<LoopbackNode> nodes = findLoopbackDevices();
    if (nodes.empty()) {
        reportOnce(std::string("Lumo Webcam: no virtual camera found; load one with: ") + kLoopbackLoadHint);
        return false;
    }
    std::string busy;
    std::string withoutOutput;
    std::string failure;
    for (const LoopbackNode &node : nodes) {
        std::string error;
        UniqueFd fd(::open(node.path.c_str(), O_RDWR | O_CLOEXEC));
        LoopbackClaim claim = LoopbackClaim::Failed;
        if (fd.isOpen())
            claim = claimDevice(std::move(fd), error);
        else
            error = std::strerror(errno);
        switch (claim) {
        case LoopbackClaim::Taken:
            m_path = node.path;
            m_target = node.name();
            return true;
        case LoopbackClaim::Busy:
            if (busy.empty())
                busy = node.name();
            break;
        case LoopbackClaim::WithoutOutput:
            if (withoutOutput.empty())
                withoutOutput = node.name();
            break;
        case LoopbackClaim::Failed:
            if (failure.empty())
                failure = node.path + ": " + error;
            break;
        }
    }
    // The device a user looks for first: the one busy with another writer; then one that only a
    // reload of the module brings back.
    if (!busy.empty())
        reportOnce("Lumo Webcam: " + busy + " is in use by another program");
    else if (!withoutOutput.empty())
        reportOnce("Lumo Webcam: no free virtual camera; " + withoutOutput + withoutOutputText
                   + "; reload it with: " + kLoopbackReloadHint);
    else
        reportOnce("Lumo Webcam: cannot use virtual camera " + failure);
    return false;
}

LoopbackClaim VirtualCameraWriter::claimDevice(UniqueFd fd, std::string &error)
{
    int width = m_frameWidth;
    int height = m_frameHeight;
    const LoopbackClaim claim = claimLoopback(fd.get(), width, height, m_framesPerSecond, error);
    if (claim != LoopbackClaim::Taken)
        return claim;
    // The device's own buffers where it takes streaming output; write() where it does not, and then
    // streaming is started anyway, so that the device is handed back on close.
    if (!m_buffers.start(fd.get(), static_cast<std::size_t>(width) * 2 * static_cast<std::size_t>(height)))
        handBackOnClose(fd.get());
    m_device = std::move(fd);
    m_sink = Sink::Device;
    m_frameWidth = m_deviceWidth = width;
    m_frameHeight = m_deviceHeight = height;
    return claim;
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
    void toYuyv(std::uint8_t *yuyv, std::ptrdiff_t stride) const override
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
    if (sameSize)
        picture.toYuyv(frame, std::ptrdiff_t(m_frameWidth) * 2);
    else
        m_fitter.fit(bgr, m_width, m_height, frame, m_frameWidth, m_frameHeight);
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
    writeYuyv();
}

bool VirtualCameraWriter::readyToWrite()
{
    if (m_sink != Sink::Raw)
        return m_sink == Sink::Device;
    std::string error;
    switch (m_raw.ready(error)) {
    case RawVideoSink::State::Failed:
        reportConfiguredFailure(m_path, error);
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
}
