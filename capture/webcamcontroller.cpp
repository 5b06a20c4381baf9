#include "webcamcontroller.h"

#include "cameraprotocol.h"
#include "connectionerror.h"
#include "connectionlistener.h"
#include "serialport.h"
#include "transportstreams.h"
#include "videoframe.h"
#include "virtualcamera.h"
#include "yuyv.h"

namespace {

// A frame as the camera takes it: made from its JPEG straight into the camera's frame, or from its
// pixels when the camera fits it into another size.
class FramePicture final : public YuyvPicture
{
public:
    explicit FramePicture(const VideoFrame &frame)
        : m_frame(frame)
    {
    }
    void toYuyv(std::uint8_t *yuyv, std::ptrdiff_t stride, bool blackKept) const override
    {
        m_frame.toYuyv(yuyv, stride, blackKept);
    }
    std::uint64_t blackKey() const override { return m_frame.blackKey(); }
    const std::uint8_t *bgr() const override { return m_frame.data(); }

private:
    const VideoFrame &m_frame;
};

} // namespace

WebcamController::WebcamController(ConnectionListener *listener, FrameObserver *observer)
    : m_listener(listener)
    , m_observer(observer ? observer : &m_counter)
{
}

WebcamController::~WebcamController()
{
    // Ending now, not after a read time-out: the interrupt breaks the stream's waits, and the loop,
    // finding the connection ended, reports the end as a disconnect.
    endConnection();
    m_interrupt.trigger();
    wait();
    // Reading Idle is what hands the stream back (QThread::wait orders that too, but inside Qt, where
    // ThreadSanitizer cannot see it); after wait() the state is always Idle.
    if (!isBusy())
        releaseConnection();
}

bool WebcamController::startSerial(int port, const std::string &pathTemplate)
{
    return start(TransportStreams::serial(port, pathTemplate, &m_interrupt),
                 QStringLiteral("serial port COM%1 (%2)")
                     .arg(port)
                     .arg(QString::fromStdString(SerialPort::pathOf(port, pathTemplate))));
}

bool WebcamController::startBluetooth(BtDeviceInfo device)
{
    return start(TransportStreams::bluetooth(device, &m_interrupt),
                 QStringLiteral("Bluetooth to %1").arg(btDeviceLabel(device)));
}

bool WebcamController::startUsb(int port)
{
    return start(TransportStreams::usb(port, &m_interrupt, m_tcpReadTimeoutMs),
                 QStringLiteral("USB: adb forward of TCP port %1, then TCP to 127.0.0.1, port %1").arg(port));
}

bool WebcamController::startWifi(const QString &address, int port)
{
    return start(TransportStreams::wifi(address, port, &m_interrupt, m_tcpReadTimeoutMs),
                 QStringLiteral("WiFi: TCP to %1, port %2").arg(address).arg(port));
}

bool WebcamController::start(std::unique_ptr<TransportStream> stream, const QString &attempt)
{
    if (isBusy())
        return false; // the running connection still uses its stream
    wait(); // at most the few instructions after the last report
    releaseConnection();
    m_attempt = attempt;
    m_answer.clear();
    m_repliedMajor = -1;
    m_interrupt.reset();
    m_stream = std::move(stream);
    m_observer->onConnectionStarted();
    m_state = State::Starting;
    QThread::start();
    return true;
}

bool WebcamController::stop()
{
    endConnection();
    // The loop only sees the state between frames, and a phone that fell silent mid-frame would hold
    // the read for as long as the stream's time-outs allow; the grace bounds that. start() disarms it.
    m_interrupt.triggerAfter(kStopGraceMs);
    return true;
}

void WebcamController::cancel()
{
    endConnection();
    m_interrupt.trigger();
}

void WebcamController::endConnection()
{
    State state = m_state.load();
    while ((state == State::Starting || state == State::Streaming)
           && !m_state.compare_exchange_weak(state, State::Ending)) {
    }
}

void WebcamController::run()
{
    // The release store of Idle is this thread's last touch of the controller: from then on the GUI
    // thread may start the next connection or destroy the controller, so the report goes through a
    // local copy of the listener.
    ConnectionListener *const listener = m_listener;
    const int code = handshake();
    if (code != 0) {
        const int major = m_serverMajor, minor = m_serverMinor;
        const QString details = ConnectionError::details(m_attempt, m_answer, m_repliedMajor, m_repliedMinor);
        m_state.store(State::Idle, std::memory_order_release);
        listener->onConnectFailed(code, major, minor, details);
        return;
    }
    // A stop() during the handshake has already moved the state to Ending: the loop then never runs.
    State starting = State::Starting;
    m_state.compare_exchange_strong(starting, State::Streaming);
    listener->onConnected();
    pumpFrames();
    releaseConnection();
    const bool aborted = m_state.exchange(State::Ending) == State::Streaming;
    m_state.store(State::Idle, std::memory_order_release);
    if (aborted)
        listener->onAborted();
    else
        listener->onDisconnected();
}

int WebcamController::handshake()
{
    int code = 0;
    unsigned char major = 0, minor = 0, third = 0;
    if (m_stream->open() != 0) {
        code = ConnectionError::OpenFailed;
        m_answer = QString::fromStdString(m_stream->failureReason());
    } else {
        m_protocol = std::make_unique<CameraProtocol>(m_stream.get());
        if (!m_protocol->queryVersion(major, minor, third)) {
            code = ConnectionError::VersionQueryFailed;
            m_answer = QStringLiteral("no version reply");
        } else {
            m_repliedMajor = major;
            m_repliedMinor = minor;
            if (major * 256 + minor > ClientInfo::kMajorVersion * 256 + ClientInfo::kMinorVersion) {
                m_serverMajor = major;
                m_serverMinor = minor;
                code = ConnectionError::VersionMismatch;
                m_answer = QStringLiteral("a server newer than this client (%1.%2)")
                               .arg(ClientInfo::kMajorVersion)
                               .arg(ClientInfo::kMinorVersion);
            } else if (!m_protocol->queryResolution(m_width, m_height)) {
                code = ConnectionError::ResolutionFailed;
                m_answer = QStringLiteral("no resolution reply");
            } else if (!acceptsFrameSize(m_width, m_height)) {
                code = ConnectionError::ResolutionFailed;
                m_answer = QStringLiteral("a frame size of %1x%2, which cannot be streamed").arg(m_width).arg(m_height);
            }
        }
    }
    if (code != 0) {
        releaseConnection();
    } else {
        m_frameWidth = m_width;
        m_frameHeight = m_height;
    }
    return code;
}

void WebcamController::pumpFrames()
{
    const int width = m_width;
    const int height = m_height;
    filter_wrapper_open(width, height);
    while (m_state == State::Streaming) {
        const std::unique_ptr<VideoFrame> frame = m_protocol->receiveFrame(width, height);
        if (!frame)
            break;
        m_observer->onFrameReceived(*frame);
        const bool whole = m_wholeFrameRoute;
        if (whole)
            frame->data(); // the pixels first, the transforms then work on them
        // Left-right mirror, then top-bottom mirror, then the turn, as the flags are now.
        frame->transform(m_flipHorizontal, m_flipVertical, m_rotation);
        if (whole) {
            if (frame->data()) // no pixels only when the system had no memory for them
                filter_wrapper_write_frame_data(frame->data(), width * height * 3);
        } else {
            filter_wrapper_write_picture(FramePicture(*frame));
        }

        const auto latency = std::chrono::steady_clock::now() - m_protocol->lastFrameReceivedAt();
        if (!m_observer->onFrameWritten(*frame, std::chrono::duration_cast<std::chrono::nanoseconds>(latency)))
            endConnection();
    }
    filter_wrapper_close();
}

void WebcamController::releaseConnection()
{
    if (m_stream) {
        m_stream->close();
        m_stream.reset();
    }
    m_protocol.reset();
}
