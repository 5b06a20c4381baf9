#pragma once

#include <QString>

// The negative codes with which a connection attempt fails, and their texts for the user. The main
// window and the headless front end show the same texts, translated in the context "MainWindow".
namespace ConnectionError {

enum Code {
    OpenFailed = -5,        // the stream's open() failed, whatever the transport
    VersionQueryFailed = -6,
    VersionMismatch = -7,   // param1, param2: the server's major and minor version
    ResolutionFailed = -8,  // also a frame size the client cannot stream
};

// The message for code (without the "Error:" line). Codes -11 to -1 have texts of their own; any
// other value gives "Unknown error(<code>).". Only -7 uses the two parameters.
QString message(int code, int param1, int param2);

// The details of a failed attempt, one fact a line: what was tried ("WiFi: TCP to 10.0.0.5, port
// 8123"), what the system or the server answered, and the server's version when one was received
// (serverMajor < 0: none).
QString details(const QString &tried, const QString &answer, int serverMajor, int serverMinor);

} // namespace ConnectionError
