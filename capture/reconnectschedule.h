#pragma once

#include <algorithm>
#include <array>

// How long to wait before each attempt to reconnect after a connection broke off: 1, 2, 4, 8, 15,
// then 30 seconds for every attempt after (attempt counts from 1). unitMs is one second except in tests.
inline int reconnectDelayMs(int attempt, int unitMs = 1000)
{
    constexpr std::array<int, 6> seconds{1, 2, 4, 8, 15, 30};
    const int index = std::clamp(attempt, 1, static_cast<int>(seconds.size())) - 1;
    return seconds[static_cast<std::size_t>(index)] * unitMs;
}
