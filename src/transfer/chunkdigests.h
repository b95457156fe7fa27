#pragma once

#include "transfer/extensionmessages.h"

#include <QtGlobal>

#include <cstddef>
#include <memory>
#include <vector>

// The digests of a file's chunks, made as its bytes go by in order, and the file's digest made
// of them: what a resumed file is compared and checked with. A chunk is ChunkSizeFor(size)
// bytes, the last one what is left. A chunk's digest is XXH3-128 of its bytes; the file's
// digest is XXH3-128 of its size (u64, little-endian) and its chunks' digests in order, so
// that a chunk the receiver already held counts with the digest it had. XXH3 hashes at many
// GB/s, a small fraction of what a copy costs; the copy's packets carry their own checksums,
// and a secure copy its own authentication: this is about which bytes are there, not about
// an attacker.
class ChunkDigests {
public:
    ChunkDigests();
    ~ChunkDigests();
    ChunkDigests(const ChunkDigests&) = delete;
    ChunkDigests& operator=(const ChunkDigests&) = delete;

    // A new file of `size` bytes, from its first byte.
    void Restart(qint64 size);
    // The file's next `count` bytes.
    void Add(const void* data, std::size_t count);
    // The file's next `count` bytes, all zero.
    void AddZeros(qint64 count);
    // The file's next chunk whole, known by its digest (it is at a chunk's start).
    void AddChunk(const Digest& digest);

    qint64 Size() const { return m_size; }
    qint64 ChunkSize() const { return m_chunkSize; }
    qint64 Offset() const { return m_offset; }
    bool AtChunkStart() const { return m_offset % m_chunkSize == 0; }
    // Bytes of the chunk that starts at `offset`.
    qint64 ChunkBytes(qint64 offset) const { return std::min(m_chunkSize, m_size - offset); }
    // The digests of the chunks completed so far.
    const std::vector<Digest>& Digests() const { return m_digests; }
    // The file's digest; only meaningful once every byte went by.
    Digest FileDigest() const;

    // XXH3-128 of `count` bytes, as a chunk's digest.
    static Digest Of(const void* data, std::size_t count);
    // The same of `count` bytes of the file open at `fd` from `offset`; false when they
    // cannot all be read.
    static bool OfFile(int fd, qint64 offset, qint64 count, Digest* digest);

private:
    void completeChunk();

    struct State;
    std::unique_ptr<State> m_state;
    qint64 m_size = 0;
    qint64 m_chunkSize = 1;
    qint64 m_offset = 0;
    qint64 m_inChunk = 0; // bytes of the current chunk added so far
    std::vector<Digest> m_digests;
};
