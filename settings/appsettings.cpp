#include "appsettings.h"

#include <QSettings>
#include <QVariant>

namespace AppSettings {

namespace {

// The cache, as it stands before load() runs.
QPoint s_pos(0, 0);
QSize s_size;
QSize s_resolution;
bool s_vflip = false;
bool s_hflip = false;
int s_transportType = 0;
int s_port = 0;
QString s_wifiServerAddr;
int s_rotation = 0;
bool s_showPreview = true;
bool s_reconnect = false;
bool s_cameraCard = true;
QSize s_cameraSize;

// Opened on first use rather than during static initialisation, so that a test can point
// XDG_CONFIG_HOME at a place of its own before anything reads the store. Destroyed, and so flushed,
// after main() returns.
QSettings &store()
{
    static QSettings settings(QStringLiteral("Quillmoor"), QStringLiteral("LumoWebcam"));
    return settings;
}

template<typename T>
void writeThrough(T &cached, const T &value, const char *key)
{
    cached = value;
    store().setValue(QLatin1String(key), QVariant::fromValue(value));
}

} // namespace

void load()
{
    QSettings &s = store();
    s_pos = s.value(QStringLiteral("pos"), QPoint(200, 200)).toPoint();
    s_size = s.value(QStringLiteral("size"), QSize(320, 180)).toSize();
    s_resolution = s.value(QStringLiteral("resolution"), QSize(640, 480)).toSize();
    s_vflip = s.value(QStringLiteral("vflip"), false).toBool();
    s_hflip = s.value(QStringLiteral("hflip"), false).toBool();
    s_transportType = s.value(QStringLiteral("transportType"), 0).toInt();
    s_port = s.value(QStringLiteral("port"), 0).toInt();
    s_wifiServerAddr = s.value(QStringLiteral("wifiServerAddr"), QStringLiteral("127.0.0.1")).toString();
    s_rotation = s.value(QStringLiteral("rotation"), 0).toInt();
    s_showPreview = s.value(QStringLiteral("showPreview"), true).toBool();
    s_reconnect = s.value(QStringLiteral("reconnectAutomatically"), false).toBool();
    s_cameraCard = s.value(QStringLiteral("cameraCard"), true).toBool();
    s_cameraSize = s.value(QStringLiteral("cameraSize"), QSize(640, 480)).toSize();
}

void saveAll()
{
    QSettings &s = store();
    s.setValue(QStringLiteral("pos"), s_pos);
    s.setValue(QStringLiteral("size"), s_size);
    s.setValue(QStringLiteral("resolution"), s_resolution);
    s.setValue(QStringLiteral("vflip"), s_vflip);
    s.setValue(QStringLiteral("hflip"), s_hflip);
    s.setValue(QStringLiteral("transportType"), s_transportType);
    s.setValue(QStringLiteral("port"), s_port);
    s.setValue(QStringLiteral("wifiServerAddr"), s_wifiServerAddr);
    s.setValue(QStringLiteral("rotation"), s_rotation);
}

QPoint pos() { return s_pos; }
void setPos(QPoint pos) { s_pos = pos; }
QSize size() { return s_size; }
void setSize(QSize size) { s_size = size; }

bool vflip() { return s_vflip; }
void setVflip(bool on) { writeThrough(s_vflip, on, "vflip"); }
bool hflip() { return s_hflip; }
void setHflip(bool on) { writeThrough(s_hflip, on, "hflip"); }

int transportType() { return s_transportType; }
void setTransportType(int type) { writeThrough(s_transportType, type, "transportType"); }
int port() { return s_port; }
void setPort(int port) { writeThrough(s_port, port, "port"); }
QString wifiServerAddr() { return s_wifiServerAddr; }
void setWifiServerAddr(const QString &address) { writeThrough(s_wifiServerAddr, address, "wifiServerAddr"); }

int rotation() { return s_rotation; }
void setRotation(int rotation) { writeThrough(s_rotation, rotation, "rotation"); }

bool showPreview() { return s_showPreview; }
void setShowPreview(bool on) { writeThrough(s_showPreview, on, "showPreview"); }
bool reconnectAutomatically() { return s_reconnect; }
void setReconnectAutomatically(bool on) { writeThrough(s_reconnect, on, "reconnectAutomatically"); }
QSize cameraSize() { return s_cameraSize; }
void setCameraSize(QSize size)
{
    // Written only when it changed, so that a run that never connected leaves the store as it was.
    if (size != s_cameraSize)
        writeThrough(s_cameraSize, size, "cameraSize");
}
bool cameraCard() { return s_cameraCard; }
void setCameraCard(bool on) { writeThrough(s_cameraCard, on, "cameraCard"); }

} // namespace AppSettings
