#include "frameobserver.h"

#include <algorithm>

FrameCounter::Stats FrameCounter::stats() const
{
    return {m_frames.load(), std::chrono::nanoseconds(m_latencyTotalNs.load()),
            std::chrono::nanoseconds(m_latencyMaxNs.load())};
}

void FrameCounter::onConnectionStarted()
{
    m_frames = 0;
    m_latencyTotalNs = 0;
    m_latencyMaxNs = 0;
}

bool FrameCounter::onFrameWritten(const VideoFrame &, std::chrono::nanoseconds latency)
{
    const long long ns = latency.count();
    m_latencyTotalNs += ns;
    // Only the capture thread writes, so the read-then-store cannot lose a larger value.
    m_latencyMaxNs = std::max(m_latencyMaxNs.load(), ns);
    const long long written = ++m_frames;
    const long long limit = m_limit;
    return limit <= 0 || written < limit;
}
