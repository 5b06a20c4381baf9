#include "serveraddress.h"

#include <QCoreApplication>

std::optional<ServerAddress> ServerAddress::parse(const QString &text, int defaultPort, QString *error)
{
    const auto fail = [error](const char *why) -> std::optional<ServerAddress> {
        if (error)
            *error = QCoreApplication::translate("ServerAddress", why);
        return std::nullopt;
    };
    const QString trimmed = text.trimmed();
    // One colon only: an IPv6 address, which the TCP stream does not reach anyway, is left whole.
    // An empty host is left for the connect to fail on, as any other host that does not resolve.
    if (trimmed.count(QLatin1Char(':')) != 1)
        return ServerAddress{trimmed, defaultPort};
    const qsizetype colon = trimmed.indexOf(QLatin1Char(':'));
    const QString host = trimmed.left(colon);
    bool ok = false;
    const int port = trimmed.mid(colon + 1).toInt(&ok);
    if (host.isEmpty())
        return fail("The address has no host before the port.");
    if (!ok || port < 1 || port > 65535)
        return fail("The port after the colon must be a number from 1 to 65535.");
    return ServerAddress{host, port};
}
