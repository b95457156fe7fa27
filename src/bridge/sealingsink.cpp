#include "bridge/sealingsink.h"

#include "secure/recordchannel.h"

#include <cstring>

void SealingSink::Send(std::uint32_t to, std::uint32_t flags, const void* data, std::uint32_t size)
{
    if (!m_channel) {
        m_inner.Send(to, flags, data, size);
        return;
    }
    m_record.resize(RecordChannel::kOverhead + size);
    if (size > 0)
        std::memcpy(m_record.data() + RecordChannel::kHead, data, size);
    m_channel->SealInPlace(m_record.data(), size);
    m_inner.Send(to, flags, m_record.data(), std::uint32_t(m_record.size()));
}

MessageSink::Room SealingSink::Reserve(std::uint32_t to, std::uint32_t flags, std::uint32_t size, std::uint32_t count)
{
    if (!m_channel)
        return m_inner.Reserve(to, flags, size, count);
    m_room = m_inner.Reserve(to, flags, size + std::uint32_t(RecordChannel::kOverhead), count);
    if (!m_room.base)
        return {};
    m_size = size;
    m_count = count;
    return {m_room.base + RecordChannel::kHead, m_room.stride};
}

void SealingSink::SendReserved()
{
    if (m_channel && m_room.base) {
        for (std::uint32_t i = 0; i < m_count; ++i)
            m_channel->SealInPlace(m_room.base + i * m_room.stride, m_size);
        m_room = {};
    }
    m_inner.SendReserved();
}

void SealingSink::CancelReserved()
{
    m_room = {};
    m_inner.CancelReserved();
}
