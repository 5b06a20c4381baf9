#pragma once

// Widgets headers by module path: this library is built without Qt6::Widgets of its own, and only
// tests that link the widgets (through lumo_ui) use this file.
#include <QByteArray>
#include <QList>
#include <QString>
#include <QTimer>
#include <QMessageBox>

#include <functional>

class QDialog;

// Answers the modal dialogs and message boxes that the code under test opens with exec() (or through
// QMessageBox's static functions), from inside their own event loops. Arm it BEFORE the call that
// opens them:
//
//   ModalDriver driver;
//   driver.expectButton("QMessageBox", QMessageBox::Yes);
//   driver.expectChoice("TransportDialog", "WiFi", "127.0.0.1");   // check, fill in, OK
//   window.close();                                                // question → Yes → ...
//   QVERIFY(driver.waitUntilAnswered());
//   QCOMPARE(driver.seen().at(0).text, "Still connected. Exit anyway?");
//
// Every few milliseconds it looks at QApplication::activeModalWidget(). The expectations are taken in
// order: when the active modal dialog inherits the class named by the first one, its handler gets the
// dialog and must end it (click a button, accept(), reject()). A modal dialog that does not match is
// left alone (a "please wait" dialog shown modal with show() is not waiting for an answer), unless it
// is a QMessageBox or of a class given to rejectUnexpected(): then it is recorded as unexpected and
// closed (a message box with its escape button when it has one), so a wrong turn fails the test
// instead of hanging it. GUI thread only.
class ModalDriver
{
public:
    // What one answered or closed modal dialog showed at the moment it was found.
    struct Seen
    {
        QByteArray className;                // the most derived class, e.g. "QMessageBox"
        QString title;                       // the window title
        QString text;                        // a message box's text; empty for other dialogs
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QMessageBox::StandardButtons buttons; // a message box's standard buttons
        bool expected = true;                // false: closed by the unexpected rule
    };

    using Handler = std::function<void(QDialog *dialog)>;

    ModalDriver();
    ~ModalDriver();
    ModalDriver(const ModalDriver &) = delete;
    ModalDriver &operator=(const ModalDriver &) = delete;

    // The next modal dialog that inherits className goes to handler, which must end it.
    void expect(const char *className, Handler handler);
    // Clicks the dialog's standard button (a message box's, or one in a QDialogButtonBox).
    void expectButton(const char *className, QMessageBox::StandardButton button);
    // Checks the radio button whose text is radioText; when value is not null, puts it into the field
    // beside that button in its grid row (a line edit's text, or the combo box entry with that text);
    // then clicks OK.
    void expectChoice(const char *className, const QString &radioText, const QString &value = QString());

    // Modal dialogs of this class that arrive with no expectation for them are recorded and rejected.
    void rejectUnexpected(const char *className);

    // Processes events until every expectation has been answered; false after timeoutMs.
    bool waitUntilAnswered(int timeoutMs = 10000);
    int pending() const { return static_cast<int>(m_expectations.size()); }

    // Everything answered or closed so far, in order; unexpected() only those closed unasked.
    const QList<Seen> &seen() const { return m_seen; }
    QList<Seen> unexpected() const;

    // For handlers: click a standard button of a message box or of the dialog's button box; check a
    // radio button by its text and fill in the field beside it. False when there is no such widget.
    static bool clickButton(QDialog *dialog, QMessageBox::StandardButton button);
    static bool choose(QDialog *dialog, const QString &radioText, const QString &value = QString());

private:
    struct Expectation
    {
        QByteArray className;
        Handler handler;
    };

    void poll();
    static Seen describe(QDialog *dialog);

    QTimer m_timer;
    QList<Expectation> m_expectations;
    QList<QByteArray> m_rejected;
    QList<Seen> m_seen;
    bool m_handling = false;
};
