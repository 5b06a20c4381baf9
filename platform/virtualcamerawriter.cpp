#include "virtualcamerawriter.h"

#include "loopbackdevice.h"
#include "yuyv.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace {

// The one line of standard error the camera may print. A failure that repeats on every
// connection is reported once; a different one is reported again.
void reportOnce(const std::string &line)
{
    static std::string lastLine;
    if (line == lastLine)
        return;
    lastLine = line;
    std::fprintf(stderr, "%s\n", line.c_str());
}

void reportConfiguredFailure(const std::string &path, const std::string &why)
{
    reportOnce("Lumo Webcam: cannot use virtual camera " + path + " (LUMO_VIRTUAL_CAMERA): " + why);
}

// Nothing in /dev is made by this program: a path there that does not exist is a mistyped device.
bool insideDev(const std::string &path)
{
    std::error_code error;
    const std::string normal = std::filesystem::absolute(path, error).lexically_normal().string();
    return normal.rfind("/dev/", 0) == 0;
}

const char withoutOutputText[] = " takes no output since a program wrote to it without streaming";

std::string sizeText(int width, int height)
{
    return std::to_string(width) + "x" + std::to_string(height);
}

} // namespace

bool VirtualCameraWriter::open(int width, int height, const std::string &configured)
{
    const bool fromConfiguration = !configured.empty();
    // Readers of a loopback device lose the picture when its writer closes or changes size, so a
    // device stays open from one connection to the next while nothing about it changes.
    if (m_sink == Sink::Device && width == m_width && height == m_height && fromConfiguration == m_configured
        && (!fromConfiguration || configured == m_path)) {
        m_rate.restart();
        m_inUse = true;
        return true;
    }
    release();

    const int evenWidth = width & ~1;
    if (evenWidth <= 0 || height <= 0 || static_cast<long long>(width) * height * 3 > INT_MAX)
        return false;
    m_width = width;
    m_height = height;
    m_frameWidth = evenWidth;
    m_frameHeight = height;
    m_configured = fromConfiguration;
    const int previousWidth = m_deviceWidth;
    const int previousHeight = m_deviceHeight;
    if (!(fromConfiguration ? openConfigured(configured) : openLoopback())) {
        release();
        return false;
    }
    m_yuyv.resize(static_cast<std::size_t>(m_frameWidth) * 2 * m_frameHeight);
    if (m_sink == Sink::Device) {
        if (m_frameWidth != evenWidth || m_frameHeight != height)
            reportOnce("Lumo Webcam: " + m_path + " is held at " + sizeText(m_frameWidth, m_frameHeight)
                       + " by a program reading it; the " + sizeText(width, height) + " frames are fitted into it");
        else if (previousWidth > 0 && (previousWidth != m_frameWidth || previousHeight != m_frameHeight))
            reportOnce("Lumo Webcam: " + m_path + " set to " + sizeText(m_frameWidth, m_frameHeight));
    }
    m_rate.restart();
    m_inUse = true;
    return true;
}

bool VirtualCameraWriter::openConfigured(const std::string &path)
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
        FileDescriptor fd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
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

    m_sink = Sink::Raw;
    std::string error;
    if (exists && S_ISFIFO(info.st_mode)) {
        // No reader yet is no failure: every frame tries again, and the first one after a reader
        // came is the first it gets.
        m_raw.openFifo(path, m_yuyv.size());
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
        FileDescriptor fd(::open(node.path.c_str(), O_RDWR | O_CLOEXEC));
        LoopbackClaim claim = LoopbackClaim::Failed;
        if (fd.isOpen())
            claim = claimDevice(std::move(fd), error);
        else
            error = std::strerror(errno);
        switch (claim) {
        case LoopbackClaim::Taken:
            m_path = node.path;
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

LoopbackClaim VirtualCameraWriter::claimDevice(FileDescriptor fd, std::string &error)
{
    int width = m_frameWidth;
    int height = m_frameHeight;
    const LoopbackClaim claim = claimLoopback(fd.get(), width, height, m_framesPerSecond, error);
    if (claim != LoopbackClaim::Taken)
        return claim;
    handBackOnClose(fd.get());
    m_device = std::move(fd);
    m_sink = Sink::Device;
    m_frameWidth = m_deviceWidth = width;
    m_frameHeight = m_deviceHeight = height;
    return claim;
}

void VirtualCameraWriter::writeFrame(const unsigned char *bgr, int length)
{
    if (!m_inUse || !bgr || length != m_width * m_height * 3)
        return;
    if (m_sink == Sink::Raw) {
        std::string error;
        switch (m_raw.ready(error)) {
        case RawVideoSink::State::Failed:
            reportConfiguredFailure(m_path, error);
            release();
            return;
        case RawVideoSink::State::NoReader:
            return;
        case RawVideoSink::State::Ready:
            break;
        }
        m_fitter.fit(bgr, m_width, m_height, m_yuyv.data(), m_frameWidth, m_frameHeight);
        // A FIFO's reader went away: the sink waits for the next one. A file that failed: the rest
        // of this connection's frames go nowhere, and the next open starts afresh.
        if (!m_raw.write(m_yuyv.data(), m_yuyv.size()) && !m_raw.isFifo())
            release();
        return;
    }
    if (m_sink != Sink::Device)
        return;
    m_fitter.fit(bgr, m_width, m_height, m_yuyv.data(), m_frameWidth, m_frameHeight);
    if (!writeAll(m_device.get(), m_yuyv.data(), m_yuyv.size())) {
        release(); // the next open starts afresh
        return;
    }
    const std::optional<int> rate = m_rate.frameAt(FrameRateMeter::Clock::now());
    if (rate && *rate != m_framesPerSecond) {
        m_framesPerSecond = *rate;
        announceFrameRate(m_device.get(), m_framesPerSecond);
    }
}

void VirtualCameraWriter::close()
{
    m_inUse = false;
    if (m_sink != Sink::Device)
        release();
}

void VirtualCameraWriter::release()
{
    m_device.reset();
    m_raw.close();
    m_sink = Sink::None;
    m_inUse = false;
    m_path.clear();
    m_width = 0;
    m_height = 0;
    m_frameWidth = 0;
    m_frameHeight = 0;
}
