#pragma once

#include "btdeviceinfo.h"
#include "clientinfo.h"
#include "serialport.h"

#include <QString>
#include <QStringList>

#include <optional>

class QCommandLineParser;

// The headless front end's command line, checked as a whole before anything connects.
namespace CliOptions {

enum class Transport { None, Serial, Bluetooth, Usb, Wifi, ListBluetooth };

struct Options
{
    Transport transport = Transport::None;
    QString host;
    int port = ClientInfo::kServerPort;
    int serialPort = 0;
    QString serialPath = QString::fromLatin1(SerialPort::kDefaultPathTemplate);
    BtDeviceInfo bluetoothAddress{};
    bool hflip = false;
    bool vflip = false;
    int turns = 0;
    long long frames = 0;
    bool reconnect = false;
    bool keepCamera = false;
};

// Declares the options on parser and parses arguments (argument 0 is the program). The options, or
// nothing when the arguments are wrong (the reason is in error); with --help or --version, default
// options, and the caller asks parser which was set.
std::optional<Options> parse(QCommandLineParser &parser, const QStringList &arguments, QString &error);

} // namespace CliOptions
