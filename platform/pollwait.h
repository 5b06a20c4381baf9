#pragma once

#include <poll.h>

// poll() until one of the descriptors is ready or timeoutMs have passed (timeoutMs < 0: no limit). A
// signal does not end the wait early: the poll goes on to the original deadline. Returns what poll()
// returned last: the number of ready descriptors, 0 on time-out, -1 with errno on failure.
int pollUntil(pollfd *fds, nfds_t count, int timeoutMs);
