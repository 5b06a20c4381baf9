#pragma once

// A flag that ends a stream's waits early. When the program has to end now, the GUI thread triggers
// it and every wait of a stream that watches it ends at once as a failure of the transport. When a
// connection is only asked to end, triggerAfter() gives the frame in flight a grace first: a read
// that is merely slow still completes, one whose peer fell silent is broken off when the grace runs
// out, however long its own time-outs would have let it wait.
//
// trigger(), triggerAfter() and isTriggered() may be called from any thread; reset() only while no
// stream waits. The object must outlive the streams that watch it.
class StreamInterrupt
{
public:
    StreamInterrupt();
    ~StreamInterrupt();
    StreamInterrupt(const StreamInterrupt &) = delete;
    StreamInterrupt &operator=(const StreamInterrupt &) = delete;

    void trigger() noexcept;
    // Triggers once milliseconds have passed (at once for 0 or less); a later call never postpones a
    // deadline already set.
    void triggerAfter(int milliseconds) noexcept;
    // Clears the trigger and any deadline still pending.
    void reset() noexcept;
    bool isTriggered() const noexcept;

    // One descriptor that polls readable while the interrupt is triggered.
    int fd() const noexcept { return m_pollFd; }

private:
    int m_eventFd;
    int m_timerFd;
    int m_pollFd;
};
