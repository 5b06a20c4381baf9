#pragma once

#include "frameobserver.h"

#include <QImage>
#include <QObject>

#include <atomic>
#include <chrono>
#include <mutex>

// Hands the window a small copy of the frames as they went into the virtual camera, and counts them.
//
// The capture thread copies at most kMaxUpdatesPerSecond frames a second, subsampled to fit
// kMaxWidth x kMaxHeight, into one slot that keeps only the newest copy, and signals newFrame() only
// when the GUI thread has taken the previous one. The copy is asked of the frame as it arrives and made
// with the camera's picture, from its bands; only when the camera made none from the JPEG is it taken
// from the frame's pixels. A GUI thread that stalls therefore queues nothing
// and costs the capture thread no more than the copies themselves. Frame counting runs while the
// preview is off too, for the frame rate shown beside the status.
class PreviewFeed : public QObject, public FrameObserver
{
    Q_OBJECT

public:
    static constexpr int kMaxUpdatesPerSecond = 15;
    static constexpr int kMaxWidth = 480;
    static constexpr int kMaxHeight = 270;

    explicit PreviewFeed(QObject *parent = nullptr);

    // Any thread. Off: no copies are made, frames are still counted.
    void setEnabled(bool on) { m_enabled = on; }
    bool isEnabled() const { return m_enabled; }

    // GUI thread: the newest copy (null when none came since the last call); allows the next signal.
    QImage takeNewest();

    // Frames written since the connection started, readable from any thread.
    long long frames() const { return m_frames; }

    // The subsampled copy of a frame of 3-byte B, G, R pixels, at most kMaxWidth x kMaxHeight.
    static QImage downscaled(const unsigned char *bgr, int width, int height);

    void onConnectionStarted() override;
    void onFrameReceived(VideoFrame &frame) override;
    bool onFrameWritten(const VideoFrame &frame, std::chrono::nanoseconds latency) override;

signals:
    // Emitted on the capture thread; at most one is waiting at a time.
    void newFrame();

private:
    std::atomic<bool> m_enabled{true};
    std::atomic<bool> m_signalPending{false};
    std::atomic<long long> m_frames{0};
    std::chrono::steady_clock::time_point m_lastCopy{}; // capture thread only
    QImage m_copy; // capture thread only: the copy asked of the frame in hand
    std::mutex m_mutex;
    QImage m_newest; // guarded by m_mutex
};
