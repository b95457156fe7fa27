#include "transfer/chunkdigests.h"

#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

// The library picks the fastest code this processor runs (AVX2 where there is one) at run
// time: about twice as fast as the SSE2 code a plain build would inline.
#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>
#if defined(__x86_64__) || defined(__i386__)
#include <xxh_x86dispatch.h>
#endif

struct ChunkDigests::State {
    XXH3_state_t hash;
};

namespace {

Digest canonical(XXH128_hash_t hash)
{
    XXH128_canonical_t bytes;
    XXH128_canonicalFromHash(&bytes, hash);
    Digest out;
    std::memcpy(out.data(), bytes.digest, out.size());
    return out;
}

// The digest of a whole chunk of zeros of each size met, made once.
const Digest& zeroChunk(qint64 size)
{
    thread_local qint64 madeFor = -1;
    thread_local Digest digest;
    if (madeFor != size) {
        const std::vector<char> zeros(static_cast<std::size_t>(size), 0);
        digest = ChunkDigests::Of(zeros.data(), zeros.size());
        madeFor = size;
    }
    return digest;
}

} // namespace

ChunkDigests::ChunkDigests() : m_state(std::make_unique<State>())
{
    Restart(0);
}

ChunkDigests::~ChunkDigests() = default;

Digest ChunkDigests::Of(const void* data, std::size_t count)
{
    return canonical(XXH3_128bits(data, count));
}

bool ChunkDigests::OfFile(int fd, qint64 offset, qint64 count, Digest* digest)
{
    std::vector<char> buffer(std::size_t(1) << 20);
    XXH3_state_t state;
    XXH3_128bits_reset(&state);
    while (count > 0) {
        const ssize_t got =
            ::pread(fd, buffer.data(), std::size_t(std::min<qint64>(count, qint64(buffer.size()))), offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        XXH3_128bits_update(&state, buffer.data(), std::size_t(got));
        offset += got;
        count -= got;
    }
    *digest = canonical(XXH3_128bits_digest(&state));
    return true;
}

void ChunkDigests::Restart(qint64 size)
{
    m_size = size;
    m_chunkSize = ChunkSizeFor(size);
    m_offset = 0;
    m_inChunk = 0;
    m_digests.clear();
    XXH3_128bits_reset(&m_state->hash);
}

void ChunkDigests::completeChunk()
{
    m_digests.push_back(canonical(XXH3_128bits_digest(&m_state->hash)));
    XXH3_128bits_reset(&m_state->hash);
    m_inChunk = 0;
}

void ChunkDigests::Add(const void* data, std::size_t count)
{
    const auto* bytes = static_cast<const char*>(data);
    while (count > 0 && m_offset < m_size) {
        const qint64 room = ChunkBytes(m_offset - m_inChunk) - m_inChunk;
        const auto take = static_cast<std::size_t>(std::min<qint64>(room, qint64(count)));
        XXH3_128bits_update(&m_state->hash, bytes, take);
        bytes += take;
        count -= take;
        m_offset += qint64(take);
        m_inChunk += qint64(take);
        if (m_inChunk == ChunkBytes(m_offset - m_inChunk))
            completeChunk();
    }
}

void ChunkDigests::AddZeros(qint64 count)
{
    static const char zeros[64 * 1024] = {};
    while (count > 0 && m_offset < m_size) {
        const qint64 chunk = ChunkBytes(m_offset - m_inChunk);
        if (m_inChunk == 0 && count >= chunk) {
            // A whole chunk of zeros: the holes of a sparse file are not hashed byte by byte.
            m_digests.push_back(zeroChunk(chunk));
            m_offset += chunk;
            count -= chunk;
            continue;
        }
        const qint64 take = std::min<qint64>({count, qint64(sizeof zeros), chunk - m_inChunk});
        Add(zeros, static_cast<std::size_t>(take));
        count -= take;
    }
}

void ChunkDigests::AddChunk(const Digest& digest)
{
    if (m_inChunk != 0 || m_offset >= m_size)
        return;
    m_digests.push_back(digest);
    m_offset += ChunkBytes(m_offset);
}

Digest ChunkDigests::FileDigest() const
{
    XXH3_state_t state;
    XXH3_128bits_reset(&state);
    std::uint8_t size[8];
    qToLittleEndian<std::uint64_t>(static_cast<std::uint64_t>(m_size), size);
    XXH3_128bits_update(&state, size, sizeof size);
    for (const Digest& digest : m_digests)
        XXH3_128bits_update(&state, digest.data(), digest.size());
    return canonical(XXH3_128bits_digest(&state));
}
