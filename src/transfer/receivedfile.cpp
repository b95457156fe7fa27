#include "transfer/receivedfile.h"

#include "transfer/filetimes.h"

#include <QRandomGenerator>

#include <algorithm>
#include <atomic>
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
// A small file costs its reservation more than it gains from it.
constexpr qint64 kReserveFrom = qint64(1) << 20;
// What a received file is made with, before the umask.
constexpr mode_t kCreatedMode = 0666;

// The directory part of `path` including its last "/", or empty for a bare name.
QByteArray directoryOf(const QByteArray& path)
{
    return path.left(path.lastIndexOf('/') + 1);
}

// A fresh temporary name in `directoryPart`; it does not grow with the target's, so a
// 255-byte name still fits.
QByteArray temporaryName(const QByteArray& directoryPart)
{
    return directoryPart + kTempPrefix + QByteArray::number(QRandomGenerator::global()->generate64(), 16) + kTempSuffix;
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
        const bool old =
            ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && ::time(nullptr) - info.st_mtime > kLeftoverAge;
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
    m_directoryFd = AT_FDCWD;
    m_ownsDirectory = false;
    m_target = target;
    return openFile(directoryOf(target), error);
}

bool ReceivedFile::CreateAt(int directoryFd, const QByteArray& name, QString* error, bool mayBeFolder)
{
    Discard();
    struct stat info {};
    if (mayBeFolder && ::fstatat(directoryFd, name.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0
        && S_ISDIR(info.st_mode)) {
        *error = errorText(EISDIR);
        return false;
    }
    m_directoryFd = directoryFd;
    m_ownsDirectory = false;
    m_target = name;
    return openFile(QByteArray(), error);
}

bool ReceivedFile::CreatePartial(int directoryFd, const QByteArray& name, int partFolderFd, const QByteArray& partName,
                                 bool reuse, QString* error)
{
    Discard();
    struct stat info {};
    if (::fstatat(directoryFd, name.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode)) {
        *error = errorText(EISDIR);
        return false;
    }
    m_directoryFd = ::fcntl(directoryFd, F_DUPFD_CLOEXEC, 0);
    m_ownsDirectory = true;
    m_partFolderFd = ::fcntl(partFolderFd, F_DUPFD_CLOEXEC, 0);
    if (m_directoryFd < 0 || m_partFolderFd < 0) {
        *error = errorText(errno);
        releaseDirectory();
        return false;
    }
    m_target = name;
    resetState();
    const int fd = ::openat(m_partFolderFd, partName.constData(),
                            O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (reuse ? 0 : O_TRUNC), 0600);
    if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *error = errorText(fd < 0 ? errno : EBUSY);
        if (fd >= 0)
            ::close(fd);
        releaseDirectory();
        return false;
    }
    m_fd = fd;
    m_temp = partName;
    m_reused = reuse;
    return true;
}

void ReceivedFile::SetAttributes(qint64 modifiedNs, std::uint32_t mode)
{
    m_modifiedNs = modifiedNs;
    m_mode = mode;
    m_attributes = true;
}

bool ReceivedFile::Exists(int directoryFd, const QByteArray& name)
{
    struct stat info {};
    return ::fstatat(directoryFd, name.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

bool ReceivedFile::procFdUsable()
{
    static const bool usable = ::access("/proc/self/fd", X_OK) == 0;
    return usable;
}

void ReceivedFile::resetState()
{
    m_written = 0;
    m_reserved = false;
    m_holeAtEnd = false;
    m_error.clear();
    m_errorNumber = 0;
    m_temp.clear();
    m_reused = false;
    m_attributes = false;
}

bool ReceivedFile::openFile(const QByteArray& directoryPart, QString* error)
{
    resetState();
    if (s_namelessAllowed && procFdUsable()) {
        const int fd = ::openat(m_directoryFd, directoryPart.isEmpty() ? "." : directoryPart.constData(),
                                O_WRONLY | O_TMPFILE | O_CLOEXEC, kCreatedMode);
        if (fd >= 0) {
            m_fd = fd;
            return true;
        }
    }
    return openTemporary(directoryPart, error);
}

bool ReceivedFile::openTemporary(const QByteArray& directoryPart, QString* error)
{
    for (int attempt = 0; attempt < 16; ++attempt) {
        const QByteArray temp = temporaryName(directoryPart);
        const int fd = ::openat(m_directoryFd, temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                                kCreatedMode);
        if (fd >= 0) {
            // Marks the file as in use, so that no other receiver takes it for a leftover.
            ::flock(fd, LOCK_EX | LOCK_NB);
            m_fd = fd;
            m_temp = temp;
            return true;
        }
        if (errno != EEXIST) {
            *error = errorText(errno);
            releaseDirectory();
            return false;
        }
    }
    *error = errorText(EEXIST);
    releaseDirectory();
    return false;
}

void ReceivedFile::releaseDirectory()
{
    if (m_directoryFd >= 0 && m_ownsDirectory)
        ::close(m_directoryFd);
    m_directoryFd = -1;
    m_ownsDirectory = false;
    if (m_partFolderFd >= 0)
        ::close(m_partFolderFd);
    m_partFolderFd = -1;
}

void ReceivedFile::fail(int errorNumber)
{
    if (m_error.isEmpty()) {
        m_error = errorText(errorNumber);
        m_errorNumber = errorNumber;
    }
}

bool ReceivedFile::Reserve(qint64 size, QString* error)
{
    if (!IsOpen() || size < kReserveFrom)
        return true;
    // The size stays as written: a file cut off never looks longer than what arrived.
    if (::fallocate(m_fd, FALLOC_FL_KEEP_SIZE, 0, size) == 0) {
        m_reserved = true;
        return true;
    }
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
    std::size_t next = 0; // the first piece not yet written whole
    std::size_t skip = 0; // bytes of pieces[next] already written
    while (next < n) {
        std::size_t used = 0;
        for (std::size_t i = next; i < n && used < kMaxPieces; ++i) {
            const std::size_t offset = i == next ? skip : 0;
            if (counts[i] > offset)
                iov[used++] = {const_cast<std::uint8_t*>(pieces[i]) + offset, counts[i] - offset};
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
        m_holeAtEnd = false;
        // Step past what was written: whole pieces, and perhaps part of one.
        auto left = static_cast<std::size_t>(written);
        while (next < n && left >= counts[next] - skip) {
            left -= counts[next] - skip;
            skip = 0;
            ++next;
        }
        skip += left;
    }
}

void ReceivedFile::Skip(qint64 count)
{
    if (!IsOpen() || Failed() || count <= 0)
        return;
    if (m_reused) {
        // The bytes there are an earlier copy's: they become zeros.
        if (::ftruncate(m_fd, std::max<qint64>(m_written + count, fileLength())) != 0
            || ::fallocate(m_fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, m_written, count) != 0) {
            static const char zeros[64 * 1024] = {};
            const qint64 end = m_written + count;
            while (m_written < end && !Failed()) {
                const auto piece = static_cast<std::size_t>(std::min<qint64>(end - m_written, sizeof zeros));
                Write(zeros, piece);
            }
            return;
        }
        m_written += count;
        m_holeAtEnd = true;
        return;
    }
    // Writes go to their offsets, so what is skipped stays a hole; what was reserved for it
    // is given back.
    // (A hole is punched only below the file's end: the size moves on first.)
    if (m_reserved && ::ftruncate(m_fd, m_written + count) == 0)
        ::fallocate(m_fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, m_written, count);
    m_written += count;
    m_holeAtEnd = true;
}

void ReceivedFile::Keep(qint64 count)
{
    if (!IsOpen() || Failed() || count <= 0)
        return;
    m_written += count;
    m_holeAtEnd = true;
}

qint64 ReceivedFile::fileLength() const
{
    struct stat info {};
    return ::fstat(m_fd, &info) == 0 ? qint64(info.st_size) : 0;
}

bool ReceivedFile::Detach()
{
    if (!IsOpen())
        return true;
    // What was reserved past the bytes written goes back: a file kept for later takes only
    // the room of what arrived.
    if (m_reserved)
        ::ftruncate(m_fd, fileLength());
    const bool flushed = ::fdatasync(m_fd) == 0;
    ::close(m_fd);
    m_fd = -1;
    m_temp.clear();
    m_error.clear();
    m_errorNumber = 0;
    releaseDirectory();
    return flushed;
}

bool ReceivedFile::Commit(QString* error)
{
    Placement placed;
    return Commit(ExistingFiles::Overwrite, &placed, error);
}

int ReceivedFile::linkNameless(const QByteArray& name)
{
    // The descriptor itself, where the kernel lets its opener link it (recent kernels, or a
    // process with CAP_DAC_READ_SEARCH): no walk through /proc per file.
    static std::atomic<bool> emptyPathRefused{false};
    if (!emptyPathRefused.load(std::memory_order_relaxed)) {
        if (::linkat(m_fd, "", m_directoryFd, name.constData(), AT_EMPTY_PATH) == 0)
            return 0;
        // ENOENT is also what an older kernel says to an opener without the capability:
        // the path through /proc tells the two apart.
        if (errno != ENOENT && errno != EPERM && errno != EINVAL)
            return errno;
    }
    char self[32];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", m_fd);
    if (::linkat(AT_FDCWD, self, m_directoryFd, name.constData(), AT_SYMLINK_FOLLOW) == 0) {
        emptyPathRefused.store(true, std::memory_order_relaxed);
        return 0;
    }
    return errno;
}

bool ReceivedFile::nameTemporarily(const QByteArray& directoryPart)
{
    for (int attempt = 0; attempt < 16; ++attempt) {
        const QByteArray temp = temporaryName(directoryPart);
        const int result = linkNameless(temp);
        if (result == 0) {
            m_temp = temp;
            return true;
        }
        if (result != EEXIST) {
            fail(result);
            return false;
        }
    }
    fail(EEXIST);
    return false;
}

int ReceivedFile::placeWithoutReplacing(const QByteArray& name)
{
    if (::renameat2(tempDirectory(), m_temp.constData(), m_directoryFd, name.constData(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return errno;
    // A file system without that rename: a hard link is just as exclusive.
    if (::linkat(tempDirectory(), m_temp.constData(), m_directoryFd, name.constData(), 0) == 0) {
        ::unlinkat(tempDirectory(), m_temp.constData(), 0);
        return 0;
    }
    if (errno == EEXIST)
        return EEXIST;
    // Nor hard links (FAT): look first, then rename.
    if (Exists(m_directoryFd, name))
        return EEXIST;
    return ::renameat(tempDirectory(), m_temp.constData(), m_directoryFd, name.constData()) == 0 ? 0 : errno;
}

// Tries `leaf` and then its numbered names ("a (1).txt", ...) in `directoryPart` with `place`,
// which answers EEXIST when a name is taken; `placed` ends up naming the last one tried.
template <typename Place>
int ReceivedFile::placeNumbered(const QByteArray& directoryPart, const QByteArray& leaf, Placement* placed, Place place)
{
    int result = EEXIST;
    for (int number = 0; number < 10000 && result == EEXIST; ++number) {
        placed->name = number == 0 ? leaf : NumberedName(leaf, number);
        result = place(directoryPart + placed->name);
        if (number > 0)
            placed->how = Placed::Renamed;
    }
    return result;
}

bool ReceivedFile::Commit(ExistingFiles existing, Placement* placed, QString* error)
{
    if (!IsOpen()) {
        *error = errorText(EBADF);
        return false;
    }
    if ((m_holeAtEnd || IsPartial()) && !Failed() && ::ftruncate(m_fd, m_written) != 0)
        fail(errno);
    applyAttributes();
    const qsizetype slash = m_target.lastIndexOf('/');
    const QByteArray directoryPart = m_target.left(slash + 1);
    const QByteArray leaf = m_target.mid(slash + 1);
    placed->how = Placed::New;
    placed->name = leaf;
    // A nameless file takes its name while it is still open: straight the final one where
    // that is free (a link never replaces anything); else, to replace an existing file, a
    // temporary name that then goes as a named file's does.
    QByteArray linkedAs;
    if (m_temp.isEmpty() && !Failed()) {
        if (existing == ExistingFiles::Rename) {
            const int result = placeNumbered(directoryPart, leaf, placed,
                                             [this](const QByteArray& name) { return linkNameless(name); });
            if (result == 0)
                linkedAs = directoryPart + placed->name;
            else
                fail(result);
        } else {
            const int result = linkNameless(m_target);
            if (result == 0)
                linkedAs = m_target;
            else if (result != EEXIST)
                fail(result);
            else if (existing == ExistingFiles::Skip)
                placed->how = Placed::Kept;
            else
                nameTemporarily(directoryPart);
        }
    }
    if (::close(m_fd) != 0)
        fail(errno);
    m_fd = -1;
    bool removeTemp = !m_temp.isEmpty();
    if (!linkedAs.isEmpty()) {
        if (Failed()) // the close failed: what was named goes again
            ::unlinkat(m_directoryFd, linkedAs.constData(), 0);
    } else if (!Failed() && removeTemp) {
        switch (existing) {
        case ExistingFiles::Overwrite:
            if (Exists(m_directoryFd, m_target))
                placed->how = Placed::Replaced;
            if (::renameat(tempDirectory(), m_temp.constData(), m_directoryFd, m_target.constData()) == 0)
                removeTemp = false;
            else
                fail(errno);
            break;
        case ExistingFiles::Skip: {
            const int result = placeWithoutReplacing(m_target);
            if (result == 0)
                removeTemp = false;
            else if (result == EEXIST)
                placed->how = Placed::Kept;
            else
                fail(result);
            break;
        }
        case ExistingFiles::Rename: {
            const int result = placeNumbered(directoryPart, leaf, placed,
                                             [this](const QByteArray& name) { return placeWithoutReplacing(name); });
            if (result == 0)
                removeTemp = false;
            else
                fail(result);
            break;
        }
        }
    }
    if (removeTemp)
        ::unlinkat(tempDirectory(), m_temp.constData(), 0);
    m_temp.clear();
    releaseDirectory();
    if (Failed()) {
        *error = m_error;
        m_error.clear();
        return false;
    }
    return true;
}

void ReceivedFile::Discard()
{
    if (!IsOpen())
        return;
    ::close(m_fd);
    m_fd = -1;
    m_written = 0;
    m_error.clear();
    m_errorNumber = 0;
    // A nameless file goes with its descriptor.
    if (!m_temp.isEmpty())
        ::unlinkat(tempDirectory(), m_temp.constData(), 0);
    m_temp.clear();
    releaseDirectory();
}

void ReceivedFile::applyAttributes()
{
    if (Failed())
        return;
    // A received file never becomes set-user-ID or set-group-ID: permission bits only.
    static const mode_t mask = [] {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        return mask;
    }();
    const mode_t mode = m_attributes ? mode_t(m_mode & 0777) : IsPartial() ? mode_t(0666 & ~mask) : mode_t(0);
    // A file made here (not a partial file, made 0600) has 0666 less the umask already.
    const bool hasMode = m_folderKeepsModes && !IsPartial() && mode == mode_t(kCreatedMode & ~mask);
    if ((mode != 0 || m_attributes) && !hasMode)
        ::fchmod(m_fd, mode);
    if (m_attributes) {
        const timespec times[2] = {{0, UTIME_OMIT}, TimespecOf(m_modifiedNs)};
        ::futimens(m_fd, times);
    }
}
