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

ReceivedFile::ReceivedFile(std::size_t bufferSize)
    : m_buffer(std::make_unique_for_overwrite<std::byte[]>(bufferSize)), m_capacity(bufferSize)
{
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
    m_target = target;
    return openTemporary(directoryOf(target), error);
}

bool ReceivedFile::CreateAt(int directoryFd, const QByteArray& name, QString* error)
{
    Discard();
    struct stat info {};
    if (::fstatat(directoryFd, name.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode)) {
        *error = errorText(EISDIR);
        return false;
    }
    m_directoryFd = ::fcntl(directoryFd, F_DUPFD_CLOEXEC, 0);
    if (m_directoryFd < 0) {
        *error = errorText(errno);
        return false;
    }
    m_target = name;
    return openTemporary(QByteArray(), error);
}

bool ReceivedFile::Exists(int directoryFd, const QByteArray& name)
{
    struct stat info {};
    return ::fstatat(directoryFd, name.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

bool ReceivedFile::openTemporary(const QByteArray& directoryPart, QString* error)
{
    // The temporary name does not grow with the target's, so a 255-byte name still fits.
    for (int attempt = 0; attempt < 16; ++attempt) {
        const QByteArray temp = directoryPart + kTempPrefix
                                + QByteArray::number(QRandomGenerator::global()->generate64(), 16)
                                + kTempSuffix;
        const int fd = ::openat(m_directoryFd, temp.constData(),
                                O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd >= 0) {
            // Marks the file as in use, so that no other receiver takes it for a leftover.
            ::flock(fd, LOCK_EX | LOCK_NB);
            m_fd = fd;
            m_temp = temp;
            m_used = 0;
            m_error.clear();
            m_errorNumber = 0;
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
    if (m_directoryFd >= 0)
        ::close(m_directoryFd);
    m_directoryFd = -1;
}

void ReceivedFile::fail(int errorNumber)
{
    if (m_error.isEmpty()) {
        m_error = errorText(errorNumber);
        m_errorNumber = errorNumber;
    }
}

bool ReceivedFile::flushBuffer()
{
    const auto* p = reinterpret_cast<const char*>(m_buffer.get());
    std::size_t left = m_used;
    m_used = 0;
    while (left > 0 && !Failed()) {
        const ssize_t written = ::write(m_fd, p, left);
        if (written < 0) {
            if (errno != EINTR)
                fail(errno);
            continue;
        }
        if (written == 0) {
            fail(ENOSPC);
            break;
        }
        p += written;
        left -= static_cast<std::size_t>(written);
    }
    return !Failed();
}

void ReceivedFile::Write(const void* data, std::size_t count)
{
    if (!IsOpen() || Failed())
        return;
    const auto* p = static_cast<const std::byte*>(data);
    while (count > 0) {
        if (m_used == m_capacity && !flushBuffer())
            return;
        const std::size_t n = std::min(count, m_capacity - m_used);
        std::memcpy(m_buffer.get() + m_used, p, n);
        m_used += n;
        p += n;
        count -= n;
    }
}

void ReceivedFile::Skip(qint64 count)
{
    if (!IsOpen() || Failed() || !flushBuffer())
        return;
    if (::lseek(m_fd, static_cast<off_t>(count), SEEK_CUR) < 0)
        fail(errno);
}

bool ReceivedFile::Commit(QString* error)
{
    Placement placed;
    return Commit(ExistingFiles::Overwrite, &placed, error);
}

int ReceivedFile::placeWithoutReplacing(const QByteArray& name)
{
    if (::renameat2(m_directoryFd, m_temp.constData(), m_directoryFd, name.constData(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return errno;
    // A file system without that rename: a hard link is just as exclusive.
    if (::linkat(m_directoryFd, m_temp.constData(), m_directoryFd, name.constData(), 0) == 0) {
        ::unlinkat(m_directoryFd, m_temp.constData(), 0);
        return 0;
    }
    if (errno == EEXIST)
        return EEXIST;
    // Nor hard links (FAT): look first, then rename.
    if (Exists(m_directoryFd, name))
        return EEXIST;
    return ::renameat(m_directoryFd, m_temp.constData(), m_directoryFd, name.constData()) == 0 ? 0 : errno;
}

bool ReceivedFile::Commit(ExistingFiles existing, Placement* placed, QString* error)
{
    if (!IsOpen()) {
        *error = errorText(EBADF);
        return false;
    }
    flushBuffer();
    if (::close(m_fd) != 0)
        fail(errno);
    m_fd = -1;
    const qsizetype slash = m_target.lastIndexOf('/');
    const QByteArray directoryPart = m_target.left(slash + 1);
    const QByteArray leaf = m_target.mid(slash + 1);
    placed->how = Placed::New;
    placed->name = leaf;
    bool removeTemp = true;
    if (!Failed()) {
        switch (existing) {
        case ExistingFiles::Overwrite:
            if (Exists(m_directoryFd, m_target))
                placed->how = Placed::Replaced;
            if (::renameat(m_directoryFd, m_temp.constData(), m_directoryFd, m_target.constData()) == 0)
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
            int result = EEXIST;
            for (int number = 0; number < 10000 && result == EEXIST; ++number) {
                placed->name = number == 0 ? leaf : NumberedName(leaf, number);
                result = placeWithoutReplacing(directoryPart + placed->name);
                if (number > 0)
                    placed->how = Placed::Renamed;
            }
            if (result == 0)
                removeTemp = false;
            else
                fail(result);
            break;
        }
        }
    }
    if (removeTemp)
        ::unlinkat(m_directoryFd, m_temp.constData(), 0);
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
    m_used = 0;
    m_error.clear();
    m_errorNumber = 0;
    ::unlinkat(m_directoryFd, m_temp.constData(), 0);
    releaseDirectory();
}
