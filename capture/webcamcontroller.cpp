#include "webcamcontroller.h"

#include "cameraprotocol.h"
#include "connectionerror.h"
#include "connectionlistener.h"
#include "videoframe.h"
#include "virtualcamera.h"
#include "btdevicestream.h"
#include "serialport.h"
#include "usbcontrolstream.h"
#include "winsockstream.h"

#include <algorithm>

WebcamController::WebcamController(ConnectionListener *listener)
    : m_listener(listener)
{
}

WebcamController::~WebcamController()
{
    // Ending now, not after a read time-out: the interrupt breaks the stream's waits, and the loop,
    // finding running cleared, reports the end as a disconnect.
    m_running = false;
    m_interrupt.trigger();
    wait();
    // Pairs with the thread's last store: what it did to the stream happens before the release
    // below. QThread::wait orders that too, but inside Qt, where ThreadSanitizer cannot see it.
    m_finished.load(std::memory_order_acquire);
    releaseConnection();
}

bool WebcamController::startSerial(int port, const std::string &pathTemplate)
{
    return start(std::make_unique<SerialPort>(port, pathTemplate, SerialTimeouts{}, &m_interrupt));
}

bool WebcamController::startBluetooth(BtDeviceInfo device)
{
    return start(std::make_unique<BtDeviceStream>(device, &m_interrupt));
}

bool WebcamController::startUsb(int port)
{
    return start(std::make_unique<UsbControlStream>(port, &m_interrupt, m_tcpReadTimeoutMs));
}

bool WebcamController::startWifi(const QString &address, int port)
{
    return start(std::make_unique<WinSockStream>(address.toLocal8Bit().toStdString(), port, &m_interrupt,
                                                 m_tcpReadTimeoutMs));
}

bool WebcamController::start(std::unique_ptr<TransportStream> stream)
{
    if (isBusy())
        return false; // the running connection still uses its stream
    wait(); // at most the few instructions after the last report
    releaseConnection();
    m_interrupt.reset();
    m_stream = std::move(stream);
    m_framesWritten = 0;
    m_latencyTotalNs = 0;
    m_latencyMaxNs = 0;
    m_finished = false;
    m_running = true;
    QThread::start();
    return true;
}

bool WebcamController::stop()
{
    m_running = false;
    // The loop only sees running between frames, and a phone that fell silent mid-frame would hold the
    // read for as long as the stream's time-outs allow; the grace bounds that. start() disarms it.
    m_interrupt.triggerAfter(kStopGraceMs);
    return true;
}

WebcamController::FrameStats WebcamController::frameStats() const
{
    return {m_framesWritten.load(), std::chrono::nanoseconds(m_latencyTotalNs.load()),
            std::chrono::nanoseconds(m_latencyMaxNs.load())};
}

void WebcamController::run()
{
    // The release store of m_finished is this thread's last touch of the controller: from then on the
    // GUI thread may start the next connection or destroy the controller, so the report goes through
    // a local copy of the listener.
    ConnectionListener *const listener = m_listener;
    const int code = handshake();
    if (code != 0) {
        m_running = false;
        const int major = m_serverMajor, minor = m_serverMinor;
        m_finished.store(true, std::memory_order_release);
        listener->onConnectError(code, major, minor);
        return;
    }
    listener->onConnected();
    pumpFrames();
    releaseConnection();
    const bool aborted = m_running;
    m_running = false;
    m_finished.store(true, std::memory_order_release);
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
    } else {
        m_protocol = std::make_unique<CameraProtocol>(m_stream.get());
        if (!m_protocol->queryVersion(major, minor, third)) {
            code = ConnectionError::VersionQueryFailed;
        } else if (major * 256 + minor > ClientInfo::kMajorVersion * 256 + ClientInfo::kMinorVersion) {
            m_serverMajor = major;
            m_serverMinor = minor;
            code = ConnectionError::VersionMismatch;
        } else if (!m_protocol->queryResolution(m_width, m_height) || !acceptsFrameSize(m_width, m_height)) {
            code = ConnectionError::ResolutionFailed;
        }
    }
    if (code != 0)
        releaseConnection();
    return code;
}

void WebcamController::pumpFrames()
{
    const int width = m_width;
    const int height = m_height;
    filter_wrapper_open(width, height);
    while (m_running) {
        const std::unique_ptr<VideoFrame> frame = m_protocol->receiveFrame(width, height);
        if (!frame)
            break;
        // Left-right mirror, then top-bottom mirror, then the turn, as the flags are now.
        frame->transform(m_flipHorizontal, m_flipVertical, m_rotation);
        if (frame->data()) // no pixels only when the system had no memory for them
            filter_wrapper_write_frame_data(frame->data(), width * height * 3);

        const auto latency = std::chrono::steady_clock::now() - m_protocol->lastFrameReceivedAt();
        const long long ns = std::chrono::duration_cast<std::chrono::nanoseconds>(latency).count();
        m_latencyTotalNs += ns;
        m_latencyMaxNs = std::max(m_latencyMaxNs.load(), ns);
        const long long written = ++m_framesWritten;
        const long long limit = m_frameLimit;
        if (limit > 0 && written >= limit)
            m_running = false;
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
