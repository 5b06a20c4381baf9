#include "uniquefd.h"
#include "loopbackdevice.h"

#include <linux/videodev2.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

const char cardLabel[] = "Lumo Webcam";

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

std::string text(const std::uint8_t *field, std::size_t size)
{
    const char *chars = reinterpret_cast<const char *>(field);
    return std::string(chars, ::strnlen(chars, size));
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

std::vector<LoopbackNode> findLoopbackDevices()
{
    std::vector<LoopbackNode> labelled;
    std::vector<LoopbackNode> others;
    for (const std::string &node : videoNodes()) {
        const UniqueFd fd(::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
        v4l2_capability cap{};
        if (!fd.isOpen() || loopbackIoctl(fd.get(), VIDIOC_QUERYCAP, &cap) < 0
            || text(cap.driver, sizeof cap.driver) != kLoopbackDriver)
            continue;
        LoopbackNode found{node, text(cap.card, sizeof cap.card)};
        (found.card == cardLabel ? labelled : others).push_back(std::move(found));
    }
    labelled.insert(labelled.end(), others.begin(), others.end());
    return labelled;
}
