#pragma once

#include "platform/autoresetevent.h"
#include "platform/dplay/dplay.h"
#include "platform/dplay/framecodec.h"
#include "platform/dplay/receivedmessages.h"

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

// Bytes read from a connection: whole frames first, then perhaps the start of the next one.
struct ReadBuffer {
    MessageBytes bytes;
    std::size_t end = 0; // bytes[0, end) hold data
};

// The messages waiting for Receive, as frames exactly as they came off the socket (already
// checked): a connection's read buffer is handed over whole and a message is copied once more
// only when Receive takes it. Messages made locally (system messages, sends to a local
// player) are buffers of their own. The queue is bounded: past kCap bytes or kMaxChunks
// buffers it is paused, the network thread stops reading, and the consumer's Take resumes it.
//
// Thread safety: Push, HandOver and Paused from any thread; Take from one consumer at a time.
class ReceiveQueue {
public:
    static constexpr std::size_t kReadChunk = 256 * 1024;
    // A read buffer holds one read and the largest frame that may straddle its end; its
    // memory is taken only as far as bytes are read into it.
    static constexpr std::size_t kBufferSize = kReadChunk + FrameCodec::kHeader + FrameCodec::kMaxBody;
    static constexpr std::size_t kCap = 2 * 1024 * 1024;
    static constexpr std::size_t kMaxChunks = 16;

    // `resumed` runs (on the consumer's thread, with no lock held) when a paused queue has
    // room again.
    explicit ReceiveQueue(std::function<void()> resumed);

    // Events set whenever a message is queued; a new one is set at once if messages wait.
    void AddListener(std::shared_ptr<AutoResetEvent> event);

    // Queues one data frame; a `tail` lengthens its payload (a system message's name).
    void Push(DPID from, DPID to, const void* data, std::size_t size, const void* tail = nullptr,
              std::size_t tailSize = 0);
    // Queues the first `validBytes` of `from` (whole, checked frames) and leaves `from` with
    // the bytes after them, in a buffer from the pool.
    void HandOver(ReadBuffer& from, std::size_t validBytes);
    bool Paused() const;
    // A buffer of kBufferSize for a connection that starts reading.
    static ReadBuffer NewReadBuffer();

    // Copies the oldest data message into `data` (leaving it queued when `peek`):
    // DPERR_BUFFERTOOSMALL with the size needed in *size, DPERR_NOMESSAGES when none waits.
    HRESULT Take(DPID* from, DPID* to, void* data, DWORD* size, bool peek);
    // Takes whole buffers of messages into `batch` without copying them (see
    // IDirectPlay4A::ReceiveBatch); the batch's old buffers go back to the pool first.
    HRESULT TakeBatch(ReceivedMessages& batch, std::size_t maxMessages, std::size_t maxBytes);

private:
    struct Chunk {
        MessageBytes bytes;
        std::size_t pos = 0;
        std::size_t end = 0;
    };
    void QueueLocked(Chunk chunk);
    void SetListenersLocked();
    bool NextChunk(); // consumer side: false when nothing waits

    const std::function<void()> m_resumed;
    mutable std::mutex m_mutex;
    std::deque<Chunk> m_chunks;
    std::size_t m_queued = 0;         // bytes in m_chunks
    std::vector<MessageBytes> m_pool; // read buffers to reuse
    bool m_paused = false;
    std::vector<std::shared_ptr<AutoResetEvent>> m_listeners;

    std::mutex m_consumer; // the consumer's side: the chunk being read
    Chunk m_reading;
};
