#pragma once

#include "sessionconfig.h"

#include <QHostAddress>
#include <QString>
#include <QStringList>

#include <variant>

// What the simulator's command line asks for (see --help).
struct SimOptions
{
    enum class Mode { Tcp, Serial, Bluetooth, WriteFrames };

    struct Size
    {
        int width = 0;
        int height = 0;
    };

    Mode mode = Mode::Tcp;
    SessionConfig session; // width and height are the announced size
    QHostAddress listenAddress;
    quint16 port = 0;
    int channel = 0;     // RFCOMM channel with Mode::Bluetooth; 0: the first free one
    bool once = false;   // exit when the first connection ends
    bool exitOnEof = false;
    int quality = 0;     // of generated frames
    Size generatedSize;  // of generated frames: the announced size unless --wrong-size
    QString folder;      // stream these files instead of generated frames; empty: generate
    QString writeFramesTo; // with Mode::WriteFrames, writeFrameCount frames go there
    int writeFrameCount = 0;
};

// Asked for --help: the text to print.
struct SimHelp
{
    QString text;
};

// A command line that asks for nothing the simulator can do: why, for standard error.
struct SimUsageError
{
    QString message;
};

// Reads the arguments (the program's name first). Checks every value and every combination, so that
// what comes back can be served as it is.
std::variant<SimOptions, SimHelp, SimUsageError> parseSimOptions(const QStringList &arguments);
