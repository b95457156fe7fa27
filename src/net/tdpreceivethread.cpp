#include "net/tdpreceivethread.h"

#include "net/logging.h"
#include "net/tdplayer.h"
#include "platform/autoresetevent.h"

#include <QtDebug>

#include <exception>
#include <utility>

TDPReceiveThread::TDPReceiveThread(TDPlayer* endpoint, std::shared_ptr<AutoResetEvent> event)
    : Endpoint(endpoint), m_event(std::move(event))
{
    // Queued rather than blocking-queued so that an endpoint destroyed on the main thread
    // can wake the receive thread's wait instead of deadlocking against it. A call still
    // queued when the endpoint dies is discarded with it.
    connect(
        this, &TDPReceiveThread::BatchReady, endpoint, [this] { DeliverHandedBatch(); }, Qt::QueuedConnection);
    m_thread = std::thread([this] { Run(); });
}

TDPReceiveThread::~TDPReceiveThread()
{
    Stop();
    Join();
}

void TDPReceiveThread::Join()
{
    if (m_thread.joinable())
        m_thread.join();
}

void TDPReceiveThread::Attach(std::shared_ptr<IDirectPlay4A> directPlay)
{
    std::lock_guard lock(m_mutex);
    m_directPlay = std::move(directPlay);
}

void TDPReceiveThread::Stop()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_cond.notify_all();
    m_event->Close();
}

bool TDPReceiveThread::Stopping()
{
    std::lock_guard lock(m_mutex);
    return m_stopping;
}

void TDPReceiveThread::Run()
{
    try {
        while (!Stopping()) {
            if (m_event->Wait() != AutoResetEvent::WaitResult::Signalled)
                break; // closed: the endpoint is going away
            std::shared_ptr<IDirectPlay4A> directPlay;
            {
                std::lock_guard lock(m_mutex);
                directPlay = m_directPlay;
            }
            if (!directPlay)
                continue;
            // Batch after batch until nothing waits; then the next signal.
            while (!Stopping() && Drain(*directPlay)) {
                if (!m_batch.messages.empty() && !HandOver())
                    return;
            }
        }
    } catch (const std::exception& error) {
        // Most likely no memory for a message's block; the endpoint delivers nothing more.
        qCWarning(lcNet, "Receive thread stopped: %s", error.what());
    } catch (...) {
        qCWarning(lcNet, "Receive thread stopped by an unknown exception");
    }
}

bool TDPReceiveThread::Drain(IDirectPlay4A& directPlay)
{
    if (FAILED(directPlay.ReceiveBatch(m_batch, kMaxBatchMessages, kMaxBatchBytes))) {
        m_batch.messages.clear(); // the queue is empty, or the service failed
        return false;
    }
    // Too short to be any message: taken and dropped.
    std::erase_if(m_batch.messages, [](const ReceivedMessages::Message& m) { return m.size < 4; });
    return true;
}

bool TDPReceiveThread::HandOver()
{
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping)
            return false;
        m_delivered = false;
    }
    // The signal carries nothing: the batch stays in m_batch, which the main thread reads
    // only after taking m_mutex, and this thread touches again only once it is delivered.
    emit BatchReady();
    std::unique_lock lock(m_mutex);
    m_cond.wait(lock, [this] { return m_delivered || m_stopping; });
    return !m_stopping;
}

void TDPReceiveThread::DeliverHandedBatch()
{
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping)
            return;
    }
    if (Endpoint->DeliverBatch(m_batch))
        MarkDelivered(); // otherwise a handler destroyed the endpoint and this object
}

void TDPReceiveThread::MarkDelivered()
{
    {
        std::lock_guard lock(m_mutex);
        m_delivered = true;
    }
    m_cond.notify_all();
}
