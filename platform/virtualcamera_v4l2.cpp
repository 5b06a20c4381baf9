#include "virtualcamera.h"

#include "yuyv.h"

#include <linux/videodev2.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

const char loadHint[] = "sudo modprobe v4l2loopback exclusive_caps=1 card_label=\"Lumo Webcam\"";
const std::string reloadHint = std::string("sudo modprobe -r v4l2loopback && ") + loadHint;
const char cardLabel[] = "Lumo Webcam";
const char loopbackDriver[] = "v4l2 loopback";

class FileDescriptor
{
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    FileDescriptor(FileDescriptor &&other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    FileDescriptor &operator=(FileDescriptor &&other) noexcept
    {
        if (this != &other) {
            reset();
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }
    ~FileDescriptor() { reset(); }

    int get() const { return m_fd; }
    bool isOpen() const { return m_fd >= 0; }
    void reset()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
};

int xioctl(int fd, unsigned long request, void *arg)
{
    int result;
    do
        result = ::ioctl(fd, request, arg);
    while (result < 0 && errno == EINTR);
    return result;
}

// A reader of a FIFO that goes away must cost this process nothing but the frames. SIGPIPE is
// blocked in the writing thread only for the duration of the write, and one that the write
// raised is taken off the thread again, so the process-wide disposition stays as it is.
class SigpipeGuard
{
public:
    SigpipeGuard()
    {
        sigemptyset(&m_pipe);
        sigaddset(&m_pipe, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        m_wasPending = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &m_pipe, &m_previous);
    }
    SigpipeGuard(const SigpipeGuard &) = delete;
    SigpipeGuard &operator=(const SigpipeGuard &) = delete;
    ~SigpipeGuard()
    {
        if (m_raised && !m_wasPending) {
            const timespec noWait{};
            while (sigtimedwait(&m_pipe, nullptr, &noWait) < 0 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
    }

    void noteRaised() { m_raised = true; }

private:
    sigset_t m_pipe;
    sigset_t m_previous;
    bool m_wasPending = false;
    bool m_raised = false;
};

struct V4l2Identity
{
    std::string card;
    std::string driver;
    bool offersOutput = false;
};

bool queryIdentity(int fd, V4l2Identity &identity)
{
    v4l2_capability cap{};
    if (xioctl(fd, VIDIOC_QUERYCAP, &cap) < 0)
        return false;
    const std::uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
    const auto text = [](const auto &field) {
        const char *chars = reinterpret_cast<const char *>(field);
        return std::string(chars, ::strnlen(chars, sizeof field));
    };
    identity.card = text(cap.card);
    identity.driver = text(cap.driver);
    identity.offersOutput = (caps & V4L2_CAP_VIDEO_OUTPUT) != 0;
    return true;
}

// The /dev/videoN nodes in the order of N.
std::vector<std::string> videoNodes()
{
    std::vector<std::pair<long, std::string>> found;
    if (DIR *dev = ::opendir("/dev")) {
        while (const dirent *entry = ::readdir(dev)) {
            const char *name = entry->d_name;
            if (std::strncmp(name, "video", 5) != 0 || name[5] == '\0')
                continue;
            char *end = nullptr;
            const long number = std::strtol(name + 5, &end, 10);
            if (*end == '\0')
                found.emplace_back(number, std::string("/dev/") + name);
        }
        ::closedir(dev);
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> nodes;
    for (auto &node : found)
        nodes.push_back(std::move(node.second));
    return nodes;
}

struct LoopbackScan
{
    std::vector<std::string> candidates; // best first
    std::vector<std::string> busy;       // loopback devices that take no output now
};

// The loopback devices worth trying, best first: the ones labelled for this program, then every
// other loopback device that takes video output. Anything that is not v4l2loopback (a real
// camera, a capture card) is never written to.
LoopbackScan scanLoopbackDevices()
{
    LoopbackScan scan;
    std::vector<std::string> others;
    for (const std::string &node : videoNodes()) {
        const FileDescriptor fd(::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
        V4l2Identity identity;
        if (!fd.isOpen() || !queryIdentity(fd.get(), identity) || identity.driver != loopbackDriver)
            continue;
        if (identity.card == cardLabel)
            scan.candidates.push_back(node);
        else if (identity.offersOutput)
            others.push_back(node);
        else
            scan.busy.push_back(node);
    }
    scan.candidates.insert(scan.candidates.end(), others.begin(), others.end());
    return scan;
}

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

// Writes YUYV frames to a v4l2loopback device, or to the regular file or FIFO that
// LUMO_VIRTUAL_CAMERA names.
class V4l2Writer
{
public:
    bool open(int width, int height);
    void writeFrame(const unsigned char *bgr, int length);
    void close();

private:
    enum class Sink { None, Device, File, Fifo };

    bool openConfigured(const std::string &path);
    bool openLoopback();
    int openFifoWriter(); // 0 or the errno of the failure
    bool openDevice(FileDescriptor fd, std::string &error);
    bool writeAll(const unsigned char *data, std::size_t size);
    void release();

    FileDescriptor m_fd;
    Sink m_sink = Sink::None;
    std::string m_path;    // the device or file behind m_fd
    bool m_fromEnvironment = false;
    bool m_inUse = false;  // between open and close of one connection
    int m_width = 0;
    int m_height = 0;
    std::vector<std::uint8_t> m_yuyv;
};

bool V4l2Writer::open(int width, int height)
{
    const char *configured = std::getenv("LUMO_VIRTUAL_CAMERA");
    const bool fromEnvironment = configured && *configured;
    const std::string wanted = fromEnvironment ? configured : std::string();

    // Readers of a loopback device lose the picture when its writer closes or changes size, so a
    // device stays open from one connection to the next while nothing about it changes.
    if (m_sink == Sink::Device && width == m_width && height == m_height && fromEnvironment == m_fromEnvironment
        && (!fromEnvironment || wanted == m_path)) {
        m_inUse = true;
        return true;
    }
    release();

    const int evenWidth = width & ~1;
    if (evenWidth <= 0 || height <= 0 || static_cast<long long>(width) * height * 3 > INT_MAX)
        return false;
    m_width = width;
    m_height = height;
    m_fromEnvironment = fromEnvironment;
    if (!(fromEnvironment ? openConfigured(wanted) : openLoopback())) {
        release();
        return false;
    }
    m_yuyv.resize(static_cast<std::size_t>(evenWidth) * 2 * height);
    m_inUse = true;
    return true;
}

bool V4l2Writer::openConfigured(const std::string &path)
{
    const auto fail = [&path](const std::string &why) {
        reportConfiguredFailure(path, why);
        return false;
    };
    m_path = path;
    struct stat info{};
    const bool exists = ::stat(path.c_str(), &info) == 0;
    if (exists && S_ISCHR(info.st_mode)) {
        FileDescriptor fd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
        if (!fd.isOpen())
            return fail(std::strerror(errno));
        std::string error;
        if (!openDevice(std::move(fd), error))
            return fail(error);
        return true;
    }

    if (exists && S_ISFIFO(info.st_mode)) {
        // No reader yet is no failure: every frame tries again, and the first one after a reader
        // came is the first it gets.
        m_sink = Sink::Fifo;
        if (const int error = openFifoWriter()) {
            if (error != ENXIO)
                return fail(std::strerror(error));
            reportOnce("Lumo Webcam: waiting for a program to read " + path + " (LUMO_VIRTUAL_CAMERA)");
        }
        return true;
    }
    FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd.isOpen())
        return fail(std::strerror(errno));
    m_fd = std::move(fd);
    m_sink = Sink::File;
    return true;
}

int V4l2Writer::openFifoWriter()
{
    // Without O_NONBLOCK the open would wait for a reader and hold up the capture thread, and
    // with it a disconnect or the program's exit; with it the open fails at once with ENXIO.
    // Writes then block again, so frames arrive whole.
    FileDescriptor fd(::open(m_path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.isOpen())
        return errno;
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) < 0)
        return errno;
    // A pipe of the default 64 KiB takes a 720p frame in some thirty rounds of waking the reader;
    // one as large as a frame (as far as the system allows) takes it in one. Best effort.
    const int frameBytes = (m_width & ~1) * 2 * m_height;
    if (::fcntl(fd.get(), F_SETPIPE_SZ, frameBytes) < 0)
        ::fcntl(fd.get(), F_SETPIPE_SZ, 1 << 20);
    m_fd = std::move(fd);
    return 0;
}

bool V4l2Writer::openLoopback()
{
    const LoopbackScan scan = scanLoopbackDevices();
    if (scan.candidates.empty()) {
        // With exclusive_caps=1 a loopback device offers no output while another program writes
        // to it, and also after a writer of v4l2loopback 0.12.7 that never started streaming.
        if (!scan.busy.empty())
            reportOnce("Lumo Webcam: no free virtual camera; " + scan.busy.front()
                       + " takes no output (another program may be writing to it); otherwise reload it with: "
                       + reloadHint);
        else
            reportOnce(std::string("Lumo Webcam: no virtual camera found; load one with: ") + loadHint);
        return false;
    }
    std::string firstError;
    for (const std::string &node : scan.candidates) {
        std::string error;
        FileDescriptor fd(::open(node.c_str(), O_RDWR | O_CLOEXEC));
        if (!fd.isOpen())
            error = std::strerror(errno);
        else if (openDevice(std::move(fd), error)) {
            m_path = node;
            return true;
        }
        if (firstError.empty())
            firstError = node + ": " + error;
    }
    reportOnce("Lumo Webcam: cannot use virtual camera " + firstError + "; reload it with: " + reloadHint);
    return false;
}

bool V4l2Writer::openDevice(FileDescriptor fd, std::string &error)
{
    const auto fail = [&error](const char *step) {
        error = std::string(step) + ": " + std::strerror(errno);
        return false;
    };
    V4l2Identity identity;
    if (!queryIdentity(fd.get(), identity))
        return fail("VIDIOC_QUERYCAP");

    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    // Only to start from the device's own field and colour settings; a device that has none yet
    // is set up from zero.
    if (xioctl(fd.get(), VIDIOC_G_FMT, &format) < 0) {
        format = {};
        format.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    }

    // The frame rate is what readers are told to expect; a device that keeps its own is still usable.
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    parm.parm.output.timeperframe.numerator = 1;
    parm.parm.output.timeperframe.denominator = 30;
    xioctl(fd.get(), VIDIOC_S_PARM, &parm);

    const std::uint32_t evenWidth = static_cast<std::uint32_t>(m_width & ~1);
    const std::uint32_t height = static_cast<std::uint32_t>(m_height);
    format.fmt.pix.width = evenWidth;
    format.fmt.pix.height = height;
    format.fmt.pix.pixelformat = V4L2_PIX_FMT_YUYV;
    format.fmt.pix.field = V4L2_FIELD_NONE;
    format.fmt.pix.bytesperline = evenWidth * 2;
    format.fmt.pix.sizeimage = evenWidth * 2 * height;
    format.fmt.pix.colorspace = V4L2_COLORSPACE_SMPTE170M;
    if (xioctl(fd.get(), VIDIOC_S_FMT, &format) < 0)
        return fail("VIDIOC_S_FMT");
    // Frames are written as tight rows, bytesperline * height bytes (sizeimage may be rounded up to
    // whole pages and must not be written).
    if (format.fmt.pix.width != evenWidth || format.fmt.pix.height != height
        || format.fmt.pix.pixelformat != V4L2_PIX_FMT_YUYV
        || (format.fmt.pix.bytesperline != 0 && format.fmt.pix.bytesperline != evenWidth * 2)) {
        error = "the device does not take " + std::to_string(evenWidth) + "x" + std::to_string(height) + " YUYV";
        return false;
    }

    // v4l2loopback 0.12.7 with exclusive_caps=1 only hands the device back to the next writer if
    // this one started streaming; without it the next writer's VIDIOC_S_FMT fails until the module
    // is reloaded. Newer versions refuse STREAMON without buffers and do not need it.
    int type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    xioctl(fd.get(), VIDIOC_STREAMON, &type);

    m_fd = std::move(fd);
    m_sink = Sink::Device;
    return true;
}

void V4l2Writer::writeFrame(const unsigned char *bgr, int length)
{
    if (!m_inUse || !bgr || length != m_width * m_height * 3)
        return;
    if (m_sink == Sink::Fifo && !m_fd.isOpen()) {
        if (const int error = openFifoWriter()) {
            if (error != ENXIO) {
                reportConfiguredFailure(m_path, std::strerror(error));
                release();
            }
            return;
        }
    }
    if (!m_fd.isOpen())
        return;
    bgrToYuyv(bgr, m_width, m_height, m_yuyv.data());
    if (writeAll(m_yuyv.data(), m_yuyv.size()))
        return;
    // A FIFO's reader went away: wait for the next one. A device or file that failed: the rest
    // of this connection's frames go nowhere, and the next open starts afresh.
    if (m_sink == Sink::Fifo)
        m_fd.reset();
    else
        release();
}

bool V4l2Writer::writeAll(const unsigned char *data, std::size_t size)
{
    std::optional<SigpipeGuard> sigpipe;
    if (m_sink == Sink::Fifo)
        sigpipe.emplace();
    while (size > 0) {
        const ssize_t written = ::write(m_fd.get(), data, size);
        if (written == 0)
            return false;
        if (written < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EPIPE && sigpipe)
                sigpipe->noteRaised();
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

void V4l2Writer::close()
{
    m_inUse = false;
    if (m_sink != Sink::Device)
        release();
}

void V4l2Writer::release()
{
    m_fd.reset();
    m_sink = Sink::None;
    m_inUse = false;
    m_path.clear();
    m_width = 0;
    m_height = 0;
}

// The process's one camera, closed when the process ends.
std::mutex cameraMutex;
V4l2Writer camera;

} // namespace

int filter_wrapper_open(int width, int height)
{
    const std::lock_guard lock(cameraMutex);
    return camera.open(width, height) ? 1 : 0;
}

void filter_wrapper_write_frame_data(const unsigned char *data, int length)
{
    const std::lock_guard lock(cameraMutex);
    camera.writeFrame(data, length);
}

void filter_wrapper_close()
{
    const std::lock_guard lock(cameraMutex);
    camera.close();
}
