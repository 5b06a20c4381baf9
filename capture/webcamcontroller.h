#pragma once

#include "btdeviceinfo.h"
#include "clientinfo.h"
#include "frameobserver.h"
#include "serialport.h"
#include "streaminterrupt.h"
#include "winsockstream.h"

#include <QString>
#include <QThread>

#include <atomic>
#include <memory>
#include <string>

class CameraProtocol;
class ConnectionListener;
class TransportStream;

// The capture thread: one run() is one whole connection to the phone's camera server.
//
//   Idle ──start*()──▶ Starting ──handshake fails──▶ Failed: released, onConnectError ──▶ Idle
//                         │
//                         └─ handshake ok: onConnected ──▶ Streaming ──▶ Ending ──▶ Idle
//
//   Starting   a start operation made the stream, set the state and started the thread. The thread opens
//              the stream (any failure: -5), queries the version (-6; a server above 2.19: -7 with its
//              version) and the resolution (-8, also for a frame size the client cannot stream).
//   Streaming  the virtual camera is opened at the negotiated size; each pass receives one frame,
//              mirrors it left-right, then top-bottom, then turns it, as the flags say at that moment,
//              writes it and frees it. stop() takes effect at the top of the loop, so the frame being
//              received is still written if it arrives within kStopGraceMs; after that the stream's
//              waits are broken off.
//   Ending     the loop was left because stop() ended it, the frame observer did, or the
//              stream failed or stayed silent (5 s on TCP, 30 s on Bluetooth, 30 s and more on the
//              serial port, at most kStopGraceMs once stop() was called). The virtual camera is closed
//              and the stream released before the one report of the end: onDisconnected when stop() or
//              the observer ended the loop, otherwise onAborted.
//
// stop() during Starting moves the state to Ending, so that a handshake that succeeds reports
// onConnected, then onDisconnected without a frame; the handshake goes on for the same grace, and a
// step still waiting then fails it with its code (-5 while the stream opens, -6 or -8 while a reply
// is awaited).
//
// Threads: the GUI thread calls the start operations, stop(), the setters and the destructor; the
// capture thread does everything else, the listener and observer calls included. The state, the flips
// and the rotation are atomics read once per frame. The stream is touched by the GUI thread only
// while no connection runs: a start operation refuses (returns false) while a connection still uses
// its stream, and the destructor interrupts the stream's waits and waits for the thread, so that it
// ends at once instead of after a read time-out. The listener and the observer must outlive the
// controller.
class WebcamController : public QThread
{
public:
    // Whether the client can stream frames of this size: at least 2 pixels wide (the virtual camera's
    // YUYV pairs two pixels), at least 1 high, and at most ClientInfo::kMaxFramePixels. Any other size
    // from the resolution reply fails the handshake with -8.
    static bool acceptsFrameSize(int width, int height)
    {
        return width >= 2 && height >= 1 && static_cast<long long>(width) * height <= ClientInfo::kMaxFramePixels;
    }

    // Without an observer, each frame goes to the controller's own counter (frameStats, setFrameLimit).
    explicit WebcamController(ConnectionListener *listener, FrameObserver *observer = nullptr);
    ~WebcamController() override;

    // Each start operation makes the stream for its transport and starts one connection over it. False,
    // and nothing changes, while an earlier connection is still running; true otherwise.

    // The serial port with this number; pathTemplate, with "%d" for the number, names its device.
    bool startSerial(int port, const std::string &pathTemplate = SerialPort::kDefaultPathTemplate);
    // The camera service on this Bluetooth device.
    bool startBluetooth(BtDeviceInfo device);
    // The phone on USB, through an adb forward of this TCP port.
    bool startUsb(int port = ClientInfo::kServerPort);
    // TCP to address:port.
    bool startWifi(const QString &address, int port = ClientInfo::kServerPort);

    // How long the TCP streams (WiFi and USB) of the following start operations wait for each piece of
    // data before the connection counts as broken off; five seconds unless set.
    void setTcpReadTimeout(int milliseconds) { m_tcpReadTimeoutMs = milliseconds; }

    // How long stop() lets the frame in flight take before the stream's waits are broken off: room for
    // a frame that is merely slow, far less than the serial port's own limits, which grow with the
    // bytes still missing and can reach hours for one frame.
    static constexpr int kStopGraceMs = 5000;

    // Asks the running connection to end after the current frame, and at the latest kStopGraceMs from
    // now; returns at once.
    bool stop();

    // Ends the running connection or attempt now: every wait of the stream is broken off at once, and
    // a lookup or Bluetooth connect that cannot be interrupted is left to finish alone. The thread
    // still reports its end (an attempt mostly as -5 with the answer "Cancelled"); returns at once.
    void cancel();

    // True from a start operation until just before the connection's last report: a start operation
    // made now would be refused.
    bool isBusy() const { return m_state.load(std::memory_order_acquire) != State::Idle; }

    // The frame size the current or last connection negotiated (0 before a handshake succeeded); any
    // thread, current once onConnected was reported.
    int frameWidth() const { return m_frameWidth; }
    int frameHeight() const { return m_frameHeight; }

    // What the next frame is turned by; the setters take effect from the next frame on.
    void setFlipVertical(bool on) { m_flipVertical = on; }
    void setFlipHorizontal(bool on) { m_flipHorizontal = on; }
    void setRotation(int turns) { m_rotation = turns; }
    // With on, each frame is decoded whole, transformed whole and converted for the camera from its
    // pixels, as before frames were made band by band: the benchmark's comparison. Off unless set.
    void setWholeFrameRoute(bool on) { m_wholeFrameRoute = on; }
    bool flipVertical() const { return m_flipVertical; }
    bool flipHorizontal() const { return m_flipHorizontal; }
    int rotation() const { return m_rotation; }

    // The controller's own counter, used when it was made without an observer: ends each connection
    // like stop() once this many frames have been written (0: never), and the frames written by the
    // current or last connection with their latency.
    void setFrameLimit(long long frames) { m_counter.setLimit(frames); }
    using FrameStats = FrameCounter::Stats;
    FrameStats frameStats() const { return m_counter.stats(); }

protected:
    void run() override;

private:
    // Idle: no connection, the stream is the GUI thread's. Starting to Ending: the thread owns the
    // stream. The thread's store of Idle, with release, is its last touch of the controller: the GUI
    // thread may reuse the stream once it has read Idle with acquire.
    enum class State { Idle, Starting, Streaming, Ending };

    bool start(std::unique_ptr<TransportStream> stream, const QString &attempt);
    void endConnection();
    int handshake();
    void pumpFrames();
    void releaseConnection();

    ConnectionListener *const m_listener;
    std::unique_ptr<TransportStream> m_stream;
    std::unique_ptr<CameraProtocol> m_protocol;
    FrameCounter m_counter;
    FrameObserver *const m_observer;
    std::atomic<State> m_state{State::Idle};
    std::atomic<bool> m_flipVertical{false};
    std::atomic<bool> m_flipHorizontal{false};
    std::atomic<int> m_rotation{0};
    std::atomic<bool> m_wholeFrameRoute{false};
    std::atomic<int> m_frameWidth{0};
    std::atomic<int> m_frameHeight{0};
    int m_width = 0;
    int m_height = 0;
    int m_serverMajor = 0;
    int m_serverMinor = 0;
    int m_repliedMajor = -1; // the version of the last reply, -1 before one came
    int m_repliedMinor = 0;
    QString m_attempt;       // what the start operation tried, for the details
    QString m_answer;        // what the system or server answered when the handshake failed
    int m_tcpReadTimeoutMs = WinSockStream::kReadTimeoutMs;
    StreamInterrupt m_interrupt;
};
