#pragma once

#include "platform/dplay/dplay.h"
#include "platform/dplay/framecodec.h"
#include "platform/dplay/receivequeue.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class WakeupFd;

// One TCP connection to a peer: the frames queued for it, the bytes read from it, and the
// clocks that tell whether it is still alive. It knows bytes and frames, not sessions.
//
// Threads: Queue*, AllSent and Streaming from any thread (the queue has its own lock);
// Reserve, CommitReserved and CancelReserved from one thread at a time; everything else on
// the network thread only.
class PeerConnection {
public:
    using Clock = std::chrono::steady_clock;
    using Buffer = FrameCodec::Buffer;

    // SendEx waits while this much is queued for a connection.
    static constexpr std::size_t kSendCap = 512 * 1024;
    // With keep-alive, an idle connection is pinged; a peer that sent no whole frame for
    // kDeadAfter is gone. Bytes that trickle in without completing a frame do not count, and
    // a frame left incomplete for kDeadAfter ends the connection, keep-alive or not.
    static constexpr auto kPingAfter = std::chrono::milliseconds(1000);
    static constexpr auto kDeadAfter = std::chrono::milliseconds(4000);
    // A connection must have joined within this time (and, at a host, made its player).
    static constexpr auto kJoinTimeout = std::chrono::milliseconds(5000);

    // Takes `fd`; `received` holds what was read before (the join reply's followers).
    PeerConnection(int fd, const WakeupFd& wakeup, ReadBuffer received = {});
    ~PeerConnection();
    PeerConnection(const PeerConnection&) = delete;
    PeerConnection& operator=(const PeerConnection&) = delete;

    int Fd() const { return m_fd; }
    // The peer's address, for log lines.
    const std::string& Name() const { return m_name; }

    // Queues one data frame, first waiting while kSendCap bytes are queued (for at most
    // `timeout` when it is not zero). While the connection streams, a small backlog waits for
    // the network thread's next round instead of waking it.
    enum class Queued { Yes, Closed, TimedOut };
    Queued QueueData(DPID from, DPID to, const void* data, std::uint32_t size,
                     std::chrono::milliseconds timeout = std::chrono::milliseconds(0));
    // Queues frames without waiting for room; `wake` when the network thread may be asleep.
    void QueueFrames(const Buffer& frames, bool wake);
    // Room for `count` data frames of `size` payload bytes each from `from` to `to`, their
    // headers already written: frame i's payload starts at *base + i * *stride. The caller
    // fills the payloads where they lie and queues them all with CommitReserved (or gives
    // the room back with CancelReserved): the bytes go from there to the socket, no copy in
    // between. Waits first while kSendCap bytes are queued. False when the connection is
    // closed.
    bool Reserve(DPID from, DPID to, std::uint32_t size, std::uint32_t count, std::uint8_t** base, std::size_t* stride);
    // Queues the reserved frames after everything queued before; nothing when closed.
    void CommitReserved();
    void CancelReserved();
    // Every queued byte written.
    bool AllSent();
    bool Streaming();

    // Writes what is queued; false when the connection failed. With `mayHold`, a few small
    // messages of a streaming connection may wait a moment (2 ms at most) to share a write.
    bool Write(bool mayHold = true);
    bool Writing() const { return !m_writing.empty(); }

    enum class ReadResult { Nothing, Data, DataThenEnd, Ended, Failed };
    // Reads what the socket holds, a few calls at most, so that each buffer handed to the
    // receive queue is well filled. Ended: closed by the peer.
    ReadResult Read();
    ReadBuffer& Received() { return m_rx; }

    // After the read buffer was parsed: whether whole frames came, and whether the start of
    // one still waits for the rest.
    void Parsed(Clock::time_point now, bool wholeFrames, bool partialFrame);
    // A reader that is not reading cannot judge its peer: the silence clocks restart.
    void HoldSilenceClock(Clock::time_point now);
    // Why the connection has expired (silent too long with keep-alive, a frame incomplete
    // too long, not joined in time), or nullptr.
    const char* Expired(Clock::time_point now, bool joined, bool keepAlive) const;
    // With keep-alive: a ping when nothing was sent for kPingAfter.
    void PingIfIdle(Clock::time_point now);

    // Fails every later Queue*, lets waiting senders go and closes the socket.
    void Close();

    // On release: sends what is still queued, then closes our side and waits for each peer
    // to close its own, so that nothing in flight is cut off by a reset. True when every
    // byte was written and every peer closed in order (it reads up to our end before it
    // closes); false when a peer failed, reset the connection or stopped taking data.
    static bool Linger(const std::vector<PeerConnection*>& connections);

private:
    bool WakeLocked(bool lazy);
    // Network thread: moves what is queued to m_writing; false when nothing is queued.
    bool TakeQueued(bool mayHold);
    void Advance(std::size_t written);
    std::size_t QueuedLocked() const { return m_queuedBytes + m_pending.size(); }

    int m_fd = -1;
    const std::string m_name;
    const WakeupFd& m_wakeup;

    std::mutex m_mutex;
    std::condition_variable m_room;
    // Queued, not yet taken by the network thread: whole buffers first (committed rooms, and
    // the small frames queued before them), then m_pending, where small frames are added.
    std::deque<MessageBytes> m_queue;
    std::size_t m_queuedBytes = 0; // in m_queue
    MessageBytes m_pending;
    std::vector<MessageBytes> m_spare; // written buffers, for the next rooms
    bool m_wakeQueued = false;         // the network thread will look at m_pending without a wake
    Clock::time_point m_pendingSince;  // when the first frame now in m_pending was queued
    bool m_pendingUrgent = false;      // m_pending holds a frame that must not wait
    // While set, the network thread looks at this connection at least every millisecond.
    bool m_streaming = false;
    bool m_closed = false;

    // The reserving thread, between Reserve and CommitReserved.
    MessageBytes m_reserved;

    // Network thread: the buffers being written, in order, with one system call for as many
    // of them as it takes; m_writePos bytes of the first are written already.
    std::deque<MessageBytes> m_writing;
    std::size_t m_writePos = 0;
    std::uint64_t m_written = 0;      // bytes written in all
    std::vector<MessageBytes> m_done; // written buffers, back to m_spare under the lock
    ReadBuffer m_rx;
    Clock::time_point m_opened;
    Clock::time_point m_lastHeard; // the last whole frame
    Clock::time_point m_lastSent;
    std::optional<Clock::time_point> m_partialSince; // an incomplete frame waits since then
};
