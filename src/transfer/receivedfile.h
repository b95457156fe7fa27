#pragma once

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

    // Removes the temporary files in `directory` (local bytes, empty or ending in "/") that
    // no running receiver holds: what a receiver killed outright left behind. A receiver
    // holds its temporary file with an advisory lock. Returns the names removed.
    static QList<QByteArray> RemoveLeftovers(const QByteArray& directory);
    bool IsOpen() const { return m_fd >= 0; }

    // Buffered; the first failure of the file is remembered and its later writes skipped.
    void Write(const void* data, std::size_t count);
    bool Failed() const { return !m_error.isEmpty(); }
    const QString& ErrorText() const { return m_error; }

    // Writes what is buffered, closes and renames over the target. False, with the
    // reason in `error`, when any write, the close or the rename failed; the temporary
    // file is then removed.
    bool Commit(QString* error);
    // Closes and removes the temporary file.
    void Discard();

private:
    bool flushBuffer();
    void fail(int errorNumber);

    std::unique_ptr<std::byte[]> m_buffer;
    std::size_t m_capacity;
    std::size_t m_used = 0;
    int m_fd = -1;
    QByteArray m_target;
    QByteArray m_temp;
    QString m_error;
};
