#pragma once

#include <QString>

#include <memory>

class QIODevice;

// The simulator as a Bluetooth phone: an RFCOMM listening socket on every local adapter, and the
// service record a phone's camera server publishes for it (a service name, a 128-bit service class,
// L2CAP and RFCOMM on the channel, the public browse group), so that a client finds the channel by
// an SDP browse for the name exactly as it finds a phone's.
//
// The record is handed to bluetoothd over the system D-Bus (ProfileManager1.RegisterProfile with a
// ServiceRecord and no channel of BlueZ's own, so bluetoothd serves the record and leaves the
// connections to this socket). bluetoothd drops the record when this process's bus connection ends,
// however the process ends.
class RfcommService
{
public:
    // Listens on channel (1 to 30; 0 takes the first free one) and registers the record named
    // serviceName. isOpen() tells whether both worked and errorString() why not.
    RfcommService(const QString &serviceName, int channel);
    ~RfcommService();
    RfcommService(const RfcommService &) = delete;
    RfcommService &operator=(const RfcommService &) = delete;

    bool isOpen() const { return m_listener != -1; }
    QString errorString() const { return m_error; }
    int channel() const { return m_channel; }

    // Waits for the next client and returns its connection as an open socket device that
    // PhoneSession can serve, with the client's address in peer; null when accepting failed.
    std::unique_ptr<QIODevice> nextClient(QString &peer);

private:
    bool registerRecord(const QString &serviceName);

    int m_listener = -1;
    int m_channel = 0;
    QString m_error;
};
