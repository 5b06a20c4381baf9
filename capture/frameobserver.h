#pragma once

#include <atomic>
#include <chrono>

class VideoFrame;

// What watches the frames a connection writes: the capture thread calls it once per frame, right after
// the frame went into the virtual camera. The headless front end, the benchmark and the window share it.
class FrameObserver
{
public:
    virtual ~FrameObserver() = default;

    // On the GUI thread, when a start operation begins a connection, before its thread runs.
    virtual void onConnectionStarted() {}

    // On the capture thread, as a frame arrives, before it is transformed and written: where an observer
    // asks of it what it will want after the write (VideoFrame::keepSample).
    virtual void onFrameReceived(VideoFrame &) {}

    // On the capture thread; latency runs from the frame's last byte received to the write done. False
    // ends the connection as stop() does, after this frame.
    virtual bool onFrameWritten(const VideoFrame &frame, std::chrono::nanoseconds latency) = 0;
};

// Counts the frames of the current or last connection and their latency, and ends each connection once
// a limit is reached. Readable from any thread while the capture thread counts.
class FrameCounter : public FrameObserver
{
public:
    struct Stats
    {
        long long frames = 0;
        std::chrono::nanoseconds totalLatency{0};
        std::chrono::nanoseconds maxLatency{0};
    };

    // Ends each connection once this many frames have been written; 0 means never.
    void setLimit(long long frames) { m_limit = frames; }
    Stats stats() const;

    void onConnectionStarted() override;
    bool onFrameWritten(const VideoFrame &frame, std::chrono::nanoseconds latency) override;

private:
    std::atomic<long long> m_limit{0};
    std::atomic<long long> m_frames{0};
    std::atomic<long long> m_latencyTotalNs{0};
    std::atomic<long long> m_latencyMaxNs{0};
};
