#pragma once

#include <QPoint>
#include <QSize>
#include <QString>

// The user's choices between runs: one store, QSettings("Quillmoor", "LumoWebcam"), and a cache of its
// nine keys (and two later choices) that the rest of the program reads through the getters. GUI thread only.
//
// load() fills the cache once, at the main window's construction; a key that is absent takes its
// default, and nothing read is validated (a rotation of 7 stays 7). The flip, rotation and transport
// setters write through to the store at once; the window geometry only reaches the store through
// saveAll(), when the main window closes. "resolution" is read and written back unchanged.
//
// The store is opened on first use and closed, which flushes it, when the program exits.
namespace AppSettings {

void load();
void saveAll();

QPoint pos();              // default (200, 200)
void setPos(QPoint pos);   // cache only
QSize size();              // default 320 x 180
void setSize(QSize size);  // cache only

bool vflip();              // default false
void setVflip(bool on);
bool hflip();              // default false
void setHflip(bool on);

// A TransportType: 0 serial port, 1 Bluetooth, 2 USB, 3 WiFi.
int transportType();       // default 0
void setTransportType(int type);
// The serial port number.
int port();                // default 0
void setPort(int port);
QString wifiServerAddr();  // default "127.0.0.1"
void setWifiServerAddr(const QString &address);

// 0, 1, 2, 3 for 0, 90, 180, 270 degrees clockwise.
int rotation();            // default 0
void setRotation(int rotation);

// Two choices beside the nine keys, written through when set and never by saveAll(), so that a store
// in which they were never chosen keeps exactly its nine keys.
bool showPreview();        // "showPreview", default true
void setShowPreview(bool on);
bool reconnectAutomatically(); // "reconnectAutomatically", default false
void setReconnectAutomatically(bool on);

} // namespace AppSettings
