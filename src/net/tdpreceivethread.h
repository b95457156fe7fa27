#pragma once

#include "platform/dplay/dplay.h"
#include "platform/dplay/receivedmessages.h"

#include <QObject>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class AutoResetEvent;
class TDPlayer;

// The endpoint's receive thread. It sleeps on the endpoint's event, takes what the session
// service has queued as one batch (ReceiveBatch: the service's own buffers, not copies) and
// hands the batch to the main thread, blocking until every message of it has been delivered
// there; the batch's bytes stay put until then. Messages under 4 bytes are taken from the
// queue and dropped.
class TDPReceiveThread final : public QObject {
    Q_OBJECT

public:
    // About this many messages, or about this many bytes, go over in one hand-over (the
    // service may add what arrived together).
    static constexpr std::size_t kMaxBatchMessages = 512;
    static constexpr std::size_t kMaxBatchBytes = 1u << 20;

    // Starts the thread; it sleeps on `event` until messages wait.
    TDPReceiveThread(TDPlayer* endpoint, std::shared_ptr<AutoResetEvent> event);
    // Stops and joins the thread.
    ~TDPReceiveThread();

    TDPlayer* const Endpoint;

    // Main thread: the object to receive from, given before the event reaches it.
    void Attach(std::shared_ptr<IDirectPlay4A> directPlay);
    // Main thread: marks the thread terminated and wakes it from its wait and from a
    // pending hand-over. The endpoint is not touched by the thread after this.
    void Stop();
    // Main thread: waits for the thread to end (after Stop).
    void Join();

signals:
    // Receive thread: a batch waits to be delivered. Connected, queued, to the endpoint.
    void BatchReady();

private:
    void Run();
    // Takes what waits into the batch; false when nothing waits.
    bool Drain(IDirectPlay4A& directPlay);
    // Hands the batch over and waits; false when stopped meanwhile.
    bool HandOver();
    // Main thread: delivers the batch handed over.
    void DeliverHandedBatch();
    void MarkDelivered();
    bool Stopping();

    std::shared_ptr<AutoResetEvent> m_event;
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_stopping = false;
    bool m_delivered = false;
    std::shared_ptr<IDirectPlay4A> m_directPlay;

    ReceivedMessages m_batch;
    std::thread m_thread; // started by the constructor once everything above is ready
};
