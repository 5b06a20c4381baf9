#include "virtualcameraholder.h"

#include "processcamera.h"

#include <chrono>
#include <string>

namespace {

// A few frames a second keep a reader's picture alive at next to no cost.
constexpr std::chrono::milliseconds stillInterval{200};
// How long a camera that could not be opened is left alone before the next try.
constexpr std::chrono::seconds retryInterval{2};

// The size of the last connection, or else the given one.
void lastOr(const VirtualCameraWriter &writer, int givenWidth, int givenHeight, int &width, int &height)
{
    const bool connected = writer.lastWidth() > 0;
    width = connected ? writer.lastWidth() : givenWidth;
    height = connected ? writer.lastHeight() : givenHeight;
}

} // namespace

VirtualCameraHolder::VirtualCameraHolder(StillPicture still, int width, int height)
    : m_still(std::move(still)), m_width(width), m_height(height), m_configured(configuredCamera())
{
    {
        ProcessCamera &camera = processCamera();
        const std::lock_guard lock(camera.mutex);
        camera.writer.setHeld(true);
    }
    m_thread = std::thread([this] { run(); });
}

VirtualCameraHolder::~VirtualCameraHolder()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
    ProcessCamera &camera = processCamera();
    const std::lock_guard lock(camera.mutex);
    camera.writer.setHeld(false);
}

void VirtualCameraHolder::lastSize(int &width, int &height) const
{
    ProcessCamera &camera = processCamera();
    const std::lock_guard lock(camera.mutex);
    lastOr(camera.writer, m_width, m_height, width, height);
}

void VirtualCameraHolder::run()
{
    auto nextTry = std::chrono::steady_clock::now();
    std::unique_lock stopLock(m_mutex);
    while (!m_stop) {
        stopLock.unlock();
        {
            ProcessCamera &camera = processCamera();
            const std::lock_guard lock(camera.mutex);
            VirtualCameraWriter &writer = camera.writer;
            const auto now = std::chrono::steady_clock::now();
            if (!writer.inUse() && !writer.isOpen() && now >= nextTry) {
                int width = 0;
                int height = 0;
                lastOr(writer, m_width, m_height, width, height);
                if (!writer.openForStill(width, height, m_configured))
                    nextTry = now + retryInterval;
            }
            writer.writeStill(m_still.bgr.data(), m_still.width, m_still.height);
        }
        stopLock.lock();
        m_wake.wait_for(stopLock, stillInterval, [this] { return m_stop; });
    }
}
