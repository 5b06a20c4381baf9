#include "btdeviceinfo.h"

#include <QStringList>

#include <algorithm>
#include <iterator>

QString btDeviceAddress(const BtDeviceInfo &device)
{
    QString text;
    text.reserve(17);
    for (int i = 5; i >= 0; --i) {
        text += QStringLiteral("%1").arg(device.address[i], 2, 16, QLatin1Char('0'));
        if (i > 0)
            text += QLatin1Char(':');
    }
    return text;
}

QString btDeviceLabel(const BtDeviceInfo &device)
{
    qsizetype length = 0;
    while (length < qsizetype(std::size(device.name)) && device.name[length] != 0)
        ++length;
    return QString::fromUtf16(device.name, length) + QLatin1Char('(') + btDeviceAddress(device) + QLatin1Char(')');
}

bool parseBtAddress(const QString &text, unsigned char (&address)[6])
{
    const QStringList pairs = text.split(QLatin1Char(':'));
    if (pairs.size() != 6)
        return false;
    unsigned char bytes[6];
    for (int i = 0; i < 6; ++i) {
        bool ok = false;
        const QString &pair = pairs[i];
        const uint value = pair.toUInt(&ok, 16);
        if (!ok || pair.size() != 2 || value > 0xff)
            return false;
        bytes[5 - i] = static_cast<unsigned char>(value);
    }
    std::copy(std::begin(bytes), std::end(bytes), std::begin(address));
    return true;
}
