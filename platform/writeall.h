#pragma once

#include <cstddef>

// Writes size bytes to fd, going on after partial writes and interrupted calls. False, with errno
// set, when a write failed or wrote nothing.
bool writeAll(int fd, const void *data, std::size_t size);
