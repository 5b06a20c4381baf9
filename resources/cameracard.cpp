#include "cameracard.h"

#include <QImage>
#include <QPainter>

#include <cstring>

StillPicture cameraCard()
{
    QImage card(960, 720, QImage::Format_BGR888);
    card.fill(Qt::black);
    const QImage icon(QStringLiteral(":/icons/lumo-webcam.png"));
    const QImage words(QStringLiteral(":/images/waiting.png"));
    QPainter painter(&card);
    painter.drawImage(QPoint((card.width() - icon.width()) / 2, 170), icon);
    painter.drawImage(QPoint((card.width() - words.width()) / 2, 470), words);
    painter.end();

    StillPicture still{{}, card.width(), card.height()};
    const std::size_t rowBytes = static_cast<std::size_t>(card.width()) * 3;
    still.bgr.resize(rowBytes * card.height());
    for (int y = 0; y < card.height(); ++y)
        std::memcpy(still.bgr.data() + rowBytes * y, card.constScanLine(y), rowBytes);
    return still;
}
