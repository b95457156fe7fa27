#pragma once

#include "transfer/existingfiles.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstddef>
#include <cstdint>

// One file being received: its bytes go straight from the caller's buffers into a temporary
// file next to the target (gathered, one system call for many pieces), which replaces the
// target only when the file is complete. Until then an existing file of that name stays
// untouched; a discarded file leaves nothing behind. The temporary file has no name at all
// where the file system allows (O_TMPFILE): it gets its name when complete, and vanishes
// with a receiver that is killed. Elsewhere it is a hidden file ".ferrowarden-*.part".
class ReceivedFile {
public:
    ReceivedFile() = default;
    ~ReceivedFile();

    ReceivedFile(const ReceivedFile&) = delete;
    ReceivedFile& operator=(const ReceivedFile&) = delete;

    // Starts a file that will become `target` (a path in local bytes). False, with the
    // reason in `error`, when the temporary file cannot be made or the target is a
    // directory.
    bool Create(const QByteArray& target, QString* error);
    // The same for `name`, one part of a path, in the directory open at `directoryFd`. The
    // file borrows that descriptor: the caller keeps it open until the file is committed or
    // discarded. A link of that name is never followed: the file takes its place.
    // `mayBeFolder` false: the caller knows that no folder has that name (it read the
    // folder), so it is not looked for.
    bool CreateAt(int directoryFd, const QByteArray& name, QString* error, bool mayBeFolder = true);
    // The same, written under the name `partName` in the folder open at `partFolderFd` (a
    // receiver's partial file, which survives it): its bytes so far stay when `reuse`, and
    // Detach leaves it there. Commit moves it to `name`.
    bool CreatePartial(int directoryFd, const QByteArray& name, int partFolderFd, const QByteArray& partName,
                       bool reuse, QString* error);
    // The modification time (ns since 1970) and permission bits the file gets when it is
    // committed; without it, it keeps its own.
    void SetAttributes(qint64 modifiedNs, std::uint32_t mode);
    // Whether the files made from now on get the permission bits they are made with, less
    // the umask (their folder has no default ACL): then a file whose mode is what it was
    // made with is not set again. Off (the default), the mode is always set.
    void SetFolderKeepsModes(bool keeps) { m_folderKeepsModes = keeps; }
    // True when something of the name `name` is in the directory open at `directoryFd`
    // (AT_FDCWD: `name` is a path); links are not followed.
    static bool Exists(int directoryFd, const QByteArray& name);
    // Reserves room for `size` bytes on the disk (files of 1 MiB and more), so that a file
    // that fits does not fail half-way and its blocks lie together. False, with the reason
    // in `error`, when the disk has no room for it; true where the file system cannot
    // reserve (nothing is reserved then, and writes find out as they go).
    bool Reserve(qint64 size, QString* error);

    // Whether files are made nameless where the file system allows (the default); off, every
    // file gets a temporary name, as on file systems without nameless files.
    static void SetNamelessFiles(bool allowed) { s_namelessAllowed = allowed; }

    // Removes the temporary files in `directory` (local bytes, empty or ending in "/") that
    // no running receiver holds: what a receiver killed outright left behind. A receiver
    // holds its temporary file with an advisory lock. Returns the names removed.
    static QList<QByteArray> RemoveLeftovers(const QByteArray& directory);
    bool IsOpen() const { return m_fd >= 0; }

    // Appends `n` pieces (pieces[i] of counts[i] bytes) in order; the first failure of the
    // file is remembered and its later writes skipped.
    void Write(const std::uint8_t* const* pieces, const std::size_t* counts, std::size_t n);
    void Write(const void* data, std::size_t count);
    // Moves on by `count` bytes that stay zero, leaving a hole in the file (what Reserve
    // took for them is given back).
    void Skip(qint64 count);
    // Moves on by `count` bytes that the file holds already (a partial file reused).
    void Keep(qint64 count);
    bool Failed() const { return !m_error.isEmpty(); }
    const QString& ErrorText() const { return m_error; }
    // The errno of the first failure (ENOSPC: the disk is full), or 0.
    int ErrorNumber() const { return m_errorNumber; }
    // Bytes written, skipped or kept so far: where the next bytes go.
    qint64 Written() const { return m_written; }
    // Bytes written (or skipped) so far.

    // How Commit put the file in place, and under which name (the target's last part, or
    // the numbered name it got).
    enum class Placed { New, Replaced, Renamed, Kept };
    struct Placement {
        Placed how = Placed::New;
        QByteArray name;
    };

    // Closes and renames over the target. False, with the reason in `error`, when any
    // write, the close or the rename failed; the temporary file is then removed.
    bool Commit(QString* error);
    // The same, where a file of the target's name is dealt with as `existing` says: it is
    // replaced, the file goes under the first free NumberedName, or the existing file is
    // kept and this one removed (Placed::Kept). No existing file is replaced unless asked.
    bool Commit(ExistingFiles existing, Placement* placed, QString* error);
    // Closes and removes the temporary file.
    void Discard();
    // Closes a partial file and leaves it where it is, its data flushed to the disk first:
    // false when that failed (what is on the disk is then not to be trusted).
    bool Detach();
    bool IsPartial() const { return m_partFolderFd >= 0; }

private:
    // Opens the file being written in the directory `directoryPart` (of m_directoryFd):
    // nameless where it can, else under a temporary name.
    bool openFile(const QByteArray& directoryPart, QString* error);
    bool openTemporary(const QByteArray& directoryPart, QString* error);
    void fail(int errorNumber);
    // Puts the file in place under `name` unless that name is taken: 0, EEXIST, or errno.
    int placeWithoutReplacing(const QByteArray& name);
    // Puts the file under `leaf` or the first of its numbered names that `place` can take.
    template <typename Place>
    static int placeNumbered(const QByteArray& directoryPart, const QByteArray& leaf, Placement* placed, Place place);
    // Gives the nameless file the name `name` (of m_directoryFd) unless it is taken: 0,
    // EEXIST, or errno.
    int linkNameless(const QByteArray& name);
    // Gives the nameless file a temporary name (m_temp), to be renamed over an existing file.
    bool nameTemporarily(const QByteArray& directoryPart);
    void releaseDirectory();
    // Where the temporary name is: the partial folder, or the target's directory.
    int tempDirectory() const { return m_partFolderFd >= 0 ? m_partFolderFd : m_directoryFd; }
    void resetState();
    // Sets the mode and time the file is to have (SetAttributes; a partial file without
    // them gets the mode a new file would have).
    void applyAttributes();
    qint64 fileLength() const;
    // Whether /proc/self/fd names open files, which naming a nameless file needs.
    static bool procFdUsable();

    static inline bool s_namelessAllowed = true;

    int m_fd = -1;
    qint64 m_written = 0;
    bool m_holeAtEnd = false;     // the last bytes were skipped: the size must still be set
    bool m_reserved = false;      // room was reserved for the whole file
    int m_directoryFd = -1;       // what m_target and m_temp are relative to (AT_FDCWD, or ours)
    bool m_ownsDirectory = false; // m_directoryFd is ours to close (else borrowed or AT_FDCWD)
    QByteArray m_target;
    QByteArray m_temp;       // the temporary name; empty while the file has none
    int m_partFolderFd = -1; // ours: the folder of a partial file, else -1
    bool m_reused = false;   // a partial file's earlier bytes are there
    qint64 m_modifiedNs = 0;
    std::uint32_t m_mode = 0;
    bool m_attributes = false;
    bool m_folderKeepsModes = false;
    QString m_error;
    int m_errorNumber = 0;
};
