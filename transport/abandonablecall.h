#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <utility>

class StreamInterrupt;

// The one way to wait for a blocking call that cannot watch a StreamInterrupt itself (a host-name
// lookup, a library's connect) without letting it hold up the end of the program.
//
// The call runs on a thread of its own while the caller waits for it and for the interrupt. When the
// call ends first, its result is returned. When the interrupt comes first, the caller gets nothing at
// once, and the call runs on to its end alone; discard then gets its result on that thread, to release
// whatever the call produced. Both functions must therefore own what they use (copies, not pointers
// into the caller). Without an interrupt the call simply runs on the calling thread; with one already
// triggered it does not start at all.
bool runAbandonably(std::function<void()> call, std::function<void()> discard, const StreamInterrupt *interrupt);

template <typename T>
std::optional<T> runAbandonably(std::function<T()> call, std::function<void(T &)> discard,
                                const StreamInterrupt *interrupt)
{
    // Shared with the worker, which may outlive this frame.
    const auto result = std::make_shared<std::optional<T>>();
    const bool finished = runAbandonably([result, call = std::move(call)] { result->emplace(call()); },
                                         [result, discard = std::move(discard)] {
                                             if (discard && *result)
                                                 discard(**result);
                                         },
                                         interrupt);
    if (!finished)
        return std::nullopt;
    return std::move(*result);
}
