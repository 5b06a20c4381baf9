#pragma once

#include <QImage>
#include <QWidget>

// The window's central area: the newest preview picture, scaled to fit with its aspect kept, or, with
// no picture, a one-line hint in the middle.
class PreviewWidget : public QWidget
{
    Q_OBJECT

public:
    explicit PreviewWidget(QWidget *parent = nullptr);

    // Shows the picture; the hint stays for when the picture is cleared.
    void setPicture(const QImage &picture);
    void clearPicture();
    bool hasPicture() const { return !m_picture.isNull(); }
    QImage picture() const { return m_picture; }

    void setHint(const QString &hint);
    QString hint() const { return m_hint; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QImage m_picture;
    QString m_hint;
};
