#pragma once

#include "transfer/messagesink.h"

#include <vector>

class RecordChannel;

// Seals every message an engine sends into one record of a secure copy before it goes on to
// the endpoint; without a channel (a plain copy) it passes them on unchanged. Room reserved
// in the endpoint's send queue is handed to the engine one record head further on, so the
// engine builds its data packets where they will be sealed and sent: no copy of the data.
// With grouping on (the server agreed to grouped records) a batch goes several packets to a
// record, each after its length, so the cipher is set up once per record, not per packet;
// and the small messages between batches (a file's attributes, header and end) wait to share
// one record until the next batch, Flush or Finish, or until they fill a record.
class SealingSink final : public MessageSink {
public:
    explicit SealingSink(MessageSink& inner) : m_inner(inner) {}

    // From now on messages are sealed in `channel`; null passes them on plain.
    void SetChannel(RecordChannel* channel) { m_channel = channel; }
    void SetGrouping(bool grouping) { m_grouping = grouping; }
    bool Sealing() const { return m_channel != nullptr; }

    void Send(std::uint32_t to, std::uint32_t flags, const void* data, std::uint32_t size) override;
    Room Reserve(std::uint32_t to, std::uint32_t flags, std::uint32_t size, std::uint32_t count) override;
    void SendReserved() override;
    void CancelReserved() override;
    void Flush() override;
    void Finish() override;

private:
    MessageSink& m_inner;
    RecordChannel* m_channel = nullptr;
    std::vector<std::uint8_t> m_record;
    Room m_room;
    std::uint32_t m_size = 0;
    std::uint32_t m_count = 0;
    std::uint32_t m_group = 1; // messages per record of the room
    bool m_grouping = false;
    // Messages waiting to share a record: the head's room, then each after its length.
    std::vector<std::uint8_t> m_pending;
    std::uint32_t m_pendingTo = 0;
    std::uint32_t m_pendingFlags = 0;
    std::uint32_t m_pendingCount = 0;

    void sealOne(std::uint32_t to, std::uint32_t flags, const void* data, std::uint32_t size);

    // The most messages of `size` bytes that share a record, evenly, in a room of `count`.
    static std::uint32_t groupFor(std::uint32_t size, std::uint32_t count);
};
