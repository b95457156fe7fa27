#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

// An auto-reset event: Set() lets exactly one wait through (or the next one, if nobody
// waits yet), after which the event is unsignalled again. Close() wakes every waiter with
// Closed and makes every later wait fail at once; a closed event can no longer be set.
class AutoResetEvent {
public:
    enum class WaitResult { Signalled, TimedOut, Closed };

    AutoResetEvent() = default;
    AutoResetEvent(const AutoResetEvent&) = delete;
    AutoResetEvent& operator=(const AutoResetEvent&) = delete;

    void Set();
    void Close();
    bool IsClosed() const;

    // Waits without a time limit.
    WaitResult Wait();
    WaitResult WaitFor(std::chrono::milliseconds timeout);

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_signalled = false;
    bool m_closed = false;
};
