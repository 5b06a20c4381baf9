#pragma once

#include "transportstream.h"
#include "winsockstream.h"

#include <QString>
#include <QStringList>

#include <memory>

class StreamInterrupt;

// The phone on USB, through the Android Debug Bridge: open() asks adb whether a device is attached,
// has it forward the local TCP port to the same port on the phone and connects to 127.0.0.1 there.
// It returns 0, -10 when no device is attached (adb missing included), or the TCP stream's own code.
// read() and write() go straight to that TCP stream, with readTimeoutMs as its read time-out. close()
// drops it and stops the adb server; it does nothing when open() found no device.
//
// Each adb run is bounded by kAdbTimeoutMs. The optional interrupt ends a run and the TCP waits at
// once, and cuts the stop of the adb server short.
class UsbControlStream : public TransportStream
{
public:
    static constexpr int kAdbTimeoutMs = 30000;

    explicit UsbControlStream(int port, const StreamInterrupt *interrupt = nullptr,
                              int readTimeoutMs = WinSockStream::kReadTimeoutMs);
    ~UsbControlStream() override;

    int open() override;
    int close() override;
    int read(unsigned char *buffer, int length) override;
    void write(const unsigned char *buffer, int length) override;

    // The adb program to run: an executable ./adb in the working directory, else adb on PATH; empty
    // when there is neither.
    static QString adbProgram();

private:
    // Runs adb with the arguments for at most timeoutMs, or until the interrupt (if any) is triggered,
    // and returns what it wrote on standard output. A program still running then is killed and reaped.
    static QByteArray runAdb(const QStringList &arguments, int timeoutMs, const StreamInterrupt *interrupt);

    std::unique_ptr<WinSockStream> m_inner;
    const int m_port;
    const int m_readTimeoutMs;
    const StreamInterrupt *const m_interrupt;
};
