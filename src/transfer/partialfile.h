#pragma once

#include "transfer/chunkdigests.h"
#include "transfer/extensionmessages.h"
#include "transfer/partialstore.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <map>

class ReceivedFile;

// The receiver's side of resume for the file being received in a copy that carries it: the
// digests of its chunks as its bytes arrive (checked against the sender's at its end), and,
// for a file kept when cut off, its partial file and record (PartialStore): which chunks an
// earlier copy left, what the sender keeps of them, and what this copy adds.
class PartialFile {
public:
    // Works in the receive directory open at `receiveFd` (a copy is kept); Close ends that.
    bool Open(int receiveFd, QString* error) { return m_store.Open(receiveFd, error); }
    void Close();

    // A file of `size` bytes begins: its digests start over; it is no partial file (yet).
    void Begin(qint64 size);
    // Makes `file` the partial file of `id`, to become `name` in the folder open at `folder`:
    // the one an earlier copy left when it matches (its chunks are then held), else a new
    // one. False when no partial file can be made (the caller makes the file as usual);
    // `note` says what was thrown away, if anything, for the log.
    bool Create(ReceivedFile& file, int folder, const QByteArray& name, const PartialStore::Identity& id,
                QString* note);
    bool IsPartial() const { return m_partial; }
    // The room on the disk that the partial file of `id` holds already (see PartialStore).
    qint64 SpaceHeld(const PartialStore::Identity& id) const { return m_store.SpaceHeld(id); }

    // What the receiver holds of the file, for its sender.
    ResumeOffer Offer(std::uint32_t entry) const;
    qint64 HeldBytes() const;

    // The bytes the file gets next: `n` pieces written at `offset` (`written` says whether
    // the write went through, so that their chunks can be recorded).
    void BeforeWrite(qint64 offset, qint64 count);
    void Wrote(std::uint8_t* const* pieces, const std::size_t* counts, std::size_t n, bool written);
    void Zeros(qint64 offset, qint64 count);
    // `count` bytes at `offset` that the receiver holds: false, with the reason, unless they
    // are held chunks from a chunk's start to a chunk's end or the file's end.
    bool Keep(qint64 offset, qint64 count, QString* problem);
    Digest FileDigest() const { return m_digests.FileDigest(); }

    // The file was cut off and its partial file left in place (`flushed`: its data reached
    // the disk); or it is done with, complete or not to be kept: its record goes (true when
    // there was one).
    void Leave(bool flushed);
    bool Drop();
    void RemoveFolderIfEmpty() { m_store.RemoveFolderIfEmpty(); }

private:
    void recordNew(std::size_t before);

    PartialStore m_store;
    ChunkDigests m_digests;
    std::map<std::uint32_t, Digest> m_held;
    bool m_partial = false;
};
