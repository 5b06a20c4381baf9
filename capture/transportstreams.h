#pragma once

#include "btdeviceinfo.h"

#include <QString>

#include <memory>
#include <string>

class StreamInterrupt;
class TransportStream;

// The stream of each transport, made ready for a connection; interrupt breaks off its waits.
namespace TransportStreams {
std::unique_ptr<TransportStream> serial(int port, const std::string &pathTemplate, StreamInterrupt *interrupt);
std::unique_ptr<TransportStream> bluetooth(BtDeviceInfo device, StreamInterrupt *interrupt);
// The TCP streams (USB, WiFi) wait at most readTimeoutMs for each piece of data.
std::unique_ptr<TransportStream> usb(int port, StreamInterrupt *interrupt, int readTimeoutMs);
std::unique_ptr<TransportStream> wifi(const QString &address, int port, StreamInterrupt *interrupt, int readTimeoutMs);
} // namespace TransportStreams
