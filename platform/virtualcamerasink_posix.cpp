#include "virtualcamerawriter.h"

#include "camerareport.h"
#include "loopbackdevice.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>

// Where the writer's frames go: the loopback device it claims, or the file or FIFO it is given.

namespace {

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
            CameraReport::once("Lumo Webcam: " + m_path + " is held at " + sizeText(m_frameWidth, m_frameHeight)
                       + " by a program reading it; the " + sizeText(width, height) + " frames are fitted into it");
        else if (previousWidth > 0 && (previousWidth != m_frameWidth || previousHeight != m_frameHeight))
            CameraReport::once("Lumo Webcam: " + m_path + " set to " + sizeText(m_frameWidth, m_frameHeight));
    }
    return true;
}

bool VirtualCameraWriter::openConfigured(const std::string &path, bool forStill)
{
    const auto fail = [&path](const std::string &why) {
        CameraReport::configuredFailure(path, why);
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
            CameraReport::once("Lumo Webcam: " + path + " (LUMO_VIRTUAL_CAMERA) is in use by another program");
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
            CameraReport::once("Lumo Webcam: waiting for a program to read " + path + " (LUMO_VIRTUAL_CAMERA)");
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
        CameraReport::once(std::string("Lumo Webcam: no virtual camera found; load one with: ") + kLoopbackLoadHint);
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
        CameraReport::once("Lumo Webcam: " + busy + " is in use by another program");
    else if (!withoutOutput.empty())
        CameraReport::once("Lumo Webcam: no free virtual camera; " + withoutOutput + withoutOutputText
                   + "; reload it with: " + kLoopbackReloadHint);
    else
        CameraReport::once("Lumo Webcam: cannot use virtual camera " + failure);
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
