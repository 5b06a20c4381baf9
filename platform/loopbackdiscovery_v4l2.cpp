#include "filedescriptor.h"
#include "loopbackdevice.h"

#include <linux/videodev2.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

const char cardLabel[] = "Lumo Webcam";
const char loopbackDriver[] = "v4l2 loopback";

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

} // namespace

int loopbackIoctl(int fd, unsigned long request, void *arg)
{
    int result;
    do
        result = ::ioctl(fd, request, arg);
    while (result < 0 && errno == EINTR);
    return result;
}

bool queryLoopbackIdentity(int fd, LoopbackIdentity &identity)
{
    v4l2_capability cap{};
    if (loopbackIoctl(fd, VIDIOC_QUERYCAP, &cap) < 0)
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

LoopbackScan scanLoopbackDevices()
{
    LoopbackScan scan;
    std::vector<std::string> others;
    for (const std::string &node : videoNodes()) {
        const FileDescriptor fd(::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
        LoopbackIdentity identity;
        if (!fd.isOpen() || !queryLoopbackIdentity(fd.get(), identity) || identity.driver != loopbackDriver)
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
