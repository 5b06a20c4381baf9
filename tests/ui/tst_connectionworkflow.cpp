// End to end through the desktop program's own widgets: a real MainWindow in this process, its transport
// dialog answered as a user would, the phone simulator on the port the window is told to use streaming
// pictures this test made, and the virtual camera writing into a regular file.

#include "connectionerror.h"
#include "fakebluezbus.h"
#include "jpegdecoder.h"
#include "jpegencoder.h"
#include "mainwindow.h"
#include "modaldriver.h"
#include "previewwidget.h"
#include "progressdialog.h"
#include "referencetransforms.h"
#include "settingsstore.h"
#include "simulatorprocess.h"
#include "testpicture.h"
#include "yuyvreference.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QSettings>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

constexpr int kWidth = 160;
constexpr int kHeight = 120;
constexpr int kPictures = 3;
// Connecting and disconnecting take milliseconds; the bound is for sanitizer builds on a busy machine.
constexpr int kOutcomeMs = 15000;

const QString kWifi = QStringLiteral("WiFi");
const QString kLocalHost = QStringLiteral("127.0.0.1");

// How the frames are meant to be turned, as the options menu says.
struct Transform
{
    bool hflip = false;
    bool vflip = false;
    int turns = 0;
};

QString describe(const Transform &t)
{
    return QStringLiteral("hflip %1, vflip %2, %3 degrees").arg(t.hflip).arg(t.vflip).arg(t.turns * 90);
}

// A main window, shown, and what a user sees of it, found by the texts the user goes by. Its WiFi
// connects to the simulator's port.
class WindowUnderTest
{
public:
    explicit WindowUnderTest(const SimulatorProcess &simulator)
        : m_window(std::make_unique<MainWindow>())
    {
        m_window->setServerPort(simulator.port());
        m_window->show();
    }

    MainWindow *get() const { return m_window.get(); }
    void destroy() { m_window.reset(); }

    QAction *action(const QString &text) const
    {
        for (QAction *action : m_window->findChildren<QAction *>()) {
            if (action->text() == text)
                return action;
        }
        qFatal("no action %s", qPrintable(text));
    }

    QString status() const
    {
        return m_window->statusBar()->findChild<QLabel *>(QStringLiteral("status"))->text();
    }

    ProgressDialog *progress() const { return m_window->findChild<ProgressDialog *>(); }
    bool waiting() const { return progress()->isVisible(); }
    QString waitingText() const { return progress()->findChild<QLabel *>()->text(); }

    // "&Connect..." usable, "&Disconnect" not, the label "Disconnected" and nothing covering the window.
    bool showsDisconnected() const
    {
        return status() == QLatin1String("Disconnected") && action(QStringLiteral("&Connect..."))->isEnabled()
            && !action(QStringLiteral("&Disconnect"))->isEnabled() && !waiting();
    }
    bool showsConnected() const
    {
        return status() == QLatin1String("Connected") && !action(QStringLiteral("&Connect..."))->isEnabled()
            && action(QStringLiteral("&Disconnect"))->isEnabled() && !waiting();
    }

private:
    std::unique_ptr<MainWindow> m_window;
};

} // namespace

class TestConnectionWorkflow : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void connectStreamsThePicturesAndDisconnectLeavesWholeFrames();
    void flipsAndRotationTurnTheFollowingFrames();
    void silentPhoneEndsInTheAbortQuestion_data();
    void silentPhoneEndsInTheAbortQuestion();
    void failedHandshakeShowsItsError_data();
    void failedHandshakeShowsItsError();
    void manyConnectDisconnectCycles();
    void exitWhileConnectedIsPromptAndKeepsTheChoices();

private:
    QStringList simulatorArguments(const QStringList &extra) const;
    void connectOverWifi(WindowUnderTest &window, ModalDriver &driver, bool untilConnected = true);
    void disconnect(WindowUnderTest &window);
    int completeFrames() const;
    QByteArray cameraFrame(int index) const;
    double differenceFrom(const QByteArray &yuyv, int frame, const Transform &transform) const;
    double previewDifference(const WindowUnderTest &window, const Transform &transform) const;
    void verifyFrames(int from, int to, const Transform &transform);

    QTemporaryDir m_dir;
    QString m_folder;
    std::unique_ptr<FakeBluezBus> m_bluez;
    std::vector<std::vector<unsigned char>> m_decoded; // each picture as the client decodes it
    QString m_camera;
    int m_test = 0;
};

void TestConnectionWorkflow::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // The user's own settings stay untouched: the store opens on first use, which is after this.
    QVERIFY2(redirectSettingsStore(m_dir.filePath(QStringLiteral("config"))), qPrintable(settingsStore().fileName()));

    // The transport dialog lists the paired Bluetooth devices: from a BlueZ of our own, not the machine's.
    m_bluez = std::make_unique<FakeBluezBus>();
    QVERIFY2(m_bluez->start(), qPrintable(m_bluez->errorString()));

    // The simulator loops over these in name order, from the first one on every connection.
    m_folder = m_dir.filePath(QStringLiteral("pictures"));
    QVERIFY(QDir().mkpath(m_folder));
    for (int i = 0; i < kPictures; ++i) {
        const std::vector<std::uint8_t> bgr = makeTestPicture(kWidth, kHeight, i);
        const std::vector<unsigned char> jpeg = encodeJpeg(bgr.data(), kWidth, kHeight, 95);
        QFile file(QStringLiteral("%1/frame-%2.jpg").arg(m_folder).arg(i));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(reinterpret_cast<const char *>(jpeg.data()), qint64(jpeg.size())), qint64(jpeg.size()));
        std::vector<unsigned char> decoded(size_t(kWidth) * kHeight * 3);
        JpegDecoder decoder;
        decoder.init();
        QVERIFY(decoder.decode(jpeg.data(), jpeg.size(), decoded.data(), kWidth, kHeight));
        m_decoded.push_back(std::move(decoded));
    }
}

void TestConnectionWorkflow::init()
{
    // Every test starts from an empty store and a camera file of its own, made when the camera opens.
    settingsStore().clear();
    m_camera = m_dir.filePath(QStringLiteral("camera-%1.yuyv").arg(++m_test));
    qputenv("LUMO_VIRTUAL_CAMERA", m_camera.toLocal8Bit());
}

QStringList TestConnectionWorkflow::simulatorArguments(const QStringList &extra) const
{
    return QStringList{QStringLiteral("--folder"), m_folder, QStringLiteral("--size"),
                       QStringLiteral("%1x%2").arg(kWidth).arg(kHeight)}
        + extra;
}

// "&Connect...", WiFi to 127.0.0.1, OK: the "please wait" dialog covers the window until the outcome,
// which is "Connected" when untilConnected is set.
void TestConnectionWorkflow::connectOverWifi(WindowUnderTest &window, ModalDriver &driver, bool untilConnected)
{
    driver.expectChoice("TransportDialog", kWifi, kLocalHost);
    window.action(QStringLiteral("&Connect..."))->trigger();
    QCOMPARE(driver.pending(), 0);
    QVERIFY(window.waiting());
    QCOMPARE(window.waitingText(), QStringLiteral("Connecting. Please wait ..."));
    if (untilConnected)
        QTRY_VERIFY_WITH_TIMEOUT(window.showsConnected(), kOutcomeMs);
}

void TestConnectionWorkflow::disconnect(WindowUnderTest &window)
{
    window.action(QStringLiteral("&Disconnect"))->trigger();
    QVERIFY(window.waiting());
    QCOMPARE(window.waitingText(), QStringLiteral("Disconnecting. Please wait ..."));
    QTRY_VERIFY_WITH_TIMEOUT(window.showsDisconnected(), kOutcomeMs);
}

int TestConnectionWorkflow::completeFrames() const
{
    return int(QFileInfo(m_camera).size() / yuyvFrameBytes(kWidth, kHeight));
}

QByteArray TestConnectionWorkflow::cameraFrame(int index) const
{
    QFile file(m_camera);
    const int frameBytes = yuyvFrameBytes(kWidth, kHeight);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(qint64(index) * frameBytes))
        return {};
    return file.read(frameBytes);
}

// Mean difference of a camera frame from what frame number `frame` of the connection should have
// become: its picture as decoded, turned the plain way.
double TestConnectionWorkflow::differenceFrom(const QByteArray &yuyv, int frame, const Transform &transform) const
{
    std::vector<unsigned char> expected = m_decoded[size_t(frame % kPictures)];
    if (transform.hflip)
        reference::flipHorizontal(expected.data(), kWidth, kHeight);
    if (transform.vflip)
        reference::flipVertical(expected.data(), kWidth, kHeight);
    reference::rotate(expected.data(), kWidth, kHeight, transform.turns);
    return compareBgrWithYuyv(expected.data(), kWidth, kHeight, reinterpret_cast<const uchar *>(yuyv.constData())).mean;
}

// How far the window's preview is from the nearest of the pictures turned as given (mean per byte);
// a large value when it shows none.
double TestConnectionWorkflow::previewDifference(const WindowUnderTest &window, const Transform &transform) const
{
    const QImage picture = window.get()->findChild<PreviewWidget *>()->picture().convertToFormat(QImage::Format_BGR888);
    if (picture.size() != QSize(kWidth, kHeight))
        return 255;
    double best = 255;
    for (int p = 0; p < kPictures; ++p) {
        std::vector<unsigned char> expected = m_decoded[size_t(p)];
        if (transform.hflip)
            reference::flipHorizontal(expected.data(), kWidth, kHeight);
        if (transform.vflip)
            reference::flipVertical(expected.data(), kWidth, kHeight);
        reference::rotate(expected.data(), kWidth, kHeight, transform.turns);
        double sum = 0;
        for (int y = 0; y < kHeight; ++y) {
            const uchar *row = picture.constScanLine(y);
            for (int x = 0; x < kWidth * 3; ++x)
                sum += std::abs(int(row[x]) - int(expected[size_t(y) * kWidth * 3 + size_t(x)]));
        }
        best = std::min(best, sum / (double(kWidth) * kHeight * 3));
    }
    return best;
}

// Frames from..to-1 of the camera file are whole and show their pictures, in order, turned as given.
void TestConnectionWorkflow::verifyFrames(int from, int to, const Transform &transform)
{
    for (int f = from; f < to; ++f) {
        const QByteArray yuyv = cameraFrame(f);
        QCOMPARE(yuyv.size(), yuyvFrameBytes(kWidth, kHeight));
        // Within JPEG and YUV rounding, and far from the loop's next picture, so a frame out of order shows.
        const double difference = differenceFrom(yuyv, f, transform);
        QVERIFY2(difference < 4.0, qPrintable(QStringLiteral("frame %1 (%2): mean difference %3")
                                                  .arg(f).arg(describe(transform)).arg(difference)));
        QVERIFY(differenceFrom(yuyv, f + 1, transform) > 20.0);
    }
}

void TestConnectionWorkflow::connectStreamsThePicturesAndDisconnectLeavesWholeFrames()
{
    SimulatorProcess simulator(simulatorArguments({}));
    QVERIFY2(simulator.start(), qPrintable(simulator.errorString()));
    WindowUnderTest window(simulator);
    QVERIFY(window.showsDisconnected());
    ModalDriver driver;
    connectOverWifi(window, driver);
    if (QTest::currentTestFailed())
        return;

    QTRY_VERIFY_WITH_TIMEOUT(completeFrames() >= 2 * kPictures, kOutcomeMs);
    verifyFrames(0, 2 * kPictures, {});
    if (QTest::currentTestFailed())
        return;

    disconnect(window);
    // The frame being received when "&Disconnect" came is still written, and written whole.
    const qint64 written = QFileInfo(m_camera).size();
    QCOMPARE(written % yuyvFrameBytes(kWidth, kHeight), 0);
    verifyFrames(0, completeFrames(), {});
    QVERIFY(driver.unexpected().isEmpty());

    // Nothing more arrives once "Disconnected" is shown.
    QTest::qWait(200);
    QCOMPARE(QFileInfo(m_camera).size(), written);
    QVERIFY(window.showsDisconnected());
}

void TestConnectionWorkflow::flipsAndRotationTurnTheFollowingFrames()
{
    SimulatorProcess simulator(simulatorArguments({}));
    QVERIFY2(simulator.start(), qPrintable(simulator.errorString()));
    WindowUnderTest window(simulator);
    ModalDriver driver;
    connectOverWifi(window, driver);
    if (QTest::currentTestFailed())
        return;
    QTRY_VERIFY_WITH_TIMEOUT(completeFrames() >= 2, kOutcomeMs);
    verifyFrames(0, 2, {});

    struct Step
    {
        const char *action;
        Transform after;
    };
    const Step steps[] = {
        {"Flip horizontally", {true, false, 0}},
        {"Flip vertically", {true, true, 0}},
        {"90 degrees", {true, true, 1}},
        {"Flip horizontally", {false, true, 1}},
        {"180 degress", {false, true, 2}},
    };
    Transform before;
    for (const Step &step : steps) {
        window.action(QString::fromLatin1(step.action))->trigger();
        QCOMPARE(window.action(QStringLiteral("Flip horizontally"))->isChecked(), step.after.hflip);
        QCOMPARE(window.action(QStringLiteral("Flip vertically"))->isChecked(), step.after.vflip);
        // The frame being turned at this moment may still be turned the old way; the next one may not.
        const int next = completeFrames() + 1;
        QTRY_VERIFY_WITH_TIMEOUT(completeFrames() >= next + 2, kOutcomeMs);
        verifyFrames(next, next + 2, step.after);
        if (QTest::currentTestFailed())
            return;
        QVERIFY2(differenceFrom(cameraFrame(next), next, before) > 10.0,
                 qPrintable(QStringLiteral("%1 changes nothing visible").arg(QLatin1String(step.action))));
        // The preview shows the frames as they went to the camera, turned.
        QTRY_VERIFY_WITH_TIMEOUT(previewDifference(window, step.after) < 1.0, kOutcomeMs);
        before = step.after;
    }

    // Without the preview the picture goes, and stays gone; the choice is stored.
    window.action(QStringLiteral("Show preview"))->trigger();
    QCOMPARE(settingsStore().value(QStringLiteral("showPreview")), QVariant(false));
    auto *preview = window.get()->findChild<PreviewWidget *>();
    QVERIFY(!preview->hasPicture());
    QTest::qWait(300);
    QVERIFY(!preview->hasPicture());
    disconnect(window);
    QCOMPARE(preview->hint(), QStringLiteral("Connection > Connect... to start"));
    QCOMPARE(QFileInfo(m_camera).size() % yuyvFrameBytes(kWidth, kHeight), 0);
    QVERIFY(driver.unexpected().isEmpty());
}

void TestConnectionWorkflow::silentPhoneEndsInTheAbortQuestion_data()
{
    QTest::addColumn<bool>("tryAgain");
    QTest::newRow("No: stays disconnected") << false;
    QTest::newRow("Yes: the transport dialog again, as last chosen") << true;
}

void TestConnectionWorkflow::silentPhoneEndsInTheAbortQuestion()
{
    QFETCH(bool, tryAgain);
    constexpr int sent = 3;
    // The phone stops sending but keeps the connection open: only the read time-out notices.
    SimulatorProcess simulator(simulatorArguments({QStringLiteral("--silent-after"), QString::number(sent)}));
    QVERIFY2(simulator.start(), qPrintable(simulator.errorString()));
    WindowUnderTest window(simulator);
    ModalDriver driver;
    driver.rejectUnexpected("TransportDialog");
    connectOverWifi(window, driver);
    if (QTest::currentTestFailed())
        return;
    QTRY_COMPARE_WITH_TIMEOUT(completeFrames(), sent, kOutcomeMs);
    QElapsedTimer silence;
    silence.start();

    driver.expectButton("QMessageBox", tryAgain ? QMessageBox::Yes : QMessageBox::No);
    bool presetToWifi = false;
    if (tryAgain) {
        driver.expect("TransportDialog", [&presetToWifi](QDialog *dialog) {
            for (QRadioButton *radio : dialog->findChildren<QRadioButton *>())
                presetToWifi = presetToWifi || (radio->text() == kWifi && radio->isChecked());
            const QList<QLineEdit *> edits = dialog->findChildren<QLineEdit *>();
            presetToWifi = presetToWifi && edits.size() == 1 && edits.first()->text() == kLocalHost;
            ModalDriver::clickButton(dialog, QMessageBox::Ok);
        });
    }
    QVERIFY(driver.waitUntilAnswered(kOutcomeMs));
    QVERIFY2(silence.elapsed() > 4000, qPrintable(QStringLiteral("aborted after %1 ms").arg(silence.elapsed())));
    const ModalDriver::Seen &question = driver.seen().at(1);
    QCOMPARE(question.text, QStringLiteral("Aborted. Try to connect?"));
    QCOMPARE(question.title, QStringLiteral("Lumo Webcam Client"));
    QCOMPARE(question.buttons, QMessageBox::Yes | QMessageBox::No);
    QVERIFY(driver.unexpected().isEmpty());

    if (!tryAgain) {
        QVERIFY(window.showsDisconnected());
        QCOMPARE(QFileInfo(m_camera).size(), qint64(sent) * yuyvFrameBytes(kWidth, kHeight));
        verifyFrames(0, sent, {});
        return;
    }
    QVERIFY(presetToWifi);
    QTRY_VERIFY_WITH_TIMEOUT(window.showsConnected(), kOutcomeMs);
    // The new connection's camera starts from its first frame again.
    QTRY_COMPARE_WITH_TIMEOUT(completeFrames(), sent, kOutcomeMs);
    verifyFrames(0, sent, {});
    // Destroying the window ends the silent connection without waiting out the read time-out.
}

void TestConnectionWorkflow::failedHandshakeShowsItsError_data()
{
    QTest::addColumn<QStringList>("simulator");
    QTest::addColumn<QString>("message");
    QTest::newRow("server 2.20 is newer than the client")
        << QStringList{QStringLiteral("--version"), QStringLiteral("2.20")}
        << ConnectionError::message(ConnectionError::VersionMismatch, 2, 20);
    QTest::newRow("phone refuses the camera")
        << QStringList{QStringLiteral("--status"), QStringLiteral("0")}
        << ConnectionError::message(ConnectionError::ResolutionFailed, 0, 0);
}

void TestConnectionWorkflow::failedHandshakeShowsItsError()
{
    QFETCH(QStringList, simulator);
    QFETCH(QString, message);
    SimulatorProcess phone(simulatorArguments(simulator));
    QVERIFY2(phone.start(), qPrintable(phone.errorString()));
    WindowUnderTest window(phone);
    ModalDriver driver;
    connectOverWifi(window, driver, false);
    if (QTest::currentTestFailed())
        return;
    driver.expectButton("QMessageBox", QMessageBox::Ok);
    QVERIFY(driver.waitUntilAnswered(kOutcomeMs));

    const ModalDriver::Seen &box = driver.seen().at(1);
    QCOMPARE(box.text, QStringLiteral("Error:\n") + message);
    QCOMPARE(box.icon, QMessageBox::Warning);
    QCOMPARE(box.title, QStringLiteral("Lumo Webcam Client"));
    QCOMPARE(box.buttons, QMessageBox::Ok);
    QVERIFY(window.showsDisconnected());
    QVERIFY(!QFile::exists(m_camera));
    QVERIFY(driver.unexpected().isEmpty());
}

void TestConnectionWorkflow::manyConnectDisconnectCycles()
{
    // Small frames as fast as the window takes them: each cycle streams a little and then ends.
    SimulatorProcess simulator({QStringLiteral("--size"), QStringLiteral("64x48"), QStringLiteral("--fps"),
                                QStringLiteral("0")});
    QVERIFY2(simulator.start(), qPrintable(simulator.errorString()));
    WindowUnderTest window(simulator);
    ModalDriver driver;
    constexpr int cycles = 50;
    for (int cycle = 0; cycle < cycles; ++cycle) {
        // A camera file per cycle; no connection runs now, so nothing reads the variable meanwhile.
        const QString camera = m_dir.filePath(QStringLiteral("cycle-%1.yuyv").arg(cycle));
        qputenv("LUMO_VIRTUAL_CAMERA", camera.toLocal8Bit());
        connectOverWifi(window, driver);
        if (QTest::currentTestFailed())
            return;
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(camera).size() >= yuyvFrameBytes(64, 48), kOutcomeMs);
        disconnect(window);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(QFileInfo(camera).size() % yuyvFrameBytes(64, 48), 0);
    }
    QCOMPARE(driver.seen().size(), cycles);
    QVERIFY(driver.unexpected().isEmpty());
}

void TestConnectionWorkflow::exitWhileConnectedIsPromptAndKeepsTheChoices()
{
    // Silent after two frames: the capture thread sits in a read that would last five seconds.
    SimulatorProcess simulator(simulatorArguments({QStringLiteral("--silent-after"), QStringLiteral("2")}));
    QVERIFY2(simulator.start(), qPrintable(simulator.errorString()));
    const QPoint pos(150, 90);
    const QSize size(400, 300);
    WindowUnderTest window(simulator);
    window.get()->resize(size);
    window.get()->move(pos);
    window.action(QStringLiteral("Flip horizontally"))->trigger();
    window.action(QStringLiteral("Flip vertically"))->trigger();
    window.action(QStringLiteral("270 degrees"))->trigger();
    ModalDriver driver;
    driver.rejectUnexpected("TransportDialog");
    connectOverWifi(window, driver);
    if (QTest::currentTestFailed())
        return;
    QTRY_COMPARE_WITH_TIMEOUT(completeFrames(), 2, kOutcomeMs);
    verifyFrames(0, 2, {true, true, 3});
    QCOMPARE(window.get()->pos(), pos);
    QCOMPARE(window.get()->size(), size);

    driver.expectButton("QMessageBox", QMessageBox::Yes);
    QVERIFY(window.get()->close());
    QCOMPARE(driver.pending(), 0);
    const ModalDriver::Seen &question = driver.seen().at(1);
    QCOMPARE(question.text, QStringLiteral("Still connected. Exit anyway?"));
    QCOMPARE(question.buttons, QMessageBox::Yes | QMessageBox::Cancel);

    QElapsedTimer destruction;
    destruction.start();
    window.destroy();
    QVERIFY2(destruction.elapsed() < 1500, qPrintable(QStringLiteral("took %1 ms").arg(destruction.elapsed())));

    // The capture thread's last report went with the window: no box, no widget, nothing written.
    const qint64 written = QFileInfo(m_camera).size();
    QTest::qWait(500);
    QCOMPARE(driver.seen().size(), 2);
    QVERIFY(QApplication::topLevelWidgets().isEmpty());
    QCOMPARE(QFileInfo(m_camera).size(), written);

    const QSettings store = settingsStore();
    QCOMPARE(store.value(QStringLiteral("pos")).toPoint(), pos);
    QCOMPARE(store.value(QStringLiteral("size")).toSize(), size);
    QCOMPARE(store.value(QStringLiteral("hflip")).toBool(), true);
    QCOMPARE(store.value(QStringLiteral("vflip")).toBool(), true);
    QCOMPARE(store.value(QStringLiteral("rotation")).toInt(), 3);
    QCOMPARE(store.value(QStringLiteral("transportType")).toInt(), 3);
    QCOMPARE(store.value(QStringLiteral("wifiServerAddr")).toString(), kLocalHost);
}

QTEST_MAIN(TestConnectionWorkflow)
#include "tst_connectionworkflow.moc"
