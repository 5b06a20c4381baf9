#include "mainwindow.h"

#include "appsettings.h"
#include "clientinfo.h"
#include "connectionerror.h"
#include "fakeadb.h"
#include "fakebluezbus.h"
#include "freeport.h"
#include "modaldriver.h"
#include "previewwidget.h"
#include "progressdialog.h"
#include "settingsstore.h"
#include "simulatorprocess.h"
#include "webcamcontroller.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QComboBox>
#include <QDesktopServices>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QElapsedTimer>
#include <QRadioButton>
#include <QSettings>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QScopeGuard>
#include <QtTest>

#include <memory>

namespace {

const QString productTitle = QStringLiteral("Lumo Webcam Client");
const QString connecting = QStringLiteral("Connecting. Please wait ...");
const QString disconnecting = QStringLiteral("Disconnecting. Please wait ...");

// Outcomes travel from the capture thread through the event loop; sanitizer builds are slow.
constexpr int outcomeTimeoutMs = 20000;

enum Transport { Serial = 0, Bluetooth = 1, Usb = 2, Wifi = 3 };

QStringList storedKeys()
{
    QStringList keys = settingsStore().allKeys();
    keys.sort();
    return keys;
}

// The offscreen platform says this for every dialog it shows; it tells nothing about the window.
QtMessageHandler previousHandler = nullptr;
void dropOffscreenNoise(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message != QLatin1String("This plugin does not support propagateSizeHints()"))
        previousHandler(type, context, message);
}

// A COM number with no serial device behind it, so that opening it fails at once.
int absentComPort()
{
    for (int port = 99; port >= 0; --port) {
        if (!QFile::exists(QStringLiteral("/dev/rfcomm%1").arg(port)))
            return port;
    }
    return -1;
}

QAction *actionNamed(const MainWindow &w, const char *name)
{
    auto *action = w.findChild<QAction *>(QLatin1String(name));
    if (!action)
        qFatal("no action %s", name);
    return action;
}

QMenu *menuTitled(MainWindow &w, const char *title)
{
    for (QAction *action : w.menuBar()->actions()) {
        if (action->menu() && action->text() == QLatin1String(title))
            return action->menu();
    }
    qFatal("no menu %s", title);
}

// Receives what the window hands to the desktop to open.
class UrlRecorder : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> urls;

public slots:
    void openUrl(const QUrl &url) { urls.append(url); }
};

} // namespace

class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void firstStartShowsDefaultsAndBuildsMenus();
    void firstStartActionsCarryStatusTipsAndIcons_data();
    void firstStartActionsCarryStatusTipsAndIcons();
    void storedRotationChecksItsActionAndReachesController_data();
    void storedRotationChecksItsActionAndReachesController();
    void storedFlipIsCheckedWithoutWritingBack_data();
    void storedFlipIsCheckedWithoutWritingBack();
    void rotationChoiceIsStoredAndReachesController_data();
    void rotationChoiceIsStoredAndReachesController();
    void foreignActionChangesNoRotation();
    void cameraCardChoiceIsStoredAndHoldsTheCamera();

    void connectStoresChoiceAndStartsTransport_data();
    void connectStoresChoiceAndStartsTransport();
    void cancelledTransportDialogChangesNothing();
    void cancelDuringHungHandshakeReturnsToDisconnectedAtOnce_data();
    void cancelDuringHungHandshakeReturnsToDisconnectedAtOnce();

    void connectErrorShowsMessageAndReturnsToNotConnected_data();
    void connectErrorShowsMessageAndReturnsToNotConnected();
    void abortWhileDisconnectingHidesProgressAndAsks_data();
    void abortWhileDisconnectingHidesProgressAndAsks();

    void failedAttemptBoxCarriesItsDetails_data();
    void failedAttemptBoxCarriesItsDetails();
    void streamFieldNamesTheCameraOrWhyNot_data();
    void streamFieldNamesTheCameraOrWhyNot();
    void reconnectSurvivesAbortsAndStopsAtDisconnect();
    void reconnectEndsAtAHandshakeError();

    void aboutBoxShowsVersionAndContacts();
    void helpOpensProductPageAndShowsNothing();

    void closingAsksOnlyWhileConnected_data();
    void closingAsksOnlyWhileConnected();

private:
    MainWindow &makeWindow();
    bool startSimulator();
    bool connectOverWifi();
    QString progressText() const;
    void verifyNotConnected();

    QTemporaryDir m_dir;
    std::unique_ptr<FakeAdb> m_noAdb;
    std::unique_ptr<FakeBluezBus> m_bus;
    std::unique_ptr<ModalDriver> m_driver;
    std::unique_ptr<MainWindow> m_window;
    std::unique_ptr<SimulatorProcess> m_simulator;
};

void tst_MainWindow::initTestCase()
{
    QVERIFY(m_dir.isValid());
    previousHandler = qInstallMessageHandler(dropOffscreenNoise);
    // Before anything opens the store, so that no test touches the user's own settings.
    QVERIFY2(redirectSettingsStore(m_dir.filePath(QStringLiteral("config"))), qPrintable(settingsStore().fileName()));
    qputenv("LUMO_VIRTUAL_CAMERA", QFile::encodeName(m_dir.filePath(QStringLiteral("camera.yuyv"))));
    // A system bus without BlueZ: the device list is empty and the dialog hands over a zero record.
    m_bus = std::make_unique<FakeBluezBus>(QList<FakeBluezDevice>{}, FakeBluezBus::Bluez::Absent);
    QVERIFY2(m_bus->start(), qPrintable(m_bus->errorString()));
    // No adb in the working directory or on PATH: the USB stream fails before it starts any program.
    // Made last: from here on PATH names an empty directory.
    m_noAdb = std::make_unique<FakeAdb>();
}

void tst_MainWindow::init()
{
    settingsStore().clear();
    m_driver = std::make_unique<ModalDriver>();
}

void tst_MainWindow::cleanup()
{
    // The destructor interrupts and waits for a capture thread that still runs.
    m_window.reset();
    m_simulator.reset();
    if (m_driver) {
        const QList<ModalDriver::Seen> strays = m_driver->unexpected();
        m_driver.reset();
        for (const ModalDriver::Seen &seen : strays)
            qWarning("unexpected %s: %s", seen.className.constData(), qPrintable(seen.text));
        QVERIFY(strays.isEmpty());
    }
}

MainWindow &tst_MainWindow::makeWindow()
{
    m_window = std::make_unique<MainWindow>();
    return *m_window;
}

QString tst_MainWindow::progressText() const
{
    const auto *label = m_window->findChild<ProgressDialog *>()->findChild<QLabel *>();
    return label ? label->text() : QString();
}

void tst_MainWindow::verifyNotConnected()
{
    MainWindow &w = *m_window;
    QVERIFY(!w.isConnected());
    QCOMPARE(w.findChild<QLabel *>(QStringLiteral("status"))->text(), QStringLiteral("Disconnected"));
    QVERIFY(actionNamed(w, "connect")->isEnabled());
    QVERIFY(!actionNamed(w, "disconnect")->isEnabled());
    QVERIFY(!w.findChild<ProgressDialog *>()->isVisible());
}

// A simulator on a free port, which the window is then told to connect to, with small frames at a slow
// rate so that the camera file stays small.
bool tst_MainWindow::startSimulator()
{
    m_simulator = std::make_unique<SimulatorProcess>(QStringList{"--size", "160x120", "--fps", "10"});
    if (m_simulator->start()) {
        m_window->setServerPort(m_simulator->port());
        return true;
    }
    qWarning("simulator: %s", qPrintable(m_simulator->errorString()));
    return false;
}

// A real connection through the transport dialog.
bool tst_MainWindow::connectOverWifi()
{
    if (!startSimulator())
        return false;
    m_driver->expectChoice("TransportDialog", QStringLiteral("WiFi"), QStringLiteral("127.0.0.1"));
    actionNamed(*m_window, "connect")->trigger();
    return m_driver->pending() == 0
        && QTest::qWaitFor([this] { return m_window->isConnected(); }, outcomeTimeoutMs);
}

void tst_MainWindow::firstStartShowsDefaultsAndBuildsMenus()
{
    MainWindow &w = makeWindow();

    QCOMPARE(w.windowTitle(), QStringLiteral("Lumo Webcam Client 2.19"));
    QCOMPARE(w.size(), QSize(320, 180));
    QCOMPARE(w.pos(), QPoint(200, 200));
    QVERIFY(!actionNamed(w, "flipHorizontally")->isChecked());
    QVERIFY(!actionNamed(w, "flipVertically")->isChecked());
    QVERIFY(actionNamed(w, "rotate0")->isChecked());
    QVERIFY(w.findChild<QActionGroup *>()->isExclusive());
    QCOMPARE(w.findChild<QActionGroup *>()->actions(),
             (QList<QAction *>{actionNamed(w, "rotate0"), actionNamed(w, "rotate90"), actionNamed(w, "rotate180"), actionNamed(w, "rotate270")}));
    QVERIFY(!w.captureThread()->flipHorizontal());
    QVERIFY(!w.captureThread()->flipVertical());
    QCOMPARE(w.captureThread()->rotation(), 0);
    verifyNotConnected();
    QVERIFY(!w.captureThread()->isBusy());
    // Building the window writes nothing.
    QCOMPARE(storedKeys(), QStringList());

    QStringList bar;
    for (QAction *action : w.menuBar()->actions())
        bar << (action->isSeparator() ? QStringLiteral("|") : action->text());
    QCOMPARE(bar, (QStringList{"&Connection", "&Options", "|", "&Help"}));
    QCOMPARE(menuTitled(w, "&Connection")->title(), QStringLiteral("&Connection"));
    QCOMPARE(menuTitled(w, "&Options")->title(), QStringLiteral("&Options"));
    QCOMPARE(menuTitled(w, "&Help")->title(), QStringLiteral("&Help"));

    const QList<QAction *> connection = menuTitled(w, "&Connection")->actions();
    QCOMPARE(connection.size(), 4);
    QCOMPARE(connection.at(0), actionNamed(w, "connect"));
    QCOMPARE(connection.at(1), actionNamed(w, "disconnect"));
    QVERIFY(connection.at(2)->isSeparator());
    QCOMPARE(connection.at(3), actionNamed(w, "exit"));

    const QList<QAction *> options = menuTitled(w, "&Options")->actions();
    QCOMPARE(options.size(), 6);
    QVERIFY(options.at(3)->isSeparator());
    QCOMPARE(options.at(4), actionNamed(w, "showPreview"));
    QVERIFY(options.at(4)->isChecked());
    QCOMPARE(options.at(5), actionNamed(w, "reconnectAutomatically"));
    QVERIFY(!options.at(5)->isChecked());
    QVERIFY(options.at(0)->menu() && options.at(1)->menu());
    QCOMPARE(options.at(0)->text(), QStringLiteral("Flip video"));
    QCOMPARE(options.at(0)->menu()->actions(), (QList<QAction *>{actionNamed(w, "flipHorizontally"), actionNamed(w, "flipVertically")}));
    QCOMPARE(options.at(1)->text(), QStringLiteral("Rotate video"));
    QCOMPARE(options.at(1)->menu()->actions(), w.findChild<QActionGroup *>()->actions());
    QCOMPARE(options.at(2), actionNamed(w, "cameraCard"));
    QVERIFY(options.at(2)->isChecked());
    QVERIFY(w.holdsCamera());

    QCOMPARE(menuTitled(w, "&Help")->actions(), (QList<QAction *>{actionNamed(w, "help"), actionNamed(w, "about")}));
}

void tst_MainWindow::firstStartActionsCarryStatusTipsAndIcons_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("statusTip");
    QTest::addColumn<bool>("checkable");
    QTest::addColumn<bool>("icon");

    QTest::newRow("connect") << "&Connect..." << "Connect to remote device" << false << true;
    QTest::newRow("disconnect") << "&Disconnect" << "disconnect from remote device" << false << true;
    QTest::newRow("exit") << "E&xit" << "Exit the application" << false << false;
    QTest::newRow("flip horizontally") << "Flip horizontally" << "Flip horizontally" << true << false;
    QTest::newRow("flip vertically") << "Flip vertically" << "Flip vertically" << true << false;
    QTest::newRow("0 degrees") << "0 degrees" << "" << true << false;
    QTest::newRow("90 degrees") << "90 degrees" << "" << true << false;
    QTest::newRow("180 degress") << "180 degress" << "" << true << false;
    QTest::newRow("270 degrees") << "270 degrees" << "" << true << false;
    QTest::newRow("camera card") << "Keep the camera on between connections"
                                 << "Show \"Waiting for the phone\" in the virtual camera while no phone is connected"
                                 << true << false;
    QTest::newRow("about") << "&About..." << "Show the application's About box" << false << false;
    QTest::newRow("help") << "&Help..." << "" << false << false;
}

void tst_MainWindow::firstStartActionsCarryStatusTipsAndIcons()
{
    QFETCH(QString, text);
    QFETCH(QString, statusTip);
    QFETCH(bool, checkable);
    QFETCH(bool, icon);
    MainWindow &w = makeWindow();

    QAction *action = nullptr;
    for (QAction *candidate : w.findChildren<QAction *>()) {
        if (candidate->text() == text) {
            QVERIFY2(!action, "two actions with this text");
            action = candidate;
        }
    }
    QVERIFY(action);
    QCOMPARE(action->statusTip(), statusTip);
    QCOMPARE(action->isCheckable(), checkable);
    // An icon that is only a file name draws nothing: ask for pixels.
    QCOMPARE(!action->icon().pixmap(QSize(16, 16)).isNull(), icon);
}

void tst_MainWindow::storedRotationChecksItsActionAndReachesController_data()
{
    QTest::addColumn<int>("stored");
    QTest::addColumn<int>("checkedIndex"); // -1: none checked

    QTest::newRow("90 degrees") << 1 << 1;
    QTest::newRow("180 degress") << 2 << 2;
    QTest::newRow("270 degrees") << 3 << 3;
    QTest::newRow("7 checks none and passes unchanged") << 7 << -1;
    QTest::newRow("-1 checks none and passes unchanged") << -1 << -1;
}

void tst_MainWindow::storedRotationChecksItsActionAndReachesController()
{
    QFETCH(int, stored);
    QFETCH(int, checkedIndex);
    settingsStore().setValue(QStringLiteral("rotation"), stored);
    MainWindow &w = makeWindow();

    const QList<QAction *> rotations{actionNamed(w, "rotate0"), actionNamed(w, "rotate90"), actionNamed(w, "rotate180"), actionNamed(w, "rotate270")};
    for (int i = 0; i < rotations.size(); ++i)
        QCOMPARE(rotations.at(i)->isChecked(), i == checkedIndex);
    QCOMPARE(w.captureThread()->rotation(), stored);
    QCOMPARE(settingsStore().value(QStringLiteral("rotation")).toInt(), stored);
}

void tst_MainWindow::storedFlipIsCheckedWithoutWritingBack_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<bool>("horizontal");

    QTest::newRow("horizontal") << "hflip" << true;
    QTest::newRow("vertical") << "vflip" << false;
}

void tst_MainWindow::storedFlipIsCheckedWithoutWritingBack()
{
    QFETCH(QString, key);
    QFETCH(bool, horizontal);
    // "1" reads as true, but a write of the flip would replace it with a bool, which reads back as
    // "true": the stored text shows whether the slot ran during construction.
    settingsStore().setValue(key, QStringLiteral("1"));
    MainWindow &w = makeWindow();
    QAction *flip = horizontal ? actionNamed(w, "flipHorizontally") : actionNamed(w, "flipVertically");
    QAction *other = horizontal ? actionNamed(w, "flipVertically") : actionNamed(w, "flipHorizontally");
    const auto controllerFlip = [&] {
        return horizontal ? w.captureThread()->flipHorizontal() : w.captureThread()->flipVertical();
    };

    QVERIFY(flip->isChecked());
    QVERIFY(!other->isChecked());
    QVERIFY(controllerFlip());
    QCOMPARE(settingsStore().value(key).toString(), QStringLiteral("1"));
    QCOMPARE(storedKeys(), QStringList{key});

    flip->trigger();
    QVERIFY(!flip->isChecked());
    QCOMPARE(settingsStore().value(key).toString(), QStringLiteral("false"));
    QVERIFY(!controllerFlip());

    flip->trigger();
    QCOMPARE(settingsStore().value(key).toString(), QStringLiteral("true"));
    QVERIFY(controllerFlip());
    QCOMPARE(storedKeys(), QStringList{key});
}

void tst_MainWindow::rotationChoiceIsStoredAndReachesController_data()
{
    QTest::addColumn<int>("index");

    QTest::newRow("0 degrees") << 0;
    QTest::newRow("90 degrees") << 1;
    QTest::newRow("180 degress") << 2;
    QTest::newRow("270 degrees") << 3;
}

void tst_MainWindow::rotationChoiceIsStoredAndReachesController()
{
    QFETCH(int, index);
    // Start from another rotation, so that even "0 degrees" changes something.
    settingsStore().setValue(QStringLiteral("rotation"), index == 2 ? 3 : 2);
    MainWindow &w = makeWindow();
    const QList<QAction *> rotations{actionNamed(w, "rotate0"), actionNamed(w, "rotate90"), actionNamed(w, "rotate180"), actionNamed(w, "rotate270")};

    rotations.at(index)->trigger();

    for (int i = 0; i < rotations.size(); ++i)
        QCOMPARE(rotations.at(i)->isChecked(), i == index);
    QCOMPARE(settingsStore().value(QStringLiteral("rotation")).toInt(), index);
    QCOMPARE(w.captureThread()->rotation(), index);
    QCOMPARE(AppSettings::rotation(), index);
}

void tst_MainWindow::cameraCardChoiceIsStoredAndHoldsTheCamera()
{
    settingsStore().setValue(QStringLiteral("cameraCard"), false);
    MainWindow &w = makeWindow();
    QVERIFY(!actionNamed(w, "cameraCard")->isChecked());
    QVERIFY(!w.holdsCamera());

    actionNamed(w, "cameraCard")->trigger();
    QVERIFY(w.holdsCamera());
    QCOMPARE(settingsStore().value(QStringLiteral("cameraCard")).toBool(), true);
    actionNamed(w, "cameraCard")->trigger();
    QVERIFY(!w.holdsCamera());
    QCOMPARE(settingsStore().value(QStringLiteral("cameraCard")).toBool(), false);
}

void tst_MainWindow::foreignActionChangesNoRotation()
{
    settingsStore().setValue(QStringLiteral("rotation"), 3);
    MainWindow &w = makeWindow();
    QAction stranger(QStringLiteral("90 degrees"));

    for (QAction *act : {&stranger, actionNamed(w, "flipHorizontally"), static_cast<QAction *>(nullptr)})
        emit w.findChild<QActionGroup *>()->triggered(act);

    QCOMPARE(w.captureThread()->rotation(), 3);
    QCOMPARE(settingsStore().value(QStringLiteral("rotation")).toInt(), 3);
    QCOMPARE(AppSettings::rotation(), 3);
    QVERIFY(actionNamed(w, "rotate270")->isChecked());
}

void tst_MainWindow::connectStoresChoiceAndStartsTransport_data()
{
    QTest::addColumn<int>("transport");
    QTest::addColumn<QString>("radio");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<bool>("connects"); // otherwise the open fails: -5

    const int com = absentComPort();
    QTest::newRow("serial port") << int(Serial) << "Virtual serial port: " << QStringLiteral("COM%1").arg(com)
                                 << QStringList{"port", "transportType"} << false;
    QTest::newRow("bluetooth") << int(Bluetooth) << "Bluetooth device: " << QString()
                               << QStringList{"transportType"} << false;
    QTest::newRow("usb") << int(Usb) << "USB" << QString() << QStringList{"transportType"} << false;
    QTest::newRow("wifi") << int(Wifi) << "WiFi" << "127.0.0.1" << QStringList{"transportType", "wifiServerAddr"}
                          << true;
}

void tst_MainWindow::connectStoresChoiceAndStartsTransport()
{
    QFETCH(int, transport);
    QFETCH(QString, radio);
    QFETCH(QString, value);
    QFETCH(QStringList, keys);
    QFETCH(bool, connects);
    // Another transport's choice, so that the dialog's preset is not already the answer.
    settingsStore().setValue(QStringLiteral("transportType"), transport == Serial ? int(Wifi) : int(Serial));
    MainWindow &w = makeWindow();
    settingsStore().clear();
    if (transport == Wifi)
        QVERIFY(startSimulator());

    m_driver->expectChoice("TransportDialog", radio, value);
    bool progressHiddenDuringBox = false;
    if (!connects) {
        m_driver->expect("QMessageBox", [&](QDialog *box) {
            progressHiddenDuringBox = !w.findChild<ProgressDialog *>()->isVisible();
            ModalDriver::clickButton(box, QMessageBox::Ok);
        });
    }
    actionNamed(w, "connect")->trigger();

    // The outcome arrives through the event loop, which has not run since the dialog was accepted.
    QCOMPARE(m_driver->pending(), connects ? 0 : 1);
    QVERIFY(w.findChild<ProgressDialog *>()->isVisible());
    QCOMPARE(progressText(), connecting);
    QCOMPARE(storedKeys(), keys);
    QCOMPARE(settingsStore().value(QStringLiteral("transportType")).toInt(), transport);
    if (transport == Serial)
        QCOMPARE(settingsStore().value(QStringLiteral("port")).toInt(), absentComPort());
    if (transport == Wifi)
        QCOMPARE(settingsStore().value(QStringLiteral("wifiServerAddr")).toString(), value);

    if (connects) {
        QTRY_VERIFY_WITH_TIMEOUT(w.isConnected(), outcomeTimeoutMs);
        QCOMPARE(w.findChild<QLabel *>(QStringLiteral("status"))->text(), QStringLiteral("Connected"));
        QVERIFY(!actionNamed(w, "connect")->isEnabled());
        QVERIFY(actionNamed(w, "disconnect")->isEnabled());
        QVERIFY(!w.findChild<ProgressDialog *>()->isVisible());
    } else {
        QVERIFY(m_driver->waitUntilAnswered(outcomeTimeoutMs));
        QCOMPARE(m_driver->seen().last().text,
                 QStringLiteral("Error:\n") + ConnectionError::message(ConnectionError::OpenFailed, 0, 0));
        QVERIFY(progressHiddenDuringBox);
        verifyNotConnected();
    }
    QCOMPARE(storedKeys(), keys);
}

void tst_MainWindow::cancelledTransportDialogChangesNothing()
{
    MainWindow &w = makeWindow();

    m_driver->expect("TransportDialog", [](QDialog *dialog) {
        // A choice made and then cancelled must not count either.
        ModalDriver::choose(dialog, QStringLiteral("WiFi"), QStringLiteral("10.0.0.9"));
        ModalDriver::clickButton(dialog, QMessageBox::Cancel);
    });
    actionNamed(w, "connect")->trigger();

    QCOMPARE(m_driver->pending(), 0);
    QCOMPARE(storedKeys(), QStringList());
    QVERIFY(!w.captureThread()->isBusy());
    verifyNotConnected();
    QCOMPARE(AppSettings::wifiServerAddr(), QStringLiteral("127.0.0.1"));
}

void tst_MainWindow::cancelDuringHungHandshakeReturnsToDisconnectedAtOnce_data()
{
    QTest::addColumn<bool>("escape");
    QTest::newRow("Cancel button") << false;
    QTest::newRow("Escape") << true;
}

void tst_MainWindow::cancelDuringHungHandshakeReturnsToDisconnectedAtOnce()
{
    QFETCH(bool, escape);
    // A server that accepts and never answers the version query keeps the attempt in its handshake.
    QTcpServer server;
    QVERIFY2(server.listen(QHostAddress::LocalHost), qPrintable(server.errorString()));
    MainWindow &w = makeWindow();
    w.setServerPort(server.serverPort());
    m_driver->expectChoice("TransportDialog", QStringLiteral("WiFi"), QStringLiteral("127.0.0.1"));
    actionNamed(w, "connect")->trigger();
    QVERIFY(server.waitForNewConnection(outcomeTimeoutMs));
    std::unique_ptr<QTcpSocket> phone(server.nextPendingConnection());
    auto *progress = w.findChild<ProgressDialog *>();
    QVERIFY(progress->isVisible());
    auto *cancel = progress->findChild<QPushButton *>();
    QVERIFY(cancel && cancel->isVisible());

    QElapsedTimer clock;
    clock.start();
    if (escape)
        QTest::keyClick(progress, Qt::Key_Escape);
    else
        cancel->click();
    QVERIFY(!progress->isVisible());
    QCOMPARE(w.findChild<QLabel *>(QStringLiteral("status"))->text(), QStringLiteral("Disconnected"));
    QTRY_VERIFY_WITH_TIMEOUT(!w.captureThread()->isBusy(), 500);
    QVERIFY2(clock.elapsed() < 500, qPrintable(QString::number(clock.elapsed())));
    QTest::qWait(50); // the cancelled attempt's own report arrives and is dropped: no box
    verifyNotConnected();

    // The next attempt is not held up by the cancelled one, and its outcome is its own.
    QVERIFY(connectOverWifi());
}

void tst_MainWindow::connectErrorShowsMessageAndReturnsToNotConnected_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("param1");
    QTest::addColumn<int>("param2");

    for (int code = -1; code >= -11; --code)
        QTest::addRow("%d", code) << code << 0 << 0;
    QTest::newRow("0") << 0 << 0 << 0;
    QTest::newRow("7") << 7 << 0 << 0;
    QTest::newRow("-100") << -100 << 0 << 0;
    QTest::newRow("-7 server 2.20") << -7 << 2 << 20;
    QTest::newRow("-7 server 3.5") << -7 << 3 << 5;
    QTest::newRow("-5 ignores parameters") << -5 << 2 << 20;
}

void tst_MainWindow::connectErrorShowsMessageAndReturnsToNotConnected()
{
    QFETCH(int, code);
    QFETCH(int, param1);
    QFETCH(int, param2);
    MainWindow &w = makeWindow();
    w.findChild<ProgressDialog *>()->setText(connecting);
    w.findChild<ProgressDialog *>()->show();

    bool progressHiddenDuringBox = false;
    m_driver->expect("QMessageBox", [&](QDialog *box) {
        progressHiddenDuringBox = !w.findChild<ProgressDialog *>()->isVisible();
        ModalDriver::clickButton(box, QMessageBox::Ok);
    });
    w.onConnectError(code, param1, param2);

    QCOMPARE(m_driver->pending(), 0);
    const ModalDriver::Seen box = m_driver->seen().constFirst();
    QCOMPARE(box.text, QStringLiteral("Error:\n") + ConnectionError::message(code, param1, param2));
    QCOMPARE(box.title, productTitle);
    QCOMPARE(box.icon, QMessageBox::Warning);
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QVERIFY(progressHiddenDuringBox);
    verifyNotConnected();
}

void tst_MainWindow::abortWhileDisconnectingHidesProgressAndAsks_data()
{
    QTest::addColumn<QMessageBox::StandardButton>("answer");

    QTest::newRow("no") << QMessageBox::No;
    QTest::newRow("yes reopens the transport dialog") << QMessageBox::Yes;
}

void tst_MainWindow::abortWhileDisconnectingHidesProgressAndAsks()
{
    QFETCH(QMessageBox::StandardButton, answer);
    MainWindow &w = makeWindow();
    QVERIFY(connectOverWifi());
    const QStringList keysBefore = storedKeys();

    // A stream that breaks just as the user chose "&Disconnect": the abort is reported by hand, before
    // the disconnect's own report.
    actionNamed(w, "disconnect")->trigger();
    QVERIFY(w.findChild<ProgressDialog *>()->isVisible());
    QCOMPARE(progressText(), disconnecting);

    bool progressHiddenDuringQuestion = false;
    m_driver->expect("QMessageBox", [&](QDialog *box) {
        progressHiddenDuringQuestion = !w.findChild<ProgressDialog *>()->isVisible();
        ModalDriver::clickButton(box, answer);
    });
    QString preselected;
    if (answer == QMessageBox::Yes) {
        m_driver->expect("TransportDialog", [&](QDialog *dialog) {
            for (QRadioButton *radio : dialog->findChildren<QRadioButton *>()) {
                if (radio->isChecked())
                    preselected = radio->text();
            }
            ModalDriver::clickButton(dialog, QMessageBox::Cancel);
        });
    }
    w.onAborted();

    QCOMPARE(m_driver->pending(), 0);
    const ModalDriver::Seen question = m_driver->seen().at(1);
    QCOMPARE(question.text, QStringLiteral("Aborted. Try to connect?"));
    QCOMPARE(question.title, productTitle);
    QCOMPARE(question.icon, QMessageBox::Question);
    QCOMPARE(question.buttons, QMessageBox::Yes | QMessageBox::No);
    QVERIFY(progressHiddenDuringQuestion);
    if (answer == QMessageBox::Yes) {
        QCOMPARE(m_driver->seen().size(), 3);
        QCOMPARE(preselected, QStringLiteral("WiFi"));
    } else {
        QCOMPARE(m_driver->seen().size(), 2);
    }
    QTRY_VERIFY_WITH_TIMEOUT(!w.captureThread()->isBusy(), outcomeTimeoutMs);
    QTest::qWait(50);
    verifyNotConnected();
    QCOMPARE(storedKeys(), keysBefore);
}

void tst_MainWindow::failedAttemptBoxCarriesItsDetails_data()
{
    QTest::addColumn<QString>("transport");
    QTest::addColumn<QString>("value");   // "PORT" stands for a free port, "SIM" for a simulator's
    QTest::addColumn<QStringList>("simulator");
    QTest::addColumn<int>("code");
    QTest::addColumn<QStringList>("details");

    QTest::newRow("WiFi HOST:PORT, refused")
        << "WiFi" << "127.0.0.1:PORT" << QStringList() << int(ConnectionError::OpenFailed)
        << QStringList{"Tried: WiFi: TCP to 127.0.0.1, port PORT", "Answer: Connection refused"};
    QTest::newRow("serial port missing")
        << "Virtual serial port: " << "COM" << QStringList() << int(ConnectionError::OpenFailed)
        << QStringList{"Tried: serial port COM", "Answer: No such file or directory"};
    QTest::newRow("USB without adb") << "USB" << QString() << QStringList() << int(ConnectionError::OpenFailed)
                                     << QStringList{"Tried: USB: adb forward of TCP port", "Answer: adb: program not found"};
    QTest::newRow("Bluetooth, none paired")
        << "Bluetooth device: " << QString() << QStringList() << int(ConnectionError::OpenFailed)
        << QStringList{"Tried: Bluetooth to", "Answer: no paired device offers the camera service"};
    QTest::newRow("server 2.20") << "WiFi" << "127.0.0.1:SIM" << QStringList{"--version", "2.20"}
                                 << int(ConnectionError::VersionMismatch)
                                 << QStringList{"Tried: WiFi: TCP to 127.0.0.1, port SIM", "Server version: 2.20"};
    QTest::newRow("no camera on the phone") << "WiFi" << "127.0.0.1:SIM" << QStringList{"--status", "0"}
                                            << int(ConnectionError::ResolutionFailed)
                                            << QStringList{"Answer: no resolution reply", "Server version: 2.19"};
}

// Every failed attempt keeps its box as it was (text, title, icon, one OK) and adds the details.
void tst_MainWindow::failedAttemptBoxCarriesItsDetails()
{
    QFETCH(QString, transport);
    QFETCH(QString, value);
    QFETCH(QStringList, simulator);
    QFETCH(int, code);
    QFETCH(QStringList, details);
    MainWindow &w = makeWindow();
    QString port = QString::number(freeLocalPort());
    if (!simulator.isEmpty()) {
        m_simulator = std::make_unique<SimulatorProcess>(simulator + QStringList{"--size", "64x48"});
        QVERIFY2(m_simulator->start(), qPrintable(m_simulator->errorString()));
        port = QString::number(m_simulator->port());
    }
    value.replace(QLatin1String("PORT"), port).replace(QLatin1String("SIM"), port);
    if (value == QLatin1String("COM"))
        value = QStringLiteral("COM%1").arg(absentComPort());
    for (QString &line : details)
        line.replace(QLatin1String("PORT"), port).replace(QLatin1String("SIM"), port);

    QString detailedText;
    m_driver->expectChoice("TransportDialog", transport, value);
    m_driver->expect("QMessageBox", [&](QDialog *dialog) {
        auto *box = qobject_cast<QMessageBox *>(dialog);
        detailedText = box->detailedText();
        ModalDriver::clickButton(dialog, QMessageBox::Ok);
    });
    actionNamed(w, "connect")->trigger();
    QVERIFY(m_driver->waitUntilAnswered(outcomeTimeoutMs));

    const ModalDriver::Seen box = m_driver->seen().at(1);
    QCOMPARE(box.text, QStringLiteral("Error:\n") + ConnectionError::message(code, 2, 20));
    QCOMPARE(box.title, productTitle);
    QCOMPARE(box.icon, QMessageBox::Warning);
    QCOMPARE(box.buttons, QMessageBox::Ok);
    for (const QString &line : details)
        QVERIFY2(detailedText.contains(line), qPrintable(detailedText));
    verifyNotConnected();
    // The hint in the empty preview says how the attempt ended.
    QCOMPARE(w.findChild<PreviewWidget *>()->hint(), ConnectionError::message(code, 2, 20));
}

void tst_MainWindow::streamFieldNamesTheCameraOrWhyNot_data()
{
    QTest::addColumn<bool>("usable");
    QTest::newRow("camera file") << true;
    QTest::newRow("device that does not exist") << false;
}

void tst_MainWindow::streamFieldNamesTheCameraOrWhyNot()
{
    QFETCH(bool, usable);
    const QByteArray camera = usable ? qgetenv("LUMO_VIRTUAL_CAMERA") : QByteArray("/dev/lumo-test-missing");
    const QByteArray saved = qgetenv("LUMO_VIRTUAL_CAMERA");
    qputenv("LUMO_VIRTUAL_CAMERA", camera);
    const auto restore = qScopeGuard([&] { qputenv("LUMO_VIRTUAL_CAMERA", saved); });
    settingsStore().setValue(QStringLiteral("cameraCard"), false);
    MainWindow &w = makeWindow();
    QVERIFY(connectOverWifi());

    auto *field = w.findChild<QLabel *>(QStringLiteral("stream"));
    QTRY_VERIFY_WITH_TIMEOUT(field->text().contains(QLatin1String(" fps")), outcomeTimeoutMs);
    QVERIFY2(field->text().startsWith(QStringLiteral("160×120 · ")), qPrintable(field->text()));
    const auto problems = [&w] { return w.findChildren<QMessageBox *>(QStringLiteral("cameraProblem")); };
    if (usable) {
        QVERIFY2(field->text().endsWith(QStringLiteral(" → ") + QString::fromLocal8Bit(camera)), qPrintable(field->text()));
        QVERIFY(problems().isEmpty());
    } else {
        QVERIFY2(field->text().contains(QStringLiteral("no virtual camera: cannot use virtual camera /dev/lumo-test-missing")),
                 qPrintable(field->text()));
        // Shown once in a connection, and not modal: the window goes on.
        QCOMPARE(problems().size(), 1);
        QVERIFY(!problems().first()->isModal());
        QTest::qWait(1200);
        QCOMPARE(problems().size(), 1);
        problems().first()->close();
    }
    // The status tips get the bar while the menus are browsed; the label keeps its text.
    auto *status = w.findChild<QLabel *>(QStringLiteral("status"));
    w.statusBar()->showMessage(QStringLiteral("Connect to remote device"));
    QVERIFY(status->isHidden() && field->isHidden());
    w.statusBar()->clearMessage();
    QVERIFY(!status->isHidden() && !field->isHidden());
    QCOMPARE(status->text(), QStringLiteral("Connected"));
}

void tst_MainWindow::reconnectSurvivesAbortsAndStopsAtDisconnect()
{
    settingsStore().setValue(QStringLiteral("reconnectAutomatically"), true);
    MainWindow &w = makeWindow();
    w.setReconnectUnit(5);
    m_simulator = std::make_unique<SimulatorProcess>(QStringList{"--size", "64x48", "--fps", "200", "--close-after", "2"});
    QVERIFY2(m_simulator->start(), qPrintable(m_simulator->errorString()));
    w.setServerPort(m_simulator->port());
    QSignalSpy connects(&w, &MainWindow::connected);
    QSignalSpy aborts(&w, &MainWindow::aborted);
    m_driver->expectChoice("TransportDialog", QStringLiteral("WiFi"), QStringLiteral("127.0.0.1"));
    actionNamed(w, "connect")->trigger();

    // No question and no box: each abort is followed by a new connection.
    QTRY_VERIFY_WITH_TIMEOUT(aborts.size() >= 20 && connects.size() > aborts.size(), 60000);
    auto *status = w.findChild<QLabel *>(QStringLiteral("status"));
    w.setReconnectUnit(60000);
    QTRY_VERIFY_WITH_TIMEOUT(status->text() == QStringLiteral("Reconnecting (attempt 1) ..."), outcomeTimeoutMs);
    QCOMPARE(w.findChild<PreviewWidget *>()->hint(), status->text());
    QVERIFY(actionNamed(w, "disconnect")->isEnabled());
    QVERIFY(!actionNamed(w, "connect")->isEnabled());

    QElapsedTimer clock;
    clock.start();
    actionNamed(w, "disconnect")->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(!w.captureThread()->isBusy(), 500);
    QVERIFY(clock.elapsed() < 500);
    verifyNotConnected();
    const qsizetype seen = connects.size();
    QTest::qWait(100);
    QCOMPARE(connects.size(), seen);
}

void tst_MainWindow::reconnectEndsAtAHandshakeError()
{
    settingsStore().setValue(QStringLiteral("reconnectAutomatically"), true);
    MainWindow &w = makeWindow();
    w.setReconnectUnit(20);
    m_simulator = std::make_unique<SimulatorProcess>(QStringList{"--size", "64x48", "--once", "--close-after", "2"});
    QVERIFY2(m_simulator->start(), qPrintable(m_simulator->errorString()));
    const QString port = QString::number(m_simulator->port());
    w.setServerPort(m_simulator->port());
    QSignalSpy aborts(&w, &MainWindow::aborted);
    m_driver->expectChoice("TransportDialog", QStringLiteral("WiFi"), QStringLiteral("127.0.0.1"));
    actionNamed(w, "connect")->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(aborts.size() == 1, outcomeTimeoutMs);
    QVERIFY(m_simulator->waitForExit(outcomeTimeoutMs));

    // Refused attempts go on quietly until a server answers, too new: its box ends the retries.
    m_driver->expectButton("QMessageBox", QMessageBox::Ok);
    m_simulator = std::make_unique<SimulatorProcess>(QStringList{"--size", "64x48", "--port", port, "--version", "2.20"});
    QVERIFY2(m_simulator->start(), qPrintable(m_simulator->errorString()));
    QVERIFY(m_driver->waitUntilAnswered(outcomeTimeoutMs));
    QCOMPARE(m_driver->seen().last().text,
             QStringLiteral("Error:\n") + ConnectionError::message(ConnectionError::VersionMismatch, 2, 20));
    verifyNotConnected();
    QTest::qWait(100);
    QVERIFY(!w.captureThread()->isBusy());
}

void tst_MainWindow::aboutBoxShowsVersionAndContacts()
{
    MainWindow &w = makeWindow();
    m_driver->expectButton("QMessageBox", QMessageBox::Ok);

    actionNamed(w, "about")->trigger();

    QCOMPARE(m_driver->pending(), 0);
    const ModalDriver::Seen box = m_driver->seen().constFirst();
    QCOMPARE(box.title, productTitle);
    QCOMPARE(box.text, QStringLiteral("Version: 2.19\nE-mail: %1\nSupport: %2")
                           .arg(QLatin1String(ClientInfo::kSupportEmail), QLatin1String(ClientInfo::kWebPage)));
    verifyNotConnected();
}

void tst_MainWindow::helpOpensProductPageAndShowsNothing()
{
    MainWindow &w = makeWindow();
    UrlRecorder browser;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &browser, "openUrl");

    actionNamed(w, "help")->trigger();
    QTRY_COMPARE(browser.urls, QList<QUrl>{QUrl(QString::fromLatin1(ClientInfo::kWebPage))});
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));

    QVERIFY(m_driver->seen().isEmpty());
    QVERIFY(!QApplication::activeModalWidget());
    verifyNotConnected();
}

void tst_MainWindow::closingAsksOnlyWhileConnected_data()
{
    QTest::addColumn<bool>("connected");
    QTest::addColumn<bool>("viaExit");
    QTest::addColumn<QMessageBox::StandardButton>("answer");

    QTest::newRow("not connected, close button") << false << false << QMessageBox::NoButton;
    QTest::newRow("not connected, exit") << false << true << QMessageBox::NoButton;
    QTest::newRow("connected, close button, cancel") << true << false << QMessageBox::Cancel;
    QTest::newRow("connected, close button, yes") << true << false << QMessageBox::Yes;
    QTest::newRow("connected, exit, cancel") << true << true << QMessageBox::Cancel;
    QTest::newRow("connected, exit, yes") << true << true << QMessageBox::Yes;
}

void tst_MainWindow::closingAsksOnlyWhileConnected()
{
    QFETCH(bool, connected);
    QFETCH(bool, viaExit);
    QFETCH(QMessageBox::StandardButton, answer);
    MainWindow &w = makeWindow();
    w.show();
    w.resize(400, 250);
    w.move(130, 140);
    if (connected)
        QVERIFY(connectOverWifi());
    const QStringList keysBefore = storedKeys();
    const QPoint pos = w.pos();
    const QSize size = w.size();
    // Neither is the stored default, so that what is stored must come from the window.
    QCOMPARE(pos, QPoint(130, 140));
    QCOMPARE(size, QSize(400, 250));

    if (answer != QMessageBox::NoButton)
        m_driver->expectButton("QMessageBox", answer);
    if (viaExit)
        actionNamed(w, "exit")->trigger();
    else
        w.close();
    QCOMPARE(m_driver->pending(), 0);

    if (connected) {
        const ModalDriver::Seen question = m_driver->seen().constLast();
        QCOMPARE(question.text, QStringLiteral("Still connected. Exit anyway?"));
        QCOMPARE(question.title, productTitle);
        QCOMPARE(question.icon, QMessageBox::Question);
        QCOMPARE(question.buttons, QMessageBox::Yes | QMessageBox::Cancel);
    } else {
        QVERIFY(m_driver->seen().isEmpty());
    }

    if (answer == QMessageBox::Cancel) {
        QVERIFY(w.isVisible());
        QCOMPARE(storedKeys(), keysBefore);
        QVERIFY(w.isConnected());
        // Still streaming: a thread asked to stop would end after the frame it is receiving, a tenth
        // of a second at this rate.
        QVERIFY(!w.captureThread()->wait(1000));
        QVERIFY(w.captureThread()->isRunning());
        return;
    }

    QVERIFY(!w.isVisible());
    QCOMPARE(settingsStore().value(QStringLiteral("pos")).toPoint(), pos);
    QCOMPARE(settingsStore().value(QStringLiteral("size")).toSize(), size);
    QCOMPARE(settingsStore().value(QStringLiteral("resolution")).toSize(), QSize(640, 480));
    // The size of the last connection, for the virtual camera's card at the next start.
    QStringList keys{"hflip", "port", "pos", "resolution", "rotation", "size", "transportType", "vflip",
                     "wifiServerAddr"};
    if (connected) {
        QCOMPARE(settingsStore().value(QStringLiteral("cameraSize")).toSize(), QSize(160, 120));
        keys.prepend(QStringLiteral("cameraSize"));
    }
    QCOMPARE(storedKeys(), keys);
    if (connected) {
        // Asked to stop, the thread ends on its own, with no interrupt from the destructor.
        QVERIFY(w.captureThread()->wait(outcomeTimeoutMs));
        QTRY_COMPARE(w.findChild<QLabel *>(QStringLiteral("status"))->text(), QStringLiteral("Disconnected"));
    }
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
