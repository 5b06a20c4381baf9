#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The v4l2loopback side of the virtual camera, one concern per source file:
//   loopbackdiscovery_linux.cpp  which /dev/videoN nodes are loopback devices, in the order to try them
//   loopbackformat_linux.cpp     whether a device is free for this writer, and its format and frame rate
//   loopbackhandback_linux.cpp   the work-around that lets v4l2loopback 0.12.7 take the next writer
//   loopbackstream_linux.cpp     streaming output into the device's own buffers

inline constexpr char kLoopbackLoadHint[] =
    "sudo modprobe v4l2loopback exclusive_caps=1 card_label=\"Lumo Webcam\"";
inline constexpr char kLoopbackReloadHint[] =
    "sudo modprobe -r v4l2loopback && sudo modprobe v4l2loopback exclusive_caps=1 card_label=\"Lumo Webcam\"";

// The driver name that VIDIOC_QUERYCAP gives for a v4l2loopback device.
inline constexpr char kLoopbackDriver[] = "v4l2 loopback";

// ioctl, repeated when a signal interrupts it.
int loopbackIoctl(int fd, unsigned long request, void *arg);

struct LoopbackNode
{
    std::string path;  // /dev/videoN
    std::string card;  // its label
    std::string name() const { return path + " (" + card + ")"; }
};

// The loopback devices in the order to try them: the ones labelled "Lumo Webcam", then every other
// loopback device, each in the order of N. Anything that is not v4l2loopback (a real camera, a
// capture card) is never among them.
std::vector<LoopbackNode> findLoopbackDevices();

// What a device that this writer tries to claim turns out to be. How v4l2loopback shows it depends
// on its version and on exclusive_caps (capabilities from VIDIOC_QUERYCAP):
//
//                                    0.12.7, exclusive_caps=1    0.15, exclusive_caps=1     exclusive_caps=0
//   never used, or let go by all     OUTPUT                      OUTPUT                     both
//   fed by a live writer             CAPTURE                     CAPTURE, or OUTPUT with    both; 0.15: S_FMT fails
//                                                                S_FMT failing with EBUSY   with EBUSY; 0.12.7: no sign
//   held by a reader, writer gone    both; S_FMT answers with    OUTPUT; S_FMT answers      S_FMT answers with the
//                                    the reader's size           with the reader's size     reader's size
//   let go by a write()-only writer  neither, until the module   -                          -
//                                    is reloaded (see handBackOnClose)
//
// On 0.12.7 a reader that stays after a write()-only writer shows CAPTURE alone too, and counts as busy.
// Besides, every writer of this program holds flock(LOCK_EX) on its device for as long as it has it
// open, so a second one (another process, or the same process once more) finds it busy on every
// version and setting, 0.12.7 with exclusive_caps=0 included.
enum class LoopbackClaim {
    Taken,         // the device takes frames of the size reported: the one asked for when it was free,
                   // the reader's when a reader holds it at another size
    Busy,          // another writer feeds it
    WithoutOutput, // 0.12.7, left without output by a writer that never streamed: only a reload helps
    Failed,        // anything else, said in error
};

// Claims the device open on fd and gives it the output format of width x height YUYV (an odd width
// loses its last column), announcing framesPerSecond. On Taken, width and height are the size the
// device takes.
LoopbackClaim claimLoopback(int fd, int &width, int &height, int framesPerSecond, std::string &error);

// Tells the device's readers to expect this many frames a second.
void announceFrameRate(int fd, int framesPerSecond);

// To be called once the device is claimed, so that the device takes another writer after this one.
void handBackOnClose(int fd);

// A claimed device's own frame buffers, mapped into this process (streaming output with mmap
// buffers): a frame is made in place and queued, without the copy of write(). They are let go before
// the device is closed.
class LoopbackBuffers
{
public:
    LoopbackBuffers() = default;
    ~LoopbackBuffers();
    LoopbackBuffers(const LoopbackBuffers &) = delete;
    LoopbackBuffers &operator=(const LoopbackBuffers &) = delete;

    // Maps the buffers of the device open on fd, each frameBytes at least, and starts streaming. False
    // when the device refuses or gives fewer than two, and then nothing is left mapped.
    bool start(int fd, std::size_t frameBytes);
    bool streaming() const { return m_count != 0; }
    // The buffer for the next frame: the one readers will not take before it is queued.
    std::uint8_t *next() const { return m_maps[m_next].data; }
    // Hands the buffer from next() to the readers as the newest frame.
    bool queue();
    void stop();

private:
    static constexpr unsigned kCount = 2;
    struct Map
    {
        std::uint8_t *data = nullptr;
        std::size_t length = 0;
    };
    Map m_maps[kCount];
    unsigned m_count = 0;
    unsigned m_next = 0;
    int m_fd = -1;
    std::size_t m_frameBytes = 0;
};
