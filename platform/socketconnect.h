#pragma once

#include <sys/socket.h>

// Connects a non-blocking socket and waits until the connect has finished, timeoutMs have passed
// (timeoutMs < 0: no limit) or cancelFd (when not -1) polls readable. Returns 0 when connected,
// otherwise the error: the socket's own, ETIMEDOUT, ECANCELED, or that of a failed call. A link that
// hangs up without leaving an error behind counts as ECONNRESET.
int connectSocket(int fd, const sockaddr *address, socklen_t length, int timeoutMs, int cancelFd = -1);
