#pragma once

#include "transfer/existingfiles.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstddef>
#include <memory>

// One file being received: its bytes go through a large buffer into a temporary file next
// to the target, which replaces the target only when the file is complete. Until then an
// existing file of that name stays untouched; a discarded file leaves nothing behind.
class ReceivedFile {
public:
    static constexpr std::size_t kDefaultBufferSize = std::size_t(1) << 20;

    explicit ReceivedFile(std::size_t bufferSize = kDefaultBufferSize);
    ~ReceivedFile();

    ReceivedFile(const ReceivedFile&) = delete;
    ReceivedFile& operator=(const ReceivedFile&) = delete;

    // Starts a file that will become `target` (a path in local bytes). False, with the
    // reason in `error`, when the temporary file cannot be made or the target is a
    // directory.
    bool Create(const QByteArray& target, QString* error);
    // The same for `name`, one part of a path, in the directory open at `directoryFd` (kept
    // open by a copy of its own until the file ends). A link of that name is never followed:
    // the file takes its place.
    bool CreateAt(int directoryFd, const QByteArray& name, QString* error);
    // True when something of the name `name` is in the directory open at `directoryFd`
    // (AT_FDCWD: `name` is a path); links are not followed.
    static bool Exists(int directoryFd, const QByteArray& name);

    // Removes the temporary files in `directory` (local bytes, empty or ending in "/") that
    // no running receiver holds: what a receiver killed outright left behind. A receiver
    // holds its temporary file with an advisory lock. Returns the names removed.
    static QList<QByteArray> RemoveLeftovers(const QByteArray& directory);
    bool IsOpen() const { return m_fd >= 0; }

    // Buffered; the first failure of the file is remembered and its later writes skipped.
    void Write(const void* data, std::size_t count);
    // Moves on by `count` bytes that stay zero, leaving a hole in the file.
    void Skip(qint64 count);
    bool Failed() const { return !m_error.isEmpty(); }
    const QString& ErrorText() const { return m_error; }
    // The errno of the first failure (ENOSPC: the disk is full), or 0.
    int ErrorNumber() const { return m_errorNumber; }

    // How Commit put the file in place, and under which name (the target's last part, or
    // the numbered name it got).
    enum class Placed { New, Replaced, Renamed, Kept };
    struct Placement {
        Placed how = Placed::New;
        QByteArray name;
    };

    // Writes what is buffered, closes and renames over the target. False, with the
    // reason in `error`, when any write, the close or the rename failed; the temporary
    // file is then removed.
    bool Commit(QString* error);
    // The same, where a file of the target's name is dealt with as `existing` says: it is
    // replaced, the file goes under the first free NumberedName, or the existing file is
    // kept and this one removed (Placed::Kept). No existing file is replaced unless asked.
    bool Commit(ExistingFiles existing, Placement* placed, QString* error);
    // Closes and removes the temporary file.
    void Discard();

private:
    bool openTemporary(const QByteArray& directoryPart, QString* error);
    bool flushBuffer();
    void fail(int errorNumber);
    // Renames the temporary file to `name` unless that name is taken: 0, EEXIST, or errno.
    int placeWithoutReplacing(const QByteArray& name);
    void releaseDirectory();

    std::unique_ptr<std::byte[]> m_buffer;
    std::size_t m_capacity;
    std::size_t m_used = 0;
    int m_fd = -1;
    int m_directoryFd = -1; // what m_target and m_temp are relative to (AT_FDCWD, or ours)
    QByteArray m_target;
    QByteArray m_temp;
    QString m_error;
    int m_errorNumber = 0;
};
