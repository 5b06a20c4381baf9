#pragma once

#include <QString>

// What the capture thread reports about a connection. Called on the capture thread: an implementation
// hands the report over to its own thread and returns at once.
//
// Each connection reports exactly one handshake outcome (onConnected or onConnectError) and, after
// onConnected, exactly one end (onAborted when the stream failed or fell silent while the controller
// was meant to run, onDisconnected after stop()).
class ConnectionListener
{
public:
    virtual void onConnected() = 0;
    // code is one of ConnectionError::Code; the parameters carry the server version for a mismatch and
    // otherwise the version last stored by the controller.
    virtual void onConnectError(int code, int param1, int param2) = 0;
    // The controller's call for a failed handshake: onConnectError with details for the user (what was
    // tried, what the system or the server answered; see ConnectionError::details). A listener that
    // shows no details keeps this default.
    virtual void onConnectFailed(int code, int param1, int param2, const QString &details)
    {
        (void)details;
        onConnectError(code, param1, param2);
    }
    virtual void onAborted() = 0;
    virtual void onDisconnected() = 0;

protected:
    ~ConnectionListener() = default;
};
