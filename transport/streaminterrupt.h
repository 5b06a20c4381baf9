#pragma once

// A flag that ends a stream's waits early. The capture thread may sit in a blocking connect or in a
// read's wait for up to five seconds; when the program has to end now, the GUI thread triggers this
// and every wait of a stream that watches it ends at once as a failure of the transport.
//
// trigger() and isTriggered() may be called from any thread; reset() only while no stream waits.
// The object must outlive the streams that watch it.
class StreamInterrupt
{
public:
    StreamInterrupt();
    ~StreamInterrupt();
    StreamInterrupt(const StreamInterrupt &) = delete;
    StreamInterrupt &operator=(const StreamInterrupt &) = delete;

    void trigger() noexcept;
    void reset() noexcept;
    bool isTriggered() const noexcept;

    // A descriptor that polls readable while the interrupt is triggered.
    int fd() const noexcept { return m_fd; }

private:
    int m_fd;
};
