#include "platform/autoresetevent.h"

void AutoResetEvent::Set()
{
    {
        std::lock_guard lock(m_mutex);
        if (m_closed || m_signalled)
            return;
        m_signalled = true;
    }
    m_cond.notify_one();
}

void AutoResetEvent::Close()
{
    {
        std::lock_guard lock(m_mutex);
        m_closed = true;
        m_signalled = false;
    }
    m_cond.notify_all();
}

bool AutoResetEvent::IsClosed() const
{
    std::lock_guard lock(m_mutex);
    return m_closed;
}

AutoResetEvent::WaitResult AutoResetEvent::Wait()
{
    std::unique_lock lock(m_mutex);
    m_cond.wait(lock, [this] { return m_signalled || m_closed; });
    if (m_closed)
        return WaitResult::Closed;
    m_signalled = false;
    return WaitResult::Signalled;
}

AutoResetEvent::WaitResult AutoResetEvent::WaitFor(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(m_mutex);
    if (!m_cond.wait_for(lock, timeout, [this] { return m_signalled || m_closed; }))
        return WaitResult::TimedOut;
    if (m_closed)
        return WaitResult::Closed;
    m_signalled = false;
    return WaitResult::Signalled;
}
