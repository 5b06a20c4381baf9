#include "previewwidget.h"

#include <QPainter>

PreviewWidget::PreviewWidget(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("preview"));
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Dark);
    setMinimumSize(160, 90);
}

void PreviewWidget::setPicture(const QImage &picture)
{
    m_picture = picture;
    update();
}

void PreviewWidget::clearPicture()
{
    m_picture = QImage();
    update();
}

void PreviewWidget::setHint(const QString &hint)
{
    m_hint = hint;
    update();
}

void PreviewWidget::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    if (m_picture.isNull()) {
        painter.setPen(palette().color(QPalette::BrightText));
        painter.drawText(rect().adjusted(8, 8, -8, -8), Qt::AlignCenter | Qt::TextWordWrap, m_hint);
        return;
    }
    const QSize fitted = m_picture.size().scaled(size(), Qt::KeepAspectRatio);
    const QRect target(QPoint((width() - fitted.width()) / 2, (height() - fitted.height()) / 2), fitted);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(target, m_picture);
}
