#pragma once

#include "clientinfo.h"
#include "connectionlistener.h"

#include <QMainWindow>

#include <functional>
#include <memory>

class QAction;
class QActionGroup;
class QLabel;
class QMenu;
class QTimer;
class PreviewFeed;
class PreviewWidget;
class ProgressDialog;
class VirtualCameraHolder;
struct VirtualCameraStatus;
class WebcamController;

// The program's one window: menus to connect, disconnect and choose the flips and rotation, the
// preview of what goes to the virtual camera (or a hint while nothing does), a status label that reads
// "Connected" or "Disconnected", and beside it the stream's size and frame rate.
//
// It owns the capture thread object, the "please wait" dialog and, while the Options menu says so (the
// default), the holder that keeps the virtual camera open with its card between connections; and it
// is the listener the capture thread reports to. The listener operations run on the capture thread
// and only emit the window's own signals, which Qt queues to the GUI thread's outcome slots.
//
//   Not connected ──Connect..., OK──▶ Connecting ──connected()──▶ Connected ──Disconnect──▶ Disconnecting
//     ▲  ▲  ▲                          │ connectError(): box         │ aborted()            │
//     │  │  └───────Cancel, Escape─────┤                             │                      │
//     │  └─────────────────────────────┘                             ▼                      │
//     │      question, or with "Reconnect automatically": Reconnecting (attempt N) ─────────┤
//     └───────────────────────────────────────────────disconnected()────────────────────────┘
//
// Reconnecting waits 1, 2, 4, 8, 15, 30, 30, ... seconds before each attempt with the last transport and
// address, until one connects, a handshake error other than a failed connect ends it with its box, or
// Disconnect or Exit. A cancelled attempt's own reports are dropped when they arrive.
//
// The capture thread's stream is never touched while it runs, and destroying the window interrupts
// the thread's waits and waits for it to end.
class MainWindow : public QMainWindow, public ConnectionListener
{
    Q_OBJECT

public:
    MainWindow();
    ~MainWindow() override;

    // The camera server's TCP port, which WiFi connects to (unless the address names one) and USB
    // forwards; ClientInfo::kServerPort unless set. It takes effect from the next "Connect...".
    void setServerPort(int port) { serverPort = port; }
    // The unit of the reconnect schedule: one second unless a test shortens it.
    void setReconnectUnit(int milliseconds) { reconnectUnitMs = milliseconds; }

    bool isConnected() const { return connectedNow; }
    // Whether the virtual camera is held open with its card between connections.
    bool holdsCamera() const { return cameraHolder != nullptr; }
    // The capture thread, for a test to watch; the window owns it.
    WebcamController *captureThread() const { return controller; }

    // ConnectionListener, called on the capture thread.
    void onConnected() override;
    void onConnectError(int code, int param1, int param2) override;
    void onConnectFailed(int code, int param1, int param2, const QString &details) override;
    void onAborted() override;
    void onDisconnected() override;

signals:
    void connected();
    void connectError(int reason, int param1, int param2, const QString &details);
    void aborted();
    void disconnected();

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void connectToRemoteDevice();
    void disconnectFromRemoteDevice();
    void cancelConnecting();
    void flipV(bool checked);
    void flipH(bool checked);
    void onRotation(QAction *act);
    void onShowPreview(bool checked);
    void keepCameraOn(bool on);
    void onConnectErrorSlot(int code, int param1, int param2, const QString &details);
    void onConnectedSlot();
    void onDisconnectedSlot();
    void onAbortedSlot();
    void reconnectNow();
    void showNewestFrame();
    void updateRate();
    void help();
    void about();

private:
    enum class Phase { Idle, Connecting, Connected, Disconnecting, Waiting, Reconnecting };

    void readSettings();
    void createActions();
    void createMenus();
    void createStatusBar();
    void writeSettings();
    void setPhase(Phase phase, const QString &hint = QString());
    void scheduleReconnect();
    bool dropCancelledReport(bool last);
    QString errorMessage(int code, int param1, int param2) const;
    void showWarning(const QString &text, const QString &details = QString());
    void holdCamera(bool on);
    void showCameraProblem(const VirtualCameraStatus &camera);

    QMenu *connectionMenu = nullptr;
    QMenu *optionsMenu = nullptr;
    QMenu *helpMenu = nullptr;
    QAction *connectAct = nullptr;
    QAction *disconnectAct = nullptr;
    QAction *exitAct = nullptr;
    QAction *flipHAct = nullptr;
    QAction *flipVAct = nullptr;
    QActionGroup *rotationGroup = nullptr;
    QAction *rotate0Act = nullptr;
    QAction *rotate90Act = nullptr;
    QAction *rotate180Act = nullptr;
    QAction *rotate270Act = nullptr;
    QAction *cameraCardAct = nullptr;
    QAction *showPreviewAct = nullptr;
    QAction *reconnectAct = nullptr;
    QAction *helpAct = nullptr;
    QAction *aboutAct = nullptr;
    WebcamController *controller = nullptr;
    PreviewFeed *feed = nullptr;
    PreviewWidget *preview = nullptr;
    int serverPort = ClientInfo::kServerPort;
    bool connectedNow = false;
    Phase phase = Phase::Idle;
    // Reports still to come from a connection the user cancelled: dropped up to its last one.
    bool dropReports = false;
    std::function<bool()> startAgain; // the last start operation, for reconnecting
    QTimer *reconnectTimer = nullptr;
    int reconnectAttempt = 0;
    int reconnectUnitMs = 1000;
    QLabel *statusLabel = nullptr;
    QLabel *streamLabel = nullptr;
    QTimer *rateTimer = nullptr;
    long long rateFrames = 0;
    qint64 rateSince = 0;
    bool cameraProblemShown = false; // in this connection
    ProgressDialog *progressDialog = nullptr;
    // Destroyed after the controller, whose thread may still write to the camera.
    std::unique_ptr<VirtualCameraHolder> cameraHolder;
};
