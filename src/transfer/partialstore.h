#pragma once

#include "transfer/extensionmessages.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>
#include <map>

// What a receiver keeps of files that were cut off, so that the next copy of the same file
// goes on from there: the hidden folder ".ferrowarden-partial" in the receive directory holds,
// per file, its data so far ("<key>.part") and a record ("<key>.record"). The key is made of
// the sender's name and the file's relative path, so a later copy of that path from that
// sender finds it; the record also says the file's size and modification time, and must
// match them too.
//
// The record is a header (checked by its own digest) followed by 32-byte entries, appended
// as the file is written: "chunk i holds digest d" once chunk i was written whole, "chunk i
// no longer holds what was said" before chunk i is written over, and "closed cleanly" after
// the data was flushed to the disk when a file was cut off with the receiver still running.
// Appending costs one small write per chunk, so a receiver killed outright loses at most the
// chunk it was writing; after such a stop (no "closed cleanly" last), the chunks named are
// read back and checked before they are offered, since the disk may not hold all that the
// record says after a power cut. A record that is damaged, or a data file shorter than the
// chunks it names, is thrown away.
class PartialStore {
public:
    static constexpr const char* kFolder = ".ferrowarden-partial";

    struct Identity {
        QByteArray sender;
        QByteArray path; // relative, as sent
        qint64 size = 0;
        qint64 modifiedNs = 0;
    };

    PartialStore() = default;
    ~PartialStore();
    PartialStore(const PartialStore&) = delete;
    PartialStore& operator=(const PartialStore&) = delete;

    // Works in the receive directory open at `receiveFd` (a copy of it is kept); the folder
    // is made when the first partial file is.
    bool Open(int receiveFd, QString* error);
    void Close();

    // The partial of `id`, if one is kept and usable: true, with the chunks it holds (index
    // to digest) in `held` and its data file's name in the folder in `partName`; its record
    // stays open for what follows. False when there is none; `thrownAway` then says why one
    // that was there went (damaged, shorter than its record, another version of the file),
    // or is empty.
    bool Resume(const Identity& id, std::map<std::uint32_t, Digest>* held, QByteArray* partName, QString* thrownAway);
    // The bytes the partial of `id` takes on the disk (at most its size) when one is kept
    // for that very file, else 0: room that resuming it does not need again. Looks only.
    qint64 SpaceHeld(const Identity& id) const;
    // Starts the record of a new partial of `id`, replacing any other: its data file's name
    // in the folder in `partName`. False, with the reason in `error`.
    bool Start(const Identity& id, QByteArray* partName, QString* error);

    int FolderFd() const { return m_folder; }

    // The open record: chunk `index` now holds `digest`; chunk `index` is about to be written
    // over; the data was flushed and the receiver stops cleanly.
    void Record(std::uint32_t index, const Digest& digest);
    void Invalidate(std::uint32_t index);
    void MarkClean();
    // Closes the open record; with `remove`, removes it and its data file's name as well.
    void Finish(bool remove);
    // Removes the folder if nothing is left in it.
    void RemoveFolderIfEmpty();

    // When hosting starts: removes partials whose record is older than `maxAgeSeconds`, or
    // damaged, or without their data file (and data files without a record), then the
    // oldest until all of them take at most `budget` bytes (-1: half the room the disk
    // would have without them). Partials in use by a running receiver stay. Lines for the
    // log, one per partial removed.
    static QStringList Expire(const QByteArray& receiveDirectory, qint64 maxAgeSeconds, qint64 budget = -1);
    static constexpr qint64 kMaxAgeSeconds = 7 * 24 * 3600;

private:
    bool makeFolder(QString* error);
    void appendEntry(std::uint32_t index, std::uint32_t kind, const Digest& digest);

    int m_receive = -1;
    int m_folder = -1;
    int m_record = -1; // the open record, appended to
    QByteArray m_key;  // its key
};
