#include "progressdialog.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

ProgressDialog::ProgressDialog(QWidget *parent)
    : QDialog(parent, Qt::CustomizeWindowHint)
    , m_label(new QLabel(QString()))
    , m_cancel(new QPushButton(tr("Cancel")))
{
    auto *layout = new QVBoxLayout;
    layout->addWidget(m_label);
    layout->addWidget(m_cancel, 0, Qt::AlignCenter);
    m_cancel->setVisible(false);
    m_cancel->setAutoDefault(false);
    connect(m_cancel, &QPushButton::clicked, this, &ProgressDialog::reject);
    setLayout(layout);
    setModal(true);
}

void ProgressDialog::setText(const QString &text)
{
    m_label->setText(text);
}

void ProgressDialog::setCancellable(bool on)
{
    m_cancellable = on;
    m_cancel->setVisible(on);
}

void ProgressDialog::reject()
{
    QDialog::reject();
    if (m_cancellable)
        emit cancelRequested();
}
