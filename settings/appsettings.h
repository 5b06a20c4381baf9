#pragma once

#include <QPoint>
#include <QSize>
#include <QString>

// The user's choices between runs: one store, QSettings("Quillmoor", "LumoWebcam"), and a cache of its
// keys that the rest of the program reads through the getters. GUI thread only.
//
// load() fills the cache once, at the main window's construction; a key that is absent takes its
// default, and nothing read is validated (a rotation of 7 stays 7). The flip, rotation, transport and
// camera setters write through to the store at once; the window geometry only reaches the store through
// saveAll(), when the main window closes. saveAll() writes the nine keys of the first version, with
// "resolution" written back as it was read; "cameraCard", "cameraSize", "showPreview" and
// "reconnectAutomatically" only their setters write.
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

// Window choices, written through when set and never by saveAll().
bool showPreview();        // "showPreview", default true
void setShowPreview(bool on);
bool reconnectAutomatically(); // "reconnectAutomatically", default false
void setReconnectAutomatically(bool on);

// The frame size of the last connection, at which the virtual camera shows its card before the next.
QSize cameraSize();        // default 640 x 480
void setCameraSize(QSize size);
// Whether the desktop program keeps the virtual camera open, with its card, while not connected.
bool cameraCard();         // default true
void setCameraCard(bool on);

} // namespace AppSettings
