#pragma once

#include <QString>

#include <cerrno>
#include <cstring>

// "what: reason" for the system call that just failed, from errno, as the simulator's error strings
// put it.
inline QString systemError(const char *what)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno)));
}
