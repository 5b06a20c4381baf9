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

namespace {

bool isHexDigit(QChar c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

} // namespace

bool parseBtAddress(const QString &text, unsigned char (&address)[6])
{
    const QStringList pairs = text.split(QLatin1Char(':'));
    if (pairs.size() != 6)
        return false;
    unsigned char bytes[6];
    for (int i = 0; i < 6; ++i) {
        // Two hex digits and nothing else: QString::toUInt() would also take " f", "+f" or "-0".
        const QString &pair = pairs[i];
        if (pair.size() != 2 || !isHexDigit(pair[0]) || !isHexDigit(pair[1]))
            return false;
        bytes[5 - i] = static_cast<unsigned char>(pair.toUInt(nullptr, 16));
    }
    std::copy(std::begin(bytes), std::end(bytes), std::begin(address));
    return true;
}
