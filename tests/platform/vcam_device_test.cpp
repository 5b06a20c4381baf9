// Writes frames through the virtual camera into a real v4l2loopback device and reads them back
// from it as a webcam consumer would. It runs as root inside a throw-away VM that has the module
// loaded (see CMakeLists.txt), so it is a plain program: it needs nothing but the device, and
// GStreamer for --webcam.
//
//   vcam_device_test DEVICE [OTHER]
//   vcam_device_test --webcam DEVICE
//
// The camera has to find DEVICE by itself (LUMO_VIRTUAL_CAMERA is unset): DEVICE is the node it is
// expected to pick, e.g. /dev/video11. With OTHER, a last writer names that node in
// LUMO_VIRTUAL_CAMERA and must write there instead, and a second client, while a first one feeds
// DEVICE, must take OTHER; without OTHER, it must be refused with one line that says DEVICE is in use.
// The reader checks that frames read from DEVICE are byte for byte what
// bgrToYuyv makes of the pictures written. Two writer processes follow each other, the first with
// three connections (the same size twice, so the device stays open, then a new odd size, so it is set
// up again), because a loopback device must take a new writer after the last one has gone.
//
// --webcam reads with a real consumer, GStreamer's v4l2src, what a user of DEVICE (the only loopback
// device, labelled "Lumo Webcam") sees: a second client is refused while the first one feeds it; a
// reconnect at another size goes on in the same read, fitted; and a consumer opened before the phone
// finds the camera with its still picture, then the phone's frames, in one read.

#include "testpicture.h"
#include "virtualcamera.h"
#include "virtualcameraholder.h"
#include "yuyv.h"

#include <linux/videodev2.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// Writers cycle through this many different pictures; a reader names each frame it gets by
// finding it among them.
constexpr int pictureCount = 6;
constexpr int framesToRead = 4;
constexpr int secondsPerSession = 30;
constexpr unsigned readTimeoutSeconds = 5;

struct Session
{
    int width;
    int height;
};

int fail(const char *who, const std::string &what)
{
    std::printf("  %s: FAIL: %s\n", who, what.c_str());
    return 1;
}

int frameBytes(const Session &s)
{
    return (s.width & ~1) * 2 * s.height;
}

Bytes expectedYuyv(const Session &s, int picture)
{
    Bytes yuyv(frameBytes(s));
    bgrToYuyv(makeTestPicture(s.width, s.height, picture).data(), s.width, s.height, yuyv.data());
    return yuyv;
}

// What a holder shows while no phone is connected: 160x120, 4:3 as the program's card.
Bytes stillPicture()
{
    return makeTestPicture(160, 120, 99);
}

// The consumer: opens the device as a webcam, checks the format, reads frames with read().
int readSession(const std::string &device, const Session &s)
{
    const int fd = ::open(device.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return fail("reader", "open " + device + ": " + std::strerror(errno));
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (::ioctl(fd, VIDIOC_G_FMT, &format) < 0)
        return fail("reader", std::string("G_FMT(CAPTURE) (is anybody writing to this device?): ") + std::strerror(errno));
    const v4l2_pix_format &pix = format.fmt.pix;
    std::printf("  reader: %s %ux%u bytesperline=%u sizeimage=%u\n", device.c_str(), pix.width, pix.height,
                pix.bytesperline, pix.sizeimage);
    if (pix.pixelformat != V4L2_PIX_FMT_YUYV || pix.width != unsigned(s.width & ~1) || pix.height != unsigned(s.height)
        || pix.bytesperline != unsigned((s.width & ~1) * 2))
        return fail("reader", "not the YUYV format of this session");

    std::vector<Bytes> expected;
    for (int i = 0; i < pictureCount; ++i)
        expected.push_back(expectedYuyv(s, i));
    Bytes buffer(std::max<std::size_t>(pix.sizeimage, frameBytes(s)) + 4096);
    std::set<int> seen;
    for (int n = 0; n < framesToRead; ++n) {
        // v4l2loopback's poll() only reports frames to a reader that has read before, so the read
        // itself blocks; the alarm ends a reader that waits in vain (main reports the signal).
        ::alarm(readTimeoutSeconds);
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        ::alarm(0);
        if (got != frameBytes(s))
            return fail("reader", "read " + std::to_string(got) + " bytes, want " + std::to_string(frameBytes(s)));
        int match = -1;
        for (int i = 0; i < pictureCount && match < 0; ++i)
            if (std::memcmp(buffer.data(), expected[i].data(), expected[i].size()) == 0)
                match = i;
        if (match < 0)
            return fail("reader", "frame " + std::to_string(n) + " is none of the pictures written");
        seen.insert(match);
    }
    ::close(fd);
    if (seen.size() < 2)
        return fail("reader", "always the same picture: frames do not flow");
    std::printf("  reader: %d frames byte-exact, %zu different pictures\n", framesToRead, seen.size());
    return 0;
}

// How many descriptors of this process are open on the device.
int descriptorsOn(const std::string &device)
{
    int count = 0;
    for (int fd = 0; fd < 1024; ++fd) {
        char target[256] = {};
        const std::string link = "/proc/self/fd/" + std::to_string(fd);
        if (::readlink(link.c_str(), target, sizeof target - 1) > 0 && device == target)
            ++count;
    }
    return count;
}

// Whether this process has the device's own buffers mapped: frames are made in them, not written.
bool mapsDevice(const std::string &device)
{
    std::FILE *maps = std::fopen("/proc/self/maps", "r");
    if (!maps)
        return false;
    char line[512];
    bool found = false;
    while (!found && std::fgets(line, sizeof line, maps))
        found = std::strstr(line, device.c_str()) != nullptr;
    std::fclose(maps);
    return found;
}

// One writer process: a connection per session, each held until the main process reports that
// its reader is done (one status byte on fromMain).
int writerProcess(const std::string &device, const std::vector<Session> &sessions, int toMain, int fromMain)
{
    for (const Session &s : sessions) {
        std::printf("writer %d: connection at %dx%d\n", int(::getpid()), s.width, s.height);
        if (!filter_wrapper_open(s.width, s.height))
            return fail("writer", "filter_wrapper_open failed");
        std::vector<Bytes> pictures;
        for (int i = 0; i < pictureCount; ++i)
            pictures.push_back(makeTestPicture(s.width, s.height, i));
        int next = 0;
        const auto writeNext = [&] {
            const Bytes &p = pictures[next++ % pictureCount];
            filter_wrapper_write_frame_data(p.data(), static_cast<int>(p.size()));
        };
        writeNext();
        writeNext();
        if (!mapsDevice(device))
            return fail("writer", "the frames do not go into the device's own buffers");
        const char go = 1;
        if (::write(toMain, &go, 1) != 1)
            return fail("writer", "cannot reach the main process");
        // About 30 frames a second until the reader has its verdict.
        char verdict = 1;
        const auto start = std::chrono::steady_clock::now();
        for (;;) {
            pollfd done{fromMain, POLLIN, 0};
            if (::poll(&done, 1, 33) > 0) {
                if (::read(fromMain, &verdict, 1) != 1)
                    verdict = 1;
                break;
            }
            if (std::chrono::steady_clock::now() - start > std::chrono::seconds(secondsPerSession))
                return fail("writer", "no verdict from the reader");
            writeNext();
        }
        filter_wrapper_close();
        std::printf("writer %d: %d frames written, reader %s\n", int(::getpid()), next, verdict ? "FAILED" : "passed");
        if (verdict)
            return 1;
        // Readers keep their picture between connections.
        if (descriptorsOn(device) != 1)
            return fail("writer", "the device is not held open (just once) between connections");
    }
    return 0;
}

int waitFor(pid_t pid)
{
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Runs one writer process through its sessions and a fresh reader process for each. The readers
// are forked from here, where the camera was never opened, so no reader holds a copy of the
// writer's descriptor.
int runWriter(const std::string &device, const std::vector<Session> &sessions, const char *configured = nullptr)
{
    int toMain[2];
    int fromMain[2];
    if (::pipe(toMain) < 0 || ::pipe(fromMain) < 0)
        return fail("main", "pipe");
    std::fflush(stdout);
    const pid_t writer = ::fork();
    if (writer == 0) {
        ::close(toMain[0]);
        ::close(fromMain[1]);
        if (configured)
            ::setenv("LUMO_VIRTUAL_CAMERA", configured, 1);
        const int result = writerProcess(device, sessions, toMain[1], fromMain[0]);
        std::fflush(stdout);
        std::exit(result); // exit, not _exit: the camera closes its device on the way out
    }
    ::close(toMain[1]);
    ::close(fromMain[0]);
    int failures = 0;
    for (const Session &s : sessions) {
        char go = 0;
        if (::read(toMain[0], &go, 1) != 1) {
            ++failures;
            break;
        }
        std::fflush(stdout);
        const pid_t reader = ::fork();
        if (reader == 0) {
            const int result = readSession(device, s);
            std::fflush(stdout);
            ::_exit(result);
        }
        const int status = waitFor(reader);
        if (status == 128 + SIGALRM)
            std::printf("  reader: FAIL: no frame within %u s\n", readTimeoutSeconds);
        const char verdict = status == 0 ? 0 : 1;
        failures += verdict;
        if (::write(fromMain[1], &verdict, 1) != 1)
            ++failures;
    }
    ::close(toMain[0]);
    ::close(fromMain[1]);
    if (waitFor(writer) != 0)
        ++failures;
    return failures;
}

// A writer process driven line by line from the main process, as a front end drives the camera:
//   open W H SET    filter_wrapper_open, then frames of picture set SET about 15 times a second;
//                   answers "ok DEVICE" (the device it holds) or "fail"
//   close           filter_wrapper_close; answers "ok"
//   hold W H        a VirtualCameraHolder showing the still picture at W x H; answers "ok"
//   quit            ends the process
// What the camera prints on standard error goes to the file errorFile.
class DrivenWriter
{
public:
    explicit DrivenWriter(std::string errorFile) : m_errorFile(std::move(errorFile))
    {
        int commands[2];
        int answers[2];
        if (::pipe2(commands, O_CLOEXEC) < 0 || ::pipe2(answers, O_CLOEXEC) < 0)
            return;
        std::fflush(stdout);
        m_pid = ::fork();
        if (m_pid == 0) {
            ::close(commands[1]);
            ::close(answers[0]);
            const int err = ::open(m_errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(err, STDERR_FILENO);
            serve(::fdopen(commands[0], "r"), ::fdopen(answers[1], "w"));
            std::fflush(stdout);
            std::exit(0); // exit, not _exit: the camera closes its device on the way out
        }
        ::close(commands[0]);
        ::close(answers[1]);
        m_commands = ::fdopen(commands[1], "w");
        m_answers = ::fdopen(answers[0], "r");
    }
    ~DrivenWriter()
    {
        if (m_commands) {
            std::fputs("quit\n", m_commands);
            std::fclose(m_commands);
            std::fclose(m_answers);
        }
        if (m_pid > 0)
            waitFor(m_pid);
    }

    // The answer to one command line.
    std::string ask(const std::string &command)
    {
        if (!m_commands)
            return "fail";
        std::fprintf(m_commands, "%s\n", command.c_str());
        std::fflush(m_commands);
        char line[256] = {};
        if (!std::fgets(line, sizeof line, m_answers))
            return "fail";
        line[std::strcspn(line, "\n")] = '\0';
        return line;
    }

    std::string printed() const
    {
        std::string text;
        if (std::FILE *file = std::fopen(m_errorFile.c_str(), "r")) {
            char chunk[512];
            while (const std::size_t n = std::fread(chunk, 1, sizeof chunk, file))
                text.append(chunk, n);
            std::fclose(file);
        }
        return text;
    }

private:
    static std::string heldDevice()
    {
        for (int fd = 0; fd < 1024; ++fd) {
            char target[256] = {};
            const std::string link = "/proc/self/fd/" + std::to_string(fd);
            if (::readlink(link.c_str(), target, sizeof target - 1) > 0 && std::strncmp(target, "/dev/video", 10) == 0)
                return target;
        }
        return "none";
    }

    static void serve(std::FILE *commands, std::FILE *answers)
    {
        std::unique_ptr<VirtualCameraHolder> holder;
        std::vector<Bytes> pictures;
        int next = 0;
        for (;;) {
            pollfd command{::fileno(commands), POLLIN, 0};
            if (::poll(&command, 1, pictures.empty() ? -1 : 66) == 0) {
                const Bytes &p = pictures[next++ % pictures.size()];
                filter_wrapper_write_frame_data(p.data(), static_cast<int>(p.size()));
                continue;
            }
            char line[256] = {};
            if (!std::fgets(line, sizeof line, commands) || std::strncmp(line, "quit", 4) == 0)
                return;
            int width = 0, height = 0, set = 0;
            std::string answer = "ok";
            if (std::sscanf(line, "open %d %d %d", &width, &height, &set) == 3) {
                pictures.clear();
                if (filter_wrapper_open(width, height)) {
                    for (int i = 0; i < pictureCount; ++i)
                        pictures.push_back(makeTestPicture(width, height, set * pictureCount + i));
                    answer += " " + heldDevice();
                } else {
                    answer = "fail";
                }
            } else if (std::strncmp(line, "close", 5) == 0) {
                pictures.clear();
                filter_wrapper_close();
            } else if (std::sscanf(line, "hold %d %d", &width, &height) == 2) {
                holder = std::make_unique<VirtualCameraHolder>(StillPicture{stillPicture(), 160, 120}, width, height);
            }
            std::fprintf(answers, "%s\n", answer.c_str());
            std::fflush(answers);
        }
    }

    std::string m_errorFile;
    pid_t m_pid = -1;
    std::FILE *m_commands = nullptr;
    std::FILE *m_answers = nullptr;
};

// GStreamer's v4l2src reading DEVICE into this process, frame after frame.
class Consumer
{
public:
    Consumer(const std::string &device, int frames)
    {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) < 0)
            return;
        std::fflush(stdout);
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::close(out[0]);
            ::close(out[1]);
            ::setenv("HOME", "/tmp", 1);
            ::setenv("GST_REGISTRY", "/tmp/gst-registry.bin", 1);
            const std::string source = "device=" + device;
            const std::string buffers = "num-buffers=" + std::to_string(frames);
            ::execlp("gst-launch-1.0", "gst-launch-1.0", "-q", "v4l2src", source.c_str(), buffers.c_str(), "!",
                     "fdsink", "fd=1", static_cast<char *>(nullptr));
            std::perror("gst-launch-1.0");
            ::_exit(127);
        }
        ::close(out[1]);
        m_out = out[0];
    }
    ~Consumer()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            waitFor(m_pid);
        }
        if (m_out >= 0)
            ::close(m_out);
    }

    // The next frame of size bytes, or nothing when none came within 20 s (the VM is slow) or the
    // consumer ended.
    std::optional<Bytes> frame(int size)
    {
        Bytes data(size);
        std::size_t got = 0;
        while (got < data.size()) {
            pollfd ready{m_out, POLLIN, 0};
            if (::poll(&ready, 1, 20000) <= 0)
                return std::nullopt;
            const ssize_t n = ::read(m_out, data.data() + got, data.size() - got);
            if (n <= 0)
                return std::nullopt;
            got += static_cast<std::size_t>(n);
        }
        return data;
    }

    // The consumer's exit status once it has read its frames.
    int finish()
    {
        const int status = waitFor(m_pid);
        m_pid = -1;
        return status;
    }

private:
    pid_t m_pid = -1;
    int m_out = -1;
};

// Which of the known frames a frame is: its index, or -1.
int whichOf(const Bytes &frame, const std::vector<Bytes> &known)
{
    for (std::size_t i = 0; i < known.size(); ++i)
        if (frame == known[i])
            return static_cast<int>(i);
    return -1;
}

// What the device of deviceWidth x deviceHeight shows of picture set SET sent at width x height.
std::vector<Bytes> shownPictures(int width, int height, int set, int deviceWidth, int deviceHeight)
{
    std::vector<Bytes> shown;
    YuyvFitter fitter;
    for (int i = 0; i < pictureCount; ++i) {
        Bytes yuyv(static_cast<std::size_t>(deviceWidth) * 2 * deviceHeight);
        fitter.fit(makeTestPicture(width, height, set * pictureCount + i).data(), width, height, yuyv.data(),
                   deviceWidth, deviceHeight);
        shown.push_back(std::move(yuyv));
    }
    return shown;
}

bool offersCapture(const std::string &device)
{
    const int fd = ::open(device.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    v4l2_capability cap{};
    const bool capture =
        fd >= 0 && ::ioctl(fd, VIDIOC_QUERYCAP, &cap) == 0 && (cap.device_caps & V4L2_CAP_VIDEO_CAPTURE);
    if (fd >= 0)
        ::close(fd);
    return capture;
}

// A second client while a first one feeds device: it must take other, the free one.
int secondClientTakesTheFreeDevice(const std::string &device, const std::string &other)
{
    std::printf("-- a second client while the first one feeds %s\n", device.c_str());
    DrivenWriter first("/tmp/first.err");
    DrivenWriter second("/tmp/second.err");
    const std::string firstTook = first.ask("open 320 240 0");
    const std::string secondTook = second.ask("open 320 240 1");
    std::printf("  first: %s, second: %s\n", firstTook.c_str(), secondTook.c_str());
    if (firstTook != "ok " + device || secondTook != "ok " + other)
        return fail("second client", "did not take the free device");
    return 0;
}

// A second client while a first one feeds the only device: refused, in one line that names it.
int secondClientIsRefused(const std::string &device)
{
    DrivenWriter second("/tmp/second.err");
    const std::string answer = second.ask("open 320 240 2");
    const std::string printed = second.printed();
    std::printf("  second client: %s: %s", answer.c_str(), printed.c_str());
    if (answer != "fail" || printed.rfind("Lumo Webcam: " + device + " (", 0) != 0
        || printed.find(") is in use by another program\n") == std::string::npos)
        return fail("second client", "not refused with the in-use line");
    return 0;
}

// One labelled device: a second client is refused while the first feeds it, and a reconnect at
// another size goes on in the consumer's read, fitted into the size it holds.
int reconnectAtAnotherSize(const std::string &device)
{
    std::printf("-- a second client, then a reconnect at another size, while GStreamer reads %s\n", device.c_str());
    constexpr int frames = 12;
    DrivenWriter first("/tmp/first.err");
    if (first.ask("open 320 240 0") != "ok " + device)
        return fail("writer", "cannot open " + device);
    Consumer consumer(device, frames);
    const std::vector<Bytes> before = shownPictures(320, 240, 0, 320, 240);
    const std::vector<Bytes> after = shownPictures(240, 320, 1, 320, 240);
    int failures = 0;
    std::string seen;
    for (int n = 0; n < frames; ++n) {
        const std::optional<Bytes> frame = consumer.frame(320 * 2 * 240);
        if (!frame)
            return fail("consumer", "no frame " + std::to_string(n) + " (so far: " + seen + ")");
        seen += whichOf(*frame, before) >= 0 ? 'a' : whichOf(*frame, after) >= 0 ? 'b' : '?';
        if (n == 2)
            failures += secondClientIsRefused(device);
        if (n == 5) {
            first.ask("close");
            if (first.ask("open 240 320 1") != "ok " + device)
                failures += fail("writer", "cannot reconnect at 240x320");
        }
    }
    const int status = consumer.finish();
    std::printf("  consumer: %s, exit status %d; writer: %s", seen.c_str(), status, first.printed().c_str());
    // The first phone's pictures only, then the turned phone's, fitted, and nothing else.
    if (seen.find('?') != std::string::npos || seen.find("ba") != std::string::npos
        || seen.find('b') == std::string::npos || seen.front() != 'a' || status != 0)
        failures += fail("consumer", "not the first phone's pictures, then the second's fitted");
    if (first.printed().find("is held at 320x240 by a program reading it") == std::string::npos)
        failures += fail("writer", "did not say that it fits the frames");
    return failures;
}

// A consumer opened before the phone: it finds the camera, with the still picture, and then the
// phone's frames in the same read.
int consumerBeforeThePhone(const std::string &device)
{
    std::printf("-- GStreamer opens %s before the phone connects\n", device.c_str());
    constexpr int frames = 10;
    DrivenWriter writer("/tmp/writer.err");
    writer.ask("hold 320 240");
    bool listed = false;
    for (int wait = 0; wait < 100 && !(listed = offersCapture(device)); ++wait)
        ::usleep(100000);
    if (!listed)
        return fail("consumer", device + " never became a capture device");
    Consumer consumer(device, frames);
    std::vector<Bytes> still(1, Bytes(320 * 2 * 240));
    YuyvFitter().fit(stillPicture().data(), 160, 120, still[0].data(), 320, 240);
    const std::vector<Bytes> phone = shownPictures(320, 240, 0, 320, 240);
    std::string seen;
    for (int n = 0; n < frames; ++n) {
        const std::optional<Bytes> frame = consumer.frame(320 * 2 * 240);
        if (!frame)
            return fail("consumer", "no frame " + std::to_string(n) + " (so far: " + seen + ")");
        seen += whichOf(*frame, still) >= 0 ? 's' : whichOf(*frame, phone) >= 0 ? 'p' : '?';
        if (n == 2 && writer.ask("open 320 240 0") != "ok " + device)
            return fail("writer", "cannot connect");
    }
    const int status = consumer.finish();
    std::printf("  consumer: %s, exit status %d\n", seen.c_str(), status);
    if (seen.find('?') != std::string::npos || seen.find("ps") != std::string::npos || seen.substr(0, 3) != "sss"
        || seen.back() != 'p' || status != 0)
        return fail("consumer", "not the still picture, then the phone's frames");

    // The phone's rate, about 15 frames a second here, is what readers are told after its first second.
    ::usleep(1500000);
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    const int fd = ::open(device.c_str(), O_RDWR | O_CLOEXEC);
    const bool known = fd >= 0 && ::ioctl(fd, VIDIOC_G_PARM, &parm) == 0;
    if (fd >= 0)
        ::close(fd);
    const v4l2_fract &interval = parm.parm.capture.timeperframe;
    std::printf("  announced: %u/%u s per frame\n", interval.numerator, interval.denominator);
    if (!known || interval.numerator != 1 || interval.denominator < 5 || interval.denominator > 20)
        return fail("consumer", "the announced rate is not the phone's");
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    ::unsetenv("LUMO_VIRTUAL_CAMERA");
    if (std::FILE *version = std::fopen("/sys/module/v4l2loopback/version", "r")) {
        char text[32] = {};
        if (std::fgets(text, sizeof text, version))
            std::printf("v4l2loopback %s", text);
        std::fclose(version);
    }
    int failures = 0;
    if (argc == 3 && std::strcmp(argv[1], "--webcam") == 0) {
        failures += reconnectAtAnotherSize(argv[2]);
        failures += consumerBeforeThePhone(argv[2]);
    } else if (argc == 2 || argc == 3) {
        const std::string device = argv[1];
        failures += runWriter(device, {{320, 240}, {320, 240}, {321, 181}});
        std::printf("-- second writer process, after the first has gone\n");
        failures += runWriter(device, {{640, 480}});
        if (argc == 3) {
            std::printf("-- writer with LUMO_VIRTUAL_CAMERA=%s\n", argv[2]);
            failures += runWriter(argv[2], {{176, 144}}, argv[2]);
            failures += secondClientTakesTheFreeDevice(device, argv[2]);
        } else {
            std::printf("-- a second client while the first one feeds %s\n", device.c_str());
            DrivenWriter first("/tmp/first.err");
            if (first.ask("open 320 240 0") != "ok " + device)
                failures += fail("writer", "cannot open " + device);
            failures += secondClientIsRefused(device);
        }
    } else {
        std::fprintf(stderr, "usage: %s DEVICE [OTHER] | --webcam DEVICE\n", argv[0]);
        return 2;
    }
    std::printf("vcam_device_test: %s\n", failures ? "FAILED" : "passed");
    return failures ? 1 : 0;
}
