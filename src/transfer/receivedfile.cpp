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
    // The temporary name does not grow with the target's, so a 255-byte name still fits.
    const QByteArray directory = directoryOf(target);
    for (int attempt = 0; attempt < 16; ++attempt) {
        const QByteArray temp = directory + kTempPrefix
                                + QByteArray::number(QRandomGenerator::global()->generate64(), 16)
                                + kTempSuffix;
        const int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            // Marks the file as in use, so that no other receiver takes it for a leftover.
            ::flock(fd, LOCK_EX | LOCK_NB);
            m_fd = fd;
            m_temp = temp;
            m_target = target;
            m_used = 0;
            m_error.clear();
            return true;
        }
        if (errno != EEXIST) {
            *error = errorText(errno);
            return false;
        }
    }
    *error = errorText(EEXIST);
    return false;
}

void ReceivedFile::fail(int errorNumber)
{
    if (m_error.isEmpty())
        m_error = errorText(errorNumber);
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

bool ReceivedFile::Commit(QString* error)
{
    if (!IsOpen()) {
        *error = errorText(EBADF);
        return false;
    }
    flushBuffer();
    if (::close(m_fd) != 0)
        fail(errno);
    m_fd = -1;
    if (!Failed() && ::rename(m_temp.constData(), m_target.constData()) != 0)
        fail(errno);
    if (Failed()) {
        ::unlink(m_temp.constData());
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
    ::unlink(m_temp.constData());
}
