#pragma once

class StreamInterrupt;

// Waiting for one descriptor (socket or tty) to become readable or writable, while also watching a
// StreamInterrupt, so that every blocking step of a stream can be ended from another thread.
enum class WaitResult { Ready, TimedOut, Interrupted, Failed };
enum class WaitFor { Readable, Writable };

// timeoutMs < 0 waits without a limit. Errors and hang-ups of the descriptor count as Ready: the
// following read or write tells what happened. An interrupted system call is waited out to the
// original deadline.
WaitResult waitForDescriptor(int fd, WaitFor what, int timeoutMs, const StreamInterrupt *interrupt);
