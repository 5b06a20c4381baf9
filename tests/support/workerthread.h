#pragma once

#include <QThread>

#include <atomic>
#include <functional>
#include <memory>

// Runs a function on a QThread of its own. join() waits for it and then hands everything the
// function wrote to the waiting thread through an atomic flag: QThread::wait synchronises inside
// Qt, where ThreadSanitizer cannot see it, so without the flag every result would look raced.
class WorkerThread
{
public:
    explicit WorkerThread(std::function<void()> work)
        : m_thread(QThread::create([this, work = std::move(work)] {
              work();
              m_done.store(true, std::memory_order_release);
          }))
    {
        m_thread->start();
    }
    WorkerThread(const WorkerThread &) = delete;
    WorkerThread &operator=(const WorkerThread &) = delete;
    ~WorkerThread() { m_thread->wait(); }

    // True when the function has returned within timeoutMs.
    bool join(int timeoutMs) { return m_thread->wait(timeoutMs) && m_done.load(std::memory_order_acquire); }

private:
    std::atomic<bool> m_done{false};
    std::unique_ptr<QThread> m_thread;
};
