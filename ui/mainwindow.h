#pragma once

#include "clientinfo.h"
#include "connectionlistener.h"

#include <QMainWindow>

#include <memory>

class QAction;
class QActionGroup;
class QLabel;
class QMenu;
class ProgressDialog;
class VirtualCameraHolder;
class WebcamController;

// The program's one window: menus to connect, disconnect and choose the flips and rotation, a status
// label that reads "Connected" or "Disconnected", and no video (the frames go to the virtual camera).
//
// It owns the capture thread object, the "please wait" dialog and, while the Options menu says so (the
// default), the holder that keeps the virtual camera open with its card between connections; and it
// is the listener the capture thread reports to. The listener operations run on the capture thread
// and only emit the window's own signals, which Qt queues to the GUI thread's outcome slots.
//
//   Not connected ──Connect..., OK──▶ Connecting ──connected()──▶ Connected ──Disconnect──▶ Disconnecting
//        ▲                             │ connectError(): box              │ aborted(): question  │
//        └─────────────────────────────┴──────────────────────────────────┴──────disconnected()──┘
//
// The capture thread's stream is never touched while it runs: "&Connect..." while an attempt that the
// user hid with Escape still runs only brings the "please wait" dialog back, and destroying the
// window interrupts the thread's waits and waits for it to end.
class MainWindow : public QMainWindow, public ConnectionListener
{
    Q_OBJECT

public:
    MainWindow();
    ~MainWindow() override;

    // The camera server's TCP port, which WiFi connects to and USB forwards; ClientInfo::kServerPort
    // unless set. It takes effect from the next "Connect...".
    void setServerPort(int port) { serverPort = port; }

    // ConnectionListener, called on the capture thread.
    void onConnected() override;
    void onConnectError(int code, int param1, int param2) override;
    void onAborted() override;
    void onDisconnected() override;

signals:
    void connected();
    void connectError(int reason, int param1, int param2);
    void aborted();
    void disconnected();

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void connectToRemoteDevice();
    void disconnectFromRemoteDevice();
    void flipV(bool checked);
    void flipH(bool checked);
    void onRotation(QAction *act);
    void keepCameraOn(bool on);
    void onConnectErrorSlot(int code, int param1, int param2);
    void onConnectedSlot();
    void onDisconnectedSlot();
    void onAbortedSlot();
    void help();
    void about();

private:
    void readSettings();
    void createActions();
    void createMenus();
    void createStatusBar();
    void writeSettings();
    void setConnected(bool on);
    QString errorMessage(int code, int param1, int param2) const;
    void showWarning(const QString &text);
    void holdCamera(bool on);

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
    QAction *helpAct = nullptr;
    QAction *aboutAct = nullptr;
    WebcamController *controller = nullptr;
    int serverPort = ClientInfo::kServerPort;
    bool isConnected = false;
    QLabel *statusLabel = nullptr;
    ProgressDialog *progressDialog = nullptr;
    // Destroyed after the controller, whose thread may still write to the camera.
    std::unique_ptr<VirtualCameraHolder> cameraHolder;

    friend class tst_MainWindow;
};
