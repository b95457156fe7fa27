#pragma once

#include "transfer/messagesink.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <optional>

struct iovec;
class AppError;
class ChunkDigests;

// The file being sent, read straight into the data areas of the packets that carry it: a
// batch of blocks at a time, checksummed and, when the copy is, enciphered in place.
class BlockReader {
public:
    BlockReader() = default;
    ~BlockReader();

    BlockReader(const BlockReader&) = delete;
    BlockReader& operator=(const BlockReader&) = delete;

    // Packets BuildPackets fills in one call, at most.
    static constexpr std::size_t kMaxBatch = 256;

    // The size of the regular file at `path`, or -1 when it is missing, unreadable or not a
    // regular file.
    static qint64 SizeOf(const QString& path);

    // Opens the regular file at `path` for reading from its start (the file open before is
    // closed); false when it is missing, unreadable or not a regular file.
    bool Open(const QString& path);
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    const QString& Path() const { return m_path; }
    // The file's size when it was opened.
    qint64 Size() const { return m_size; }
    // The file had all its blocks on the disk when it was opened (it has no holes): NextData
    // and NextHole need not be asked.
    bool Dense() const { return m_dense; }
    // Its modification time (ns since the epoch) and permission bits when it was opened.
    qint64 ModifiedNs() const { return m_modifiedNs; }
    std::uint32_t Mode() const { return m_mode; }

    // Reads on from `offset` (no call when the reads are there already).
    void SeekTo(qint64 offset);
    // Where data starts again at or after `offset`: the size when only a hole follows,
    // `offset` when the system cannot tell.
    qint64 NextData(qint64 offset) const;
    // Where the next hole starts at or after `offset` (the end counts as one); the size when
    // the system cannot tell.
    qint64 NextHole(qint64 offset) const;

    // Inside sealed records, which authenticate every block already, the packets carry no
    // block checksum: BuildPackets then writes 0 there.
    void SetChecksummed(bool checksummed) { m_checksummed = checksummed; }
    // Where the bytes read go on to be digested (resume), before any cipher; none when null.
    void SetDigests(ChunkDigests* digests) { m_digests = digests; }
    // The open file's descriptor, for reading elsewhere (pread), or -1.
    int Descriptor() const { return m_fd; }

    // Data packet i of the batch at room.At(i) (n at most kMaxBatch): its data area
    // read from the file (counts[i] bytes, zero past them), checksummed, enciphered with
    // `key` when given, and its fields set. Throws AppError when the file cannot be read or
    // ends first (it became shorter since its size was announced).
    void BuildPackets(const MessageSink::Room& room, const std::int32_t* counts, std::size_t n,
                      std::optional<std::uint16_t> key);

private:
    // Files larger than this are read with sequential read-ahead advice.
    static constexpr qint64 kSequentialFrom = qint64(256) << 10;

    void readFully(iovec* iov, int count);
    // "Cannot read" the file, with errno's text.
    AppError readError() const;

    int m_fd = -1;
    bool m_checksummed = true;
    ChunkDigests* m_digests = nullptr;
    QString m_path;
    qint64 m_size = 0;
    bool m_dense = false;
    qint64 m_modifiedNs = 0;
    std::uint32_t m_mode = 0;
    // Where the next read starts; -1 once a search for data or holes has moved it.
    mutable qint64 m_position = 0;
};
