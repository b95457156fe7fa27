#include "bridge/sealingsink.h"

#include "secure/recordchannel.h"

#include <QtEndian>

#include <algorithm>
#include <cstring>

void SealingSink::Send(std::uint32_t to, std::uint32_t flags, const void* data, std::uint32_t size)
{
    if (!m_channel) {
        m_inner.Send(to, flags, data, size);
        return;
    }
    const std::size_t slot = RecordChannel::kGroupPrefix + size;
    if (!m_grouping || size == 0 || slot > RecordChannel::kMaxPlain) {
        Flush();
        sealOne(to, flags, data, size);
        return;
    }
    if (m_pendingCount > 0
        && (to != m_pendingTo || flags != m_pendingFlags
            || m_pending.size() - RecordChannel::kHead + slot > RecordChannel::kMaxPlain))
        Flush();
    if (m_pendingCount == 0) {
        m_pending.assign(RecordChannel::kHead, 0);
        m_pendingTo = to;
        m_pendingFlags = flags;
    }
    const std::size_t at = m_pending.size();
    m_pending.resize(at + slot);
    qToLittleEndian(size, m_pending.data() + at);
    std::memcpy(m_pending.data() + at + RecordChannel::kGroupPrefix, data, size);
    ++m_pendingCount;
}

void SealingSink::Flush()
{
    if (m_pendingCount == 0)
        return;
    const std::size_t plain = m_pending.size() - RecordChannel::kHead;
    m_pending.resize(m_pending.size() + RecordChannel::kTag);
    m_pendingCount = 0;
    m_channel->SealGroupInPlace(m_pending.data(), plain);
    m_inner.Send(m_pendingTo, m_pendingFlags, m_pending.data(), std::uint32_t(m_pending.size()));
}

void SealingSink::Finish()
{
    if (m_channel)
        Flush();
    m_inner.Finish();
}

void SealingSink::sealOne(std::uint32_t to, std::uint32_t flags, const void* data, std::uint32_t size)
{
    m_record.resize(RecordChannel::kOverhead + size);
    if (size > 0)
        std::memcpy(m_record.data() + RecordChannel::kHead, data, size);
    m_channel->SealInPlace(m_record.data(), size);
    m_inner.Send(to, flags, m_record.data(), std::uint32_t(m_record.size()));
}

std::uint32_t SealingSink::groupFor(std::uint32_t size, std::uint32_t count)
{
    const std::size_t slot = RecordChannel::kGroupPrefix + size;
    for (auto group = std::uint32_t(std::min<std::size_t>(count, RecordChannel::kMaxPlain / slot)); group > 1; --group)
        if (count % group == 0)
            return group;
    return 1;
}

MessageSink::Room SealingSink::Reserve(std::uint32_t to, std::uint32_t flags, std::uint32_t size, std::uint32_t count)
{
    if (!m_channel)
        return m_inner.Reserve(to, flags, size, count);
    Flush();
    m_group = m_grouping ? groupFor(size, count) : 1;
    if (m_group > 1) {
        const std::uint32_t slot = std::uint32_t(RecordChannel::kGroupPrefix) + size;
        m_room = m_inner.Reserve(to, flags, std::uint32_t(RecordChannel::kOverhead) + m_group * slot, count / m_group);
        if (!m_room.base)
            return {};
        m_size = size;
        m_count = count;
        return {m_room.base + RecordChannel::kHead + RecordChannel::kGroupPrefix, slot, m_group, m_room.stride};
    }
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
        if (m_group > 1) {
            const std::size_t slot = RecordChannel::kGroupPrefix + m_size;
            for (std::uint32_t r = 0; r < m_count / m_group; ++r) {
                std::uint8_t* record = m_room.base + r * m_room.stride;
                for (std::uint32_t j = 0; j < m_group; ++j)
                    qToLittleEndian(m_size, record + RecordChannel::kHead + j * slot);
                m_channel->SealGroupInPlace(record, m_group * slot);
            }
        } else {
            for (std::uint32_t i = 0; i < m_count; ++i)
                m_channel->SealInPlace(m_room.base + i * m_room.stride, m_size);
        }
        m_room = {};
    }
    m_inner.SendReserved();
}

void SealingSink::CancelReserved()
{
    m_room = {};
    m_inner.CancelReserved();
}
