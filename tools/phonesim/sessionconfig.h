#pragma once

#include "clientinfo.h"

#include <QtGlobal>

// How the simulated camera server answers and misbehaves. The defaults are a well-behaved server of
// the client's own version that streams 640x480 frames at 30 fps.
struct SessionConfig
{
    int versionMajor = ClientInfo::kMajorVersion;
    int versionMinor = ClientInfo::kMinorVersion;
    int thirdByte = 0;
    int command3Value = 0;
    int width = 640; // announced in the resolution reply
    int height = 480;
    int status = 1;
    double fps = 30.0; // 0: as fast as the peer takes them

    int closeAfter = -1;  // close the connection after this many frames; -1: never
    int silentAfter = -1; // stop sending after this many frames but stay connected; -1: never
    int chunkBytes = 0;   // send each frame record in pieces of this size; 0: whole
    int chunkPauseMs = 0; // pause after each piece
    bool overrideFirstLength = false;
    qint32 firstLength = 0; // sent as the first frame's length prefix when overrideFirstLength
    int surplus = 0;        // extra payload bytes sent and counted in the version and resolution replies
    int claimSurplus = 0;   // extra payload bytes counted in the version reply but never sent
};
