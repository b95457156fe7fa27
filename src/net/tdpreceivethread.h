#pragma once

#include "platform/dplay/dplay.h"

#include <QObject>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class AutoResetEvent;
class TDPlayer;

// The messages taken from the session service in one wake, their bytes back to back.
struct ReceivedBatch {
    struct Message {
        DPID fromId;
        DPID toId;
        std::size_t offset;
        DWORD size;
    };
    std::vector<std::uint8_t> bytes;
    std::vector<Message> messages;
};

// The endpoint's receive thread. It sleeps on the endpoint's event, drains the session
// service's queue into a batch and hands the batch to the main thread, blocking until
// every message of it has been delivered there. Messages under 4 bytes are taken from the
// queue and dropped.
class TDPReceiveThread final : public QObject {
    Q_OBJECT

public:
    // At most this many messages, or about this many bytes, go over in one hand-over.
    static constexpr std::size_t kMaxBatchMessages = 256;
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
    // Takes messages until the queue is empty (returns false) or the batch is full (true).
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

    // The receive block: replaced by one of exactly the size the service asks for. The
    // room offered to Receive is the size of the last message taken.
    std::unique_ptr<std::uint8_t[]> m_block;
    DWORD m_room = 0;
    ReceivedBatch m_batch;
    std::thread m_thread; // started by the constructor once everything above is ready
};
