#pragma once

#include <QDialog>

class QLabel;

// The "please wait" window that covers the main window while a connection is set up or taken down:
// one line of text, no title bar, no buttons. It is modal but shown with show(), not exec(), so the
// main window goes on receiving the capture thread's reports, and one of them hides it with done(0).
// Escape hides it too; nothing listens to that, and the next done(0) is harmless.
class ProgressDialog : public QDialog
{
    Q_OBJECT

public:
    explicit ProgressDialog(QWidget *parent);

    // Sets the text only: no resize, no show. The text stays while the dialog is hidden.
    void setText(const QString &text);

private:
    QLabel *m_label;
};
