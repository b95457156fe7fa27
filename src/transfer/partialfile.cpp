#include "transfer/partialfile.h"

#include "transfer/receivedfile.h"

void PartialFile::Close()
{
    Drop();
    m_store.Close();
}

void PartialFile::Begin(qint64 size)
{
    m_digests.Restart(size);
    m_held.clear();
    m_partial = false;
}

bool PartialFile::Create(ReceivedFile& file, int folder, const QByteArray& name, const PartialStore::Identity& id,
                         QString* note)
{
    QByteArray part;
    QString error;
    const bool resumed = m_store.Resume(id, &m_held, &part, note);
    if (!resumed && !m_store.Start(id, &part, &error))
        return false;
    if (!file.CreatePartial(folder, name, m_store.FolderFd(), part, resumed, &error)) {
        m_store.Finish(!resumed);
        m_held.clear();
        return false;
    }
    m_partial = true;
    return true;
}

ResumeOffer PartialFile::Offer(std::uint32_t entry) const
{
    ResumeOffer offer;
    offer.entry = entry;
    offer.chunkSize = static_cast<std::uint32_t>(m_digests.ChunkSize());
    for (const auto& [index, digest] : m_held) {
        if (offer.chunks.size() == kMaxOfferedChunks)
            break;
        offer.chunks.push_back({index, digest});
    }
    return offer;
}

qint64 PartialFile::HeldBytes() const
{
    qint64 bytes = 0;
    for (const auto& held : m_held)
        bytes += m_digests.ChunkBytes(qint64(held.first) * m_digests.ChunkSize());
    return bytes;
}

void PartialFile::BeforeWrite(qint64 offset, qint64 count)
{
    if (m_held.empty() || count <= 0)
        return;
    const qint64 chunk = m_digests.ChunkSize();
    // Chunks about to be written over no longer hold what the record says, from now on.
    for (qint64 index = offset / chunk; index * chunk < offset + count; ++index) {
        if (m_held.erase(static_cast<std::uint32_t>(index)) > 0)
            m_store.Invalidate(static_cast<std::uint32_t>(index));
    }
}

void PartialFile::recordNew(std::size_t before)
{
    const auto& digests = m_digests.Digests();
    for (std::size_t i = before; m_partial && i < digests.size(); ++i)
        m_store.Record(static_cast<std::uint32_t>(i), digests[i]);
}

void PartialFile::Wrote(std::uint8_t* const* pieces, const std::size_t* counts, std::size_t n, bool written)
{
    const std::size_t before = m_digests.Digests().size();
    for (std::size_t i = 0; i < n; ++i)
        m_digests.Add(pieces[i], counts[i]);
    if (written)
        recordNew(before);
}

void PartialFile::Zeros(qint64 offset, qint64 count)
{
    BeforeWrite(offset, count);
    const std::size_t before = m_digests.Digests().size();
    m_digests.AddZeros(count);
    recordNew(before);
}

bool PartialFile::Keep(qint64 offset, qint64 count, QString* problem)
{
    const qint64 chunk = m_digests.ChunkSize();
    const qint64 end = offset + count;
    if (offset != m_digests.Offset() || !m_digests.AtChunkStart() || (end % chunk != 0 && end != m_digests.Size())) {
        *problem = QStringLiteral("bytes kept from %1 to %2 are not whole chunks").arg(offset).arg(end);
        return false;
    }
    for (qint64 at = offset; at < end; at += chunk) {
        if (!m_held.contains(static_cast<std::uint32_t>(at / chunk))) {
            *problem = QStringLiteral("the chunk at %1 is not held here").arg(at);
            return false;
        }
    }
    for (qint64 at = offset; at < end; at += chunk)
        m_digests.AddChunk(m_held.at(static_cast<std::uint32_t>(at / chunk)));
    return true;
}

void PartialFile::Leave(bool flushed)
{
    if (!m_partial)
        return;
    if (flushed)
        m_store.MarkClean();
    m_store.Finish(false);
    m_partial = false;
    m_held.clear();
}

bool PartialFile::Drop()
{
    if (!m_partial)
        return false;
    m_store.Finish(true);
    m_partial = false;
    m_held.clear();
    return true;
}
