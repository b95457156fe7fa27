#include "transfer/receivedfile.h"

#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

QString errorText(int errorNumber)
{
    return QString::fromLocal8Bit(std::strerror(errorNumber));
}

const char* const kTempPrefix = ".ferrowarden-";
const char* const kTempSuffix = ".part";
// Seconds a temporary file must have been left alone before it counts as a leftover.
constexpr time_t kLeftoverAge = 10;

// The directory part of `path` including its last "/", or empty for a bare name.
QByteArray directoryOf(const QByteArray& path)
{
    return path.left(path.lastIndexOf('/') + 1);
}

} // namespace

QList<QByteArray> ReceivedFile::RemoveLeftovers(const QByteArray& directory)
{
    QList<QByteArray> removed;
    DIR* dir = ::opendir(directory.isEmpty() ? "." : directory.constData());
    if (!dir)
        return removed;
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (!name.startsWith(kTempPrefix) || !name.endsWith(kTempSuffix))
            continue;
        const QByteArray path = directory + name;
        const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0)
            continue;
        struct stat info {};
        // Held by a running receiver, just made (its lock may not be taken yet), or not a
        // plain file: not ours to remove.
        const bool old = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)
                         && ::time(nullptr) - info.st_mtime > kLeftoverAge;
        if (old && ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::unlink(path.constData()) == 0)
            removed << name;
        ::close(fd);
    }
    ::closedir(dir);
    return removed;
}

ReceivedFile::~ReceivedFile()
{
    Discard();
}

bool ReceivedFile::Create(const QByteArray& target, QString* error)
{
    Discard();
    struct stat info {};
    if (::stat(target.constData(), &info) == 0 && S_ISDIR(info.st_mode)) {
        *error = errorText(EISDIR);
        return false;
    }
    const QByteArray directory = directoryOf(target);
    m_target = target;
    m_written = 0;
    m_error.clear();
    m_temp.clear();
    // A file without a name until it is complete: nothing to rename, and nothing left behind
    // when the receiver dies. Where the file system cannot make one, a temporary name.
    if (procFdUsable()) {
        const int fd = ::open(directory.isEmpty() ? "." : directory.constData(),
                              O_WRONLY | O_TMPFILE | O_CLOEXEC, 0666);
        if (fd >= 0) {
            m_fd = fd;
            return true;
        }
    }
    const int fd = openTemporary(directory, &m_temp);
    if (fd < 0) {
        *error = errorText(errno);
        return false;
    }
    // Marks the file as in use, so that no other receiver takes it for a leftover.
    ::flock(fd, LOCK_EX | LOCK_NB);
    m_fd = fd;
    return true;
}

bool ReceivedFile::procFdUsable()
{
    static const bool usable = ::access("/proc/self/fd", X_OK) == 0;
    return usable;
}

int ReceivedFile::openTemporary(const QByteArray& directory, QByteArray* name)
{
    // The temporary name does not grow with the target's, so a 255-byte name still fits.
    for (int attempt = 0; attempt < 16; ++attempt) {
        const QByteArray temp = directory + kTempPrefix
                                + QByteArray::number(QRandomGenerator::global()->generate64(), 16)
                                + kTempSuffix;
        const int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) {
            *name = temp;
            return fd;
        }
    }
    errno = EEXIST;
    return -1;
}

void ReceivedFile::fail(int errorNumber)
{
    if (m_error.isEmpty())
        m_error = errorText(errorNumber);
}

bool ReceivedFile::Reserve(qint64 size, QString* error)
{
    // A small file costs its reservation more than it gains from it.
    constexpr qint64 kReserveFrom = qint64(1) << 20;
    if (!IsOpen() || size < kReserveFrom)
        return true;
    // The size stays as written: a file cut off never looks longer than what arrived.
    if (::fallocate(m_fd, FALLOC_FL_KEEP_SIZE, 0, size) == 0)
        return true;
    const int reason = errno;
    if (reason == ENOSPC || reason == EDQUOT || reason == EFBIG) {
        *error = errorText(reason);
        return false;
    }
    return true; // the file system cannot reserve (or was interrupted): write as it comes
}

void ReceivedFile::Write(const void* data, std::size_t count)
{
    const auto* piece = static_cast<const std::uint8_t*>(data);
    Write(&piece, &count, 1);
}

void ReceivedFile::Write(const std::uint8_t* const* pieces, const std::size_t* counts, std::size_t n)
{
    if (!IsOpen() || Failed())
        return;
    // Up to this many pieces per call; what one call leaves unwritten is taken up by the next.
    constexpr std::size_t kMaxPieces = 1024;
    iovec iov[kMaxPieces];
    std::size_t next = 0;     // the first piece not yet in iov
    std::size_t skip = 0;     // bytes of pieces[next] already written
    while (next < n) {
        std::size_t used = 0;
        std::size_t bytes = 0;
        for (std::size_t i = next; i < n && used < kMaxPieces; ++i) {
            const std::size_t offset = i == next ? skip : 0;
            if (counts[i] == offset)
                continue;
            iov[used++] = {const_cast<std::uint8_t*>(pieces[i]) + offset, counts[i] - offset};
            bytes += counts[i] - offset;
        }
        if (used == 0)
            return;
        const ssize_t written = ::pwritev(m_fd, iov, int(used), m_written);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            fail(errno);
            return;
        }
        if (written == 0) {
            fail(ENOSPC);
            return;
        }
        m_written += written;
        // Step past what was written, whole pieces and perhaps part of one.
        auto left = static_cast<std::size_t>(written);
        while (next < n && left >= counts[next] - skip) {
            left -= counts[next] - skip;
            skip = 0;
            ++next;
        }
        skip += left;
    }
}

bool ReceivedFile::Commit(QString* error)
{
    if (!IsOpen()) {
        *error = errorText(EBADF);
        return false;
    }
    if (m_temp.isEmpty() && !Failed())
        linkAnonymous();
    if (::close(m_fd) != 0)
        fail(errno);
    m_fd = -1;
    if (!Failed() && !m_temp.isEmpty() && ::rename(m_temp.constData(), m_target.constData()) != 0)
        fail(errno);
    if (Failed()) {
        if (!m_temp.isEmpty())
            ::unlink(m_temp.constData());
        *error = m_error;
        m_error.clear();
        return false;
    }
    return true;
}

// Gives the nameless file its name: the target's where none exists, else a temporary name
// that then replaces the target, so that an existing file is swapped whole, never opened.
void ReceivedFile::linkAnonymous()
{
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", m_fd);
    if (::linkat(AT_FDCWD, self, AT_FDCWD, m_target.constData(), AT_SYMLINK_FOLLOW) == 0)
        return;
    if (errno != EEXIST) {
        fail(errno);
        return;
    }
    const QByteArray directory = directoryOf(m_target);
    for (int attempt = 0; attempt < 16; ++attempt) {
        const QByteArray temp = directory + kTempPrefix
                                + QByteArray::number(QRandomGenerator::global()->generate64(), 16)
                                + kTempSuffix;
        if (::linkat(AT_FDCWD, self, AT_FDCWD, temp.constData(), AT_SYMLINK_FOLLOW) == 0) {
            m_temp = temp; // renamed over the target by Commit
            return;
        }
        if (errno != EEXIST)
            break;
    }
    fail(errno);
}

void ReceivedFile::Discard()
{
    if (!IsOpen())
        return;
    ::close(m_fd);
    m_fd = -1;
    m_written = 0;
    m_error.clear();
    // A nameless file goes with its descriptor.
    if (!m_temp.isEmpty())
        ::unlink(m_temp.constData());
}
