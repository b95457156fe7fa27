#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstddef>
#include <cstdint>

// One file being received: its bytes go straight from the caller's buffers into a temporary
// file next to the target (gathered, one system call for many pieces), which replaces the
// target only when the file is complete. Until then an existing file of that name stays
// untouched; a discarded file leaves nothing behind. The temporary file has no name at all
// where the file system allows (O_TMPFILE): it gets the target's name when complete (or a
// temporary one that is renamed over an existing target), and vanishes with a receiver that
// is killed. Elsewhere it is a hidden file ".ferrowarden-*.part".
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
    // Reserves room for `size` bytes on the disk (files of 1 MiB and more), so that a file
    // that fits does not fail half-way and its blocks lie together. False, with the reason in `error`, when the
    // disk has no room for it; true where the file system cannot reserve (nothing is
    // reserved then, and writes find out as they go).
    bool Reserve(qint64 size, QString* error);

    // Removes the temporary files in `directory` (local bytes, empty or ending in "/") that
    // no running receiver holds: what a receiver killed outright left behind. A receiver
    // holds its temporary file with an advisory lock. Returns the names removed.
    static QList<QByteArray> RemoveLeftovers(const QByteArray& directory);
    bool IsOpen() const { return m_fd >= 0; }

    // Appends `n` pieces (pieces[i] of counts[i] bytes) in order; the first failure of the
    // file is remembered and its later writes skipped.
    void Write(const std::uint8_t* const* pieces, const std::size_t* counts, std::size_t n);
    void Write(const void* data, std::size_t count);
    bool Failed() const { return !m_error.isEmpty(); }
    const QString& ErrorText() const { return m_error; }
    // Bytes written so far.
    qint64 Written() const { return m_written; }

    // Closes and renames over the target. False, with the reason in `error`, when any
    // write, the close or the rename failed; the temporary file is then removed.
    bool Commit(QString* error);
    // Closes and removes the temporary file.
    void Discard();

private:
    void fail(int errorNumber);
    void linkAnonymous();
    // Opens a new hidden temporary file in `directory`; -1 (errno set) on failure.
    static int openTemporary(const QByteArray& directory, QByteArray* name);
    // Whether /proc/self/fd names open files, which naming a nameless file needs.
    static bool procFdUsable();

    int m_fd = -1;
    qint64 m_written = 0;
    QByteArray m_target;
    QByteArray m_temp; // the temporary name, empty while the file has none
    QString m_error;
};
