#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

// The "please wait" window that covers the main window while a connection is set up or taken down:
// one line of text, no title bar. It is modal but shown with show(), not exec(), so the main window
// goes on receiving the capture thread's reports, and one of them hides it with done(0).
//
// While it is cancellable (connecting) it has a Cancel button; Cancel and Escape hide it and emit
// cancelRequested(). Otherwise it has no button and Escape only hides it.
class ProgressDialog : public QDialog
{
    Q_OBJECT

public:
    explicit ProgressDialog(QWidget *parent);

    // Sets the text only: no resize, no show. The text stays while the dialog is hidden.
    void setText(const QString &text);
    void setCancellable(bool on);

    void reject() override;

signals:
    void cancelRequested();

private:
    QLabel *m_label;
    QPushButton *m_cancel;
    bool m_cancellable = false;
};
