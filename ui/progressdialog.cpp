#include "progressdialog.h"

#include <QLabel>
#include <QVBoxLayout>

ProgressDialog::ProgressDialog(QWidget *parent)
    : QDialog(parent, Qt::CustomizeWindowHint)
    , m_label(new QLabel(QString()))
{
    auto *layout = new QVBoxLayout;
    layout->addWidget(m_label);
    setLayout(layout);
    setModal(true);
}

void ProgressDialog::setText(const QString &text)
{
    m_label->setText(text);
}
