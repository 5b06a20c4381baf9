#pragma once

#include <QString>

#include <optional>

// The camera server's address as a user writes it: "HOST" (the default port) or "HOST:PORT".
struct ServerAddress
{
    QString host;
    int port = 0;

    // The address in text (blanks around it dropped), or nothing when a port is written that is not a
    // number from 1 to 65535, or without a host before it; error then says why, in words for the user.
    static std::optional<ServerAddress> parse(const QString &text, int defaultPort, QString *error = nullptr);
};
