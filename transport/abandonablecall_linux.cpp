#include "abandonablecall.h"

#include "descriptorwait.h"
#include "streaminterrupt.h"

#include <cstdint>
#include <mutex>
#include <sys/eventfd.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

// What the caller and the worker share; the last of the two to let go frees it, the descriptor with it.
struct Shared
{
    Shared(std::function<void()> call, std::function<void()> discard)
        : call(std::move(call)), discard(std::move(discard))
    {
    }
    ~Shared()
    {
        if (done >= 0)
            ::close(done);
    }
    Shared(const Shared &) = delete;
    Shared &operator=(const Shared &) = delete;

    const std::function<void()> call;
    const std::function<void()> discard;
    // Polls readable once the call has ended and nobody abandoned it.
    const int done = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);

    std::mutex mutex;
    bool finished = false;  // the call has ended: its results belong to the caller
    bool abandoned = false; // the caller has gone: the results go to discard
};

void work(const std::shared_ptr<Shared> &shared)
{
    shared->call();
    bool abandoned;
    {
        const std::lock_guard lock(shared->mutex);
        abandoned = shared->abandoned;
        shared->finished = !abandoned;
    }
    if (abandoned) {
        if (shared->discard)
            shared->discard();
        return;
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(shared->done, &one, sizeof one);
}

// False when there is no descriptor or no thread to spare.
bool startWorker(const std::shared_ptr<Shared> &shared)
{
    if (shared->done < 0)
        return false;
    try {
        std::thread(work, shared).detach();
        return true;
    } catch (const std::system_error &) {
        return false;
    }
}

} // namespace

bool runAbandonably(std::function<void()> call, std::function<void()> discard, const StreamInterrupt *interrupt)
{
    if (!interrupt) {
        call();
        return true;
    }
    if (interrupt->isTriggered())
        return false;
    const auto shared = std::make_shared<Shared>(std::move(call), std::move(discard));
    if (!startWorker(shared)) {
        // The call runs here, as it would without an interrupt.
        shared->call();
        return true;
    }

    // Ready or not (interrupted, or a wait that failed), the flags decide under the lock: a call that
    // ended just as the interrupt came is still the caller's.
    waitForDescriptor(shared->done, WaitFor::Readable, -1, interrupt);
    const std::lock_guard lock(shared->mutex);
    if (shared->finished)
        return true;
    shared->abandoned = true;
    return false;
}
