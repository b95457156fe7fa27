#include "platform/dplay/receivequeue.h"

#include <QtEndian>

#include <cstring>

namespace {

// A little data joins the last queued buffer when it has room, so that a trickle does not
// fill the queue with nearly empty buffers.
constexpr std::size_t kSmallHandOver = 64 * 1024;
// Enough buffers that steady reading never allocates.
constexpr std::size_t kPoolSize = ReceiveQueue::kMaxChunks + 2;

} // namespace

ReceiveQueue::ReceiveQueue(std::function<void()> resumed) : m_resumed(std::move(resumed)) {}

void ReceiveQueue::AddListener(std::shared_ptr<AutoResetEvent> event)
{
    std::lock_guard lock(m_mutex);
    if (!m_chunks.empty())
        event->Set();
    m_listeners.push_back(std::move(event));
}

void ReceiveQueue::SetListenersLocked()
{
    for (const auto& e : m_listeners)
        e->Set();
}

void ReceiveQueue::QueueLocked(Chunk chunk)
{
    m_queued += chunk.end - chunk.pos;
    m_chunks.push_back(std::move(chunk));
    SetListenersLocked();
    if (m_queued >= kCap || m_chunks.size() >= kMaxChunks)
        m_paused = true;
}

void ReceiveQueue::Push(DPID from, DPID to, const void* data, std::size_t size, const void* tail, std::size_t tailSize)
{
    // One data frame whose payload is the message and then the tail.
    Chunk chunk;
    chunk.bytes.resize(FrameCodec::kHeader + FrameCodec::kDataHeader + size + tailSize);
    FrameCodec::PutDataHeader(chunk.bytes.data(), from, to, std::uint32_t(size + tailSize));
    std::uint8_t* payload = chunk.bytes.data() + FrameCodec::kHeader + FrameCodec::kDataHeader;
    if (size)
        std::memcpy(payload, data, size);
    if (tailSize)
        std::memcpy(payload + size, tail, tailSize);
    chunk.end = chunk.bytes.size();
    std::lock_guard lock(m_mutex);
    m_queued += chunk.end;
    m_chunks.push_back(std::move(chunk));
    SetListenersLocked();
}

void ReceiveQueue::HandOver(ReadBuffer& from, std::size_t validBytes)
{
    std::lock_guard lock(m_mutex);
    if (validBytes <= kSmallHandOver && !m_chunks.empty()) {
        Chunk& back = m_chunks.back();
        if (back.bytes.size() - back.end >= validBytes) {
            std::memcpy(back.bytes.data() + back.end, from.bytes.data(), validBytes);
            back.end += validBytes;
            m_queued += validBytes;
            std::memmove(from.bytes.data(), from.bytes.data() + validBytes, from.end - validBytes);
            from.end -= validBytes;
            SetListenersLocked();
            if (m_queued >= kCap)
                m_paused = true;
            return;
        }
    }
    MessageBytes next;
    if (!m_pool.empty()) {
        next = std::move(m_pool.back());
        m_pool.pop_back();
    } else {
        next.resize(kBufferSize);
    }
    std::memcpy(next.data(), from.bytes.data() + validBytes, from.end - validBytes);
    QueueLocked(Chunk{std::move(from.bytes), 0, validBytes});
    from.bytes = std::move(next);
    from.end -= validBytes;
}

bool ReceiveQueue::Paused() const
{
    std::lock_guard lock(m_mutex);
    return m_paused;
}

ReadBuffer ReceiveQueue::NewReadBuffer()
{
    return ReadBuffer{MessageBytes(kBufferSize), 0};
}

bool ReceiveQueue::NextChunk()
{
    bool resume = false;
    {
        std::lock_guard lock(m_mutex);
        if (m_reading.bytes.size() == kBufferSize && m_pool.size() < kPoolSize)
            m_pool.push_back(std::move(m_reading.bytes));
        m_reading = Chunk{};
        if (m_chunks.empty())
            return false;
        m_reading = std::move(m_chunks.front());
        m_chunks.pop_front();
        m_queued -= m_reading.end - m_reading.pos;
        if (m_paused && m_queued < kCap && m_chunks.size() < kMaxChunks) {
            m_paused = false;
            resume = true;
        }
    }
    if (resume && m_resumed)
        m_resumed();
    return true;
}

HRESULT ReceiveQueue::Take(DPID* from, DPID* to, void* data, DWORD* size, bool peek)
{
    std::lock_guard consumer(m_consumer);
    const unsigned char* frame;
    std::uint32_t length;
    for (;;) {
        if (m_reading.pos >= m_reading.end && !NextChunk())
            return DPERR_NOMESSAGES;
        // Frames in the queue were checked when they arrived; only data frames are messages.
        frame = m_reading.bytes.data() + m_reading.pos;
        length = qFromLittleEndian<quint32>(frame);
        if (frame[4] == FrameCodec::Data)
            break;
        m_reading.pos += 4 + std::size_t(length);
    }
    const std::uint32_t payload = length - 1 - FrameCodec::kDataHeader;
    if (!data || *size < payload) {
        *size = payload;
        return DPERR_BUFFERTOOSMALL;
    }
    std::memcpy(data, frame + FrameCodec::kHeader + FrameCodec::kDataHeader, payload);
    *size = payload;
    *from = qFromLittleEndian<quint32>(frame + FrameCodec::kHeader);
    *to = qFromLittleEndian<quint32>(frame + FrameCodec::kHeader + 4);
    if (!peek)
        m_reading.pos += 4 + std::size_t(length);
    return DP_OK;
}

HRESULT ReceiveQueue::TakeBatch(ReceivedMessages& batch, std::size_t maxMessages, std::size_t maxBytes)
{
    std::lock_guard consumer(m_consumer);
    {
        std::lock_guard lock(m_mutex);
        for (auto& buffer : batch.buffers)
            if (buffer.size() == kBufferSize && m_pool.size() < kPoolSize)
                m_pool.push_back(std::move(buffer));
    }
    batch.Clear();
    while (batch.messages.size() < maxMessages && batch.bytes < maxBytes) {
        if (m_reading.pos >= m_reading.end && !NextChunk())
            break;
        // The rest of the buffer being read goes whole; its frames were checked when they
        // arrived, and only data frames are messages.
        Chunk chunk = std::move(m_reading);
        m_reading = Chunk{};
        std::uint8_t* bytes = chunk.bytes.data();
        for (std::size_t pos = chunk.pos; pos < chunk.end;) {
            const std::uint32_t length = qFromLittleEndian<quint32>(bytes + pos);
            if (bytes[pos + 4] == FrameCodec::Data) {
                const DWORD size = DWORD(length - 1 - FrameCodec::kDataHeader);
                batch.messages.push_back({qFromLittleEndian<quint32>(bytes + pos + FrameCodec::kHeader),
                                          qFromLittleEndian<quint32>(bytes + pos + FrameCodec::kHeader + 4),
                                          bytes + pos + FrameCodec::kHeader + FrameCodec::kDataHeader, size});
                batch.bytes += size;
            }
            pos += 4 + std::size_t(length);
        }
        batch.buffers.push_back(std::move(chunk.bytes));
    }
    return batch.messages.empty() ? DPERR_NOMESSAGES : DP_OK;
}
