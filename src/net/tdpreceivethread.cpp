#include "net/tdpreceivethread.h"

#include "net/logging.h"
#include "net/tdplayer.h"
#include "platform/autoresetevent.h"

#include <QtDebug>

#include <exception>
#include <utility>

TDPReceiveThread::TDPReceiveThread(TDPlayer* endpoint, std::shared_ptr<AutoResetEvent> event)
    : Endpoint(endpoint), m_event(std::move(event)) {
    // Queued rather than blocking-queued so that an endpoint destroyed on the main thread
    // can wake the receive thread's wait instead of deadlocking against it. A call still
    // queued when the endpoint dies is discarded with it.
    connect(this, &TDPReceiveThread::BatchReady, endpoint, [this] { DeliverHandedBatch(); },
            Qt::QueuedConnection);
    m_thread = std::thread([this] { Run(); });
}

TDPReceiveThread::~TDPReceiveThread() {
    Stop();
    Join();
}

void TDPReceiveThread::Join() {
    if (m_thread.joinable())
        m_thread.join();
}

void TDPReceiveThread::Attach(std::shared_ptr<IDirectPlay4A> directPlay) {
    std::lock_guard lock(m_mutex);
    m_directPlay = std::move(directPlay);
}

void TDPReceiveThread::Stop() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_cond.notify_all();
    m_event->Close();
}

bool TDPReceiveThread::Stopping() {
    std::lock_guard lock(m_mutex);
    return m_stopping;
}

void TDPReceiveThread::Run() {
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
            bool more = true;
            while (more && !Stopping()) {
                more = Drain(*directPlay);
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

bool TDPReceiveThread::Drain(IDirectPlay4A& directPlay) {
    m_batch.bytes.clear();
    m_batch.messages.clear();
    while (m_batch.messages.size() < kMaxBatchMessages && m_batch.bytes.size() < kMaxBatchBytes) {
        DPID fromId = 0;
        DPID toId = 0;
        DWORD size = m_room;
        HRESULT hr = directPlay.Receive(&fromId, &toId, DPRECEIVE_ALL, m_block.get(), &size);
        while (hr == DPERR_BUFFERTOOSMALL) {
            if (size <= m_room)
                return false; // the service asks for no more room than it had: give up
            m_block.reset();
            m_block = std::make_unique_for_overwrite<std::uint8_t[]>(size);
            m_room = size;
            fromId = 0;
            toId = 0;
            hr = directPlay.Receive(&fromId, &toId, DPRECEIVE_ALL, m_block.get(), &size);
        }
        if (FAILED(hr))
            return false; // the queue is empty, or the service failed: wait for the next signal
        if (size > m_room)
            continue; // claims more bytes than the block holds: never read past it
        m_room = size;
        if (size < 4)
            continue; // too short to be any message: consumed and dropped
        const std::size_t offset = m_batch.bytes.size();
        m_batch.bytes.insert(m_batch.bytes.end(), m_block.get(), m_block.get() + size);
        m_batch.messages.push_back({fromId, toId, offset, size});
    }
    return true;
}

bool TDPReceiveThread::HandOver() {
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

void TDPReceiveThread::DeliverHandedBatch() {
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping)
            return;
    }
    if (Endpoint->DeliverBatch(m_batch))
        MarkDelivered(); // otherwise a handler destroyed the endpoint and this object
}

void TDPReceiveThread::MarkDelivered() {
    {
        std::lock_guard lock(m_mutex);
        m_delivered = true;
    }
    m_cond.notify_all();
}
