#include "platform/dplay/peerconnection.h"

#include "platform/dplay/socketutil.h"

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>

using namespace std::chrono_literals;

namespace {

// While a connection streams, senders wake the network thread only once this much waits.
constexpr std::size_t kLazyWakeLimit = 64 * 1024;
// Written buffers kept for the next rooms.
constexpr std::size_t kSpareBuffers = 4;
// One write takes at most this many queued buffers, and stops taking more past this many bytes.
constexpr std::size_t kGatherBuffers = 64;
constexpr std::size_t kGatherBytes = 256 * 1024;
// While a connection streams, a few small messages (a receiver's answers, one per file) wait
// this long for company, so that they share a write and the peer wakes once for them all.
// A streaming connection is looked at every millisecond, so none waits much longer.
constexpr std::size_t kHoldBytes = 16 * 1024;
constexpr auto kHoldFor = 2ms;
// A connection stops streaming when nothing was sent for this long.
constexpr auto kStreamingIdle = 20ms;
// On release: how long to wait for a peer to take what is still queued, and for its close.
constexpr auto kLingerNoProgress = 3000ms;
constexpr auto kLingerClose = 5000ms;

bool WouldBlock()
{
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

} // namespace

PeerConnection::PeerConnection(int fd, const WakeupFd& wakeup, ReadBuffer received)
    : m_fd(fd),
      m_name(PeerName(fd)),
      m_wakeup(wakeup),
      m_rx(received.bytes.empty() ? ReceiveQueue::NewReadBuffer() : std::move(received))
{
    m_opened = m_lastHeard = m_lastSent = Clock::now();
}

PeerConnection::~PeerConnection()
{
    CloseFd(m_fd);
}

bool PeerConnection::WakeLocked(bool lazy)
{
    if (m_wakeQueued)
        return false;
    // A streaming connection is looked at every millisecond anyway: a small backlog waits
    // for that instead of costing a system call (and a contended lock) per message.
    if (lazy && m_streaming && QueuedLocked() < kLazyWakeLimit)
        return false;
    m_wakeQueued = true;
    return true;
}

PeerConnection::Queued PeerConnection::QueueData(DPID from, DPID to, const void* data, std::uint32_t size,
                                                 std::chrono::milliseconds timeout)
{
    bool wake;
    {
        std::unique_lock lock(m_mutex);
        if (QueuedLocked() >= kSendCap) {
            const auto room = [&] { return m_closed || QueuedLocked() < kSendCap; };
            if (timeout.count() == 0)
                m_room.wait(lock, room);
            else if (!m_room.wait_for(lock, timeout, room))
                return Queued::TimedOut;
        }
        if (m_closed)
            return Queued::Closed;
        if (m_pending.empty())
            m_pendingSince = Clock::now();
        FrameCodec::AppendData(m_pending, from, to, data, size);
        wake = WakeLocked(true);
    }
    if (wake)
        m_wakeup.Wake();
    return Queued::Yes;
}

void PeerConnection::QueueFrames(const Buffer& frames, bool wake)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_closed)
            return;
        m_pending.insert(m_pending.end(), frames.begin(), frames.end());
        m_pendingUrgent = true;
        wake = wake && WakeLocked(false);
    }
    if (wake)
        m_wakeup.Wake();
}

bool PeerConnection::Reserve(DPID from, DPID to, std::uint32_t size, std::uint32_t count, std::uint8_t** base,
                             std::size_t* stride)
{
    const std::size_t frame = FrameCodec::kHeader + FrameCodec::kDataHeader + size;
    {
        std::unique_lock lock(m_mutex);
        if (QueuedLocked() >= kSendCap)
            m_room.wait(lock, [&] { return m_closed || QueuedLocked() < kSendCap; });
        if (m_closed)
            return false;
        if (m_reserved.capacity() == 0 && !m_spare.empty()) {
            m_reserved = std::move(m_spare.back());
            m_spare.pop_back();
        }
    }
    m_reserved.resize(frame * count);
    for (std::uint32_t i = 0; i < count; ++i)
        FrameCodec::PutDataHeader(m_reserved.data() + i * frame, from, to, size);
    *base = m_reserved.data() + FrameCodec::kHeader + FrameCodec::kDataHeader;
    *stride = frame;
    return true;
}

void PeerConnection::CommitReserved()
{
    bool wake;
    {
        std::lock_guard lock(m_mutex);
        if (m_closed) {
            m_reserved.clear();
            return;
        }
        // What was queued before goes first.
        if (!m_pending.empty()) {
            m_queuedBytes += m_pending.size();
            m_queue.push_back(std::move(m_pending));
            m_pending = MessageBytes();
        }
        m_queuedBytes += m_reserved.size();
        m_queue.push_back(std::move(m_reserved));
        m_reserved = MessageBytes();
        wake = WakeLocked(true);
    }
    if (wake)
        m_wakeup.Wake();
}

void PeerConnection::CancelReserved()
{
    m_reserved.clear();
}

bool PeerConnection::AllSent()
{
    std::lock_guard lock(m_mutex);
    return !Writing() && QueuedLocked() == 0;
}

bool PeerConnection::Streaming()
{
    std::lock_guard lock(m_mutex);
    return m_streaming;
}

bool PeerConnection::Write(bool mayHold)
{
    // While this thread still has bytes of the connection to write, it comes back for what
    // is queued meanwhile: senders need not wake it (m_wakeQueued stays set), which saves a
    // system call per message when the writer keeps up.
    for (int round = 0; round < 8; ++round) {
        if (!Writing() && !TakeQueued(mayHold))
            return true;
        iovec iov[kGatherBuffers];
        std::size_t count = 0;
        std::size_t skip = m_writePos;
        for (auto& b : m_writing) {
            if (count == kGatherBuffers)
                break;
            iov[count++] = {b.data() + skip, b.size() - skip};
            skip = 0;
        }
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = count;
        const ssize_t n = ::sendmsg(m_fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            Advance(std::size_t(n));
            m_lastSent = Clock::now();
            continue;
        }
        return n < 0 && WouldBlock();
    }
    // Out of rounds with everything written: come straight back for what is queued.
    if (!Writing())
        m_wakeup.Wake();
    return true;
}

bool PeerConnection::TakeQueued(bool mayHold)
{
    {
        std::lock_guard lock(m_mutex);
        for (auto& b : m_done) {
            if (m_spare.size() >= kSpareBuffers)
                break;
            b.clear();
            m_spare.push_back(std::move(b));
        }
        m_done.clear();
        if (QueuedLocked() == 0) {
            m_wakeQueued = false;
            if (Clock::now() - m_lastSent > kStreamingIdle)
                m_streaming = false;
            return false;
        }
        if (mayHold && m_streaming && !m_pendingUrgent && m_queue.empty() && m_pending.size() < kHoldBytes
            && Clock::now() - m_pendingSince < kHoldFor) {
            m_wakeQueued = false;
            return false;
        }
        // Everything queued goes out in one call, up to a limit, in the order it was queued:
        // the whole buffers, then the small frames added after them. Many small messages
        // thus cost one write, not one each.
        std::size_t taken = 0;
        while (!m_queue.empty() && m_writing.size() < kGatherBuffers && taken < kGatherBytes) {
            MessageBytes& b = m_queue.front();
            m_queuedBytes -= b.size();
            taken += b.size();
            if (!b.empty())
                m_writing.push_back(std::move(b));
            m_queue.pop_front();
        }
        if (m_queue.empty() && !m_pending.empty() && m_writing.size() < kGatherBuffers) {
            m_writing.push_back(std::move(m_pending));
            m_pending = MessageBytes();
            m_pendingUrgent = false;
            if (!m_spare.empty()) {
                m_pending = std::move(m_spare.back());
                m_spare.pop_back();
            }
        }
        m_writePos = 0;
        m_streaming = true;
    }
    m_room.notify_all();
    return Writing();
}

void PeerConnection::Advance(std::size_t n)
{
    m_written += n;
    while (n > 0) {
        const std::size_t left = m_writing.front().size() - m_writePos;
        if (n < left) {
            m_writePos += n;
            return;
        }
        n -= left;
        m_done.push_back(std::move(m_writing.front()));
        m_writing.pop_front();
        m_writePos = 0;
    }
}

PeerConnection::ReadResult PeerConnection::Read()
{
    bool got = false;
    for (int i = 0; i < 4; ++i) {
        // Up to kReadChunk; past it only for the rest of a large frame that started below.
        const std::size_t want = m_rx.end < ReceiveQueue::kReadChunk ? ReceiveQueue::kReadChunk - m_rx.end
                                 : got                               ? 0
                                                                     : m_rx.bytes.size() - m_rx.end;
        if (want == 0)
            break;
        const ssize_t n = ::recv(m_fd, m_rx.bytes.data() + m_rx.end, want, MSG_DONTWAIT);
        if (n == 0)
            return got ? ReadResult::DataThenEnd : ReadResult::Ended;
        if (n < 0) {
            if (!WouldBlock())
                return ReadResult::Failed;
            break;
        }
        m_rx.end += std::size_t(n);
        got = true;
    }
    return got ? ReadResult::Data : ReadResult::Nothing;
}

void PeerConnection::Parsed(Clock::time_point now, bool wholeFrames, bool partialFrame)
{
    if (wholeFrames)
        m_lastHeard = now;
    if (!partialFrame)
        m_partialSince.reset();
    else if (wholeFrames || !m_partialSince)
        m_partialSince = now;
}

void PeerConnection::HoldSilenceClock(Clock::time_point now)
{
    m_lastHeard = now;
    if (m_partialSince)
        m_partialSince = now;
}

const char* PeerConnection::Expired(Clock::time_point now, bool joined, bool keepAlive) const
{
    if (!joined && now - m_opened > kJoinTimeout)
        return "no join in time";
    if (joined && keepAlive && now - m_lastHeard > kDeadAfter)
        return "no whole frame for too long";
    if (m_partialSince && now - *m_partialSince > kDeadAfter)
        return "a frame left incomplete for too long";
    return nullptr;
}

void PeerConnection::PingIfIdle(Clock::time_point now)
{
    if (now - m_lastSent < kPingAfter || Writing())
        return;
    bool wake;
    {
        std::lock_guard lock(m_mutex);
        if (QueuedLocked() != 0 || m_closed)
            return;
        FrameCodec::AppendPing(m_pending);
        m_pendingUrgent = true;
        wake = WakeLocked(false);
    }
    if (wake)
        m_wakeup.Wake();
}

void PeerConnection::Close()
{
    {
        std::lock_guard lock(m_mutex);
        m_closed = true;
    }
    m_room.notify_all();
    CloseFd(m_fd);
}

bool PeerConnection::Linger(const std::vector<PeerConnection*>& connections)
{
    bool delivered = true;
    std::vector<PeerConnection*> open;
    for (auto* c : connections)
        if (c->m_fd >= 0)
            open.push_back(c);
    auto lastProgress = Clock::now();
    std::vector<pollfd> fds;
    while (!open.empty()) {
        bool allSent = true;
        for (auto* c : open) {
            const std::uint64_t before = c->m_written;
            if (!c->Write(false)) {
                CloseFd(c->m_fd);
                delivered = false;
                continue;
            }
            if (c->m_written != before)
                lastProgress = Clock::now();
            if (!c->AllSent())
                allSent = false;
        }
        open.erase(std::remove_if(open.begin(), open.end(), [](auto* c) { return c->m_fd < 0; }), open.end());
        if (allSent)
            break;
        if (Clock::now() - lastProgress > kLingerNoProgress) {
            delivered = false;
            break;
        }
        fds.clear();
        for (auto* c : open)
            fds.push_back({c->m_fd, POLLOUT, 0});
        ::poll(fds.data(), fds.size(), 100);
    }
    // Wait for the peer's close while it still takes our data (the unacknowledged bytes
    // shrink); a peer that takes nothing for kLingerClose is given up.
    auto deadline = Clock::now() + kLingerClose;
    std::vector<int> unacked(open.size(), -1);
    for (auto* c : open)
        ::shutdown(c->m_fd, SHUT_WR);
    unsigned char sink[64 * 1024];
    while (!open.empty() && Clock::now() < deadline) {
        fds.clear();
        for (auto* c : open)
            fds.push_back({c->m_fd, POLLIN, 0});
        ::poll(fds.data(), fds.size(), 100);
        for (std::size_t i = 0; i < open.size(); ++i) {
            auto* c = open[i];
            int outq = 0;
            if (ioctl(c->m_fd, SIOCOUTQ, &outq) == 0 && outq != unacked[i]) {
                if (unacked[i] >= 0)
                    deadline = Clock::now() + kLingerClose;
                unacked[i] = outq;
            }
            const ssize_t n = ::recv(c->m_fd, sink, sizeof sink, MSG_DONTWAIT);
            if (n == 0) {
                // A peer that read up to our end has acknowledged every byte before its own;
                // one that closed with bytes of ours unacknowledged went away without them.
                if (ioctl(c->m_fd, SIOCOUTQ, &outq) != 0 || outq != 0)
                    delivered = false;
                CloseFd(c->m_fd);
            } else if (n < 0 && !WouldBlock()) {
                // A reset: the peer went away with our data unread.
                CloseFd(c->m_fd);
                delivered = false;
            }
        }
        for (std::size_t i = open.size(); i-- > 0;) {
            if (open[i]->m_fd < 0) {
                open.erase(open.begin() + std::ptrdiff_t(i));
                unacked.erase(unacked.begin() + std::ptrdiff_t(i));
            }
        }
    }
    return delivered && open.empty();
}
