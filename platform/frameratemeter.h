#pragma once

#include <chrono>
#include <optional>

// The rate of a connection's frames, measured over its first second: what the virtual camera tells
// its readers to expect instead of a fixed rate, so that they neither repeat nor drop frames.
class FrameRateMeter
{
public:
    using Clock = std::chrono::steady_clock;

    // Starts measuring again, from the next frame on.
    void restart() { m_frames = 0; }

    // Counts a frame written at `at`. Once a second has passed since the first frame, returns the
    // rate over that time in whole frames a second (at least 1, at most 120), and nothing after that.
    std::optional<int> frameAt(Clock::time_point at)
    {
        if (m_frames < 0)
            return std::nullopt;
        if (m_frames++ == 0)
            m_first = at;
        const std::chrono::duration<double> elapsed = at - m_first;
        if (elapsed < std::chrono::seconds(1))
            return std::nullopt;
        const double rate = (m_frames - 1) / elapsed.count();
        m_frames = -1;
        return rate < 0.5 ? 1 : rate > 120 ? 120 : static_cast<int>(rate + 0.5);
    }

private:
    int m_frames = 0; // -1 once measured
    Clock::time_point m_first;
};
