#include "transfer/blockreader.h"

#include "transfer/chunkdigests.h"

#include "platform/apperror.h"
#include "transfer/blockchecksum.h"
#include "transfer/cipher.h"
#include "transfer/filetimes.h"
#include "transfer/messages.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

// Opens a regular file for reading; -1 when it is missing, unreadable or not a file. `info`
// receives its status.
int openRegular(const QString& path, struct stat& info)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

BlockReader::~BlockReader()
{
    Close();
}

qint64 BlockReader::SizeOf(const QString& path)
{
    struct stat info {};
    const int fd = openRegular(path, info);
    if (fd < 0)
        return -1;
    ::close(fd);
    return static_cast<qint64>(info.st_size);
}

bool BlockReader::Open(const QString& path)
{
    Close();
    struct stat info {};
    m_fd = openRegular(path, info);
    if (m_fd < 0)
        return false;
    const auto size = static_cast<qint64>(info.st_size);
    m_dense = qint64(info.st_blocks) * 512 >= size;
    m_modifiedNs = ModifiedNsOf(info);
    m_mode = static_cast<std::uint32_t>(info.st_mode & 07777);
    // A small file is read in one call: read-ahead advice would not change it.
    if (size > kSequentialFrom)
        ::posix_fadvise(m_fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    m_path = path;
    m_size = size;
    m_position = 0;
    return true;
}

void BlockReader::Close()
{
    if (m_fd < 0)
        return;
    ::close(m_fd);
    m_fd = -1;
}

void BlockReader::SeekTo(qint64 offset)
{
    if (offset == m_position)
        return;
    if (::lseek(m_fd, offset, SEEK_SET) < 0)
        throw readError();
    m_position = offset;
}

qint64 BlockReader::NextData(qint64 offset) const
{
    m_position = -1;
    const off_t data = ::lseek(m_fd, offset, SEEK_DATA);
    if (data < 0)
        return errno == ENXIO ? m_size : offset; // ENXIO: only a hole up to the end
    return data;
}

qint64 BlockReader::NextHole(qint64 offset) const
{
    m_position = -1;
    const off_t hole = ::lseek(m_fd, offset, SEEK_HOLE);
    return hole < 0 ? m_size : hole;
}

void BlockReader::BuildPackets(const MessageSink::Room& room, const std::int32_t* counts, std::size_t n,
                               std::optional<std::uint16_t> key)
{
    std::uint8_t* areas[kMaxBatch];
    std::size_t sizes[kMaxBatch];
    std::uint32_t checksums[kMaxBatch];
    iovec iov[kMaxBatch];
    int reads = 0;
    for (std::size_t i = 0; i < n; ++i) {
        areas[i] = room.At(i) + kDataAreaOffset;
        sizes[i] = static_cast<std::size_t>(counts[i]);
        if (sizes[i] > 0)
            iov[reads++] = {areas[i], sizes[i]};
        if (sizes[i] < std::size_t(kDataAreaSize))
            std::memset(areas[i] + sizes[i], 0, std::size_t(kDataAreaSize) - sizes[i]);
    }
    readFully(iov, reads);
    if (m_digests) {
        for (std::size_t i = 0; i < n; ++i)
            m_digests->Add(areas[i], sizes[i]);
    }
    // Checksums and cipher run over the batch at once; the multi-block forms interleave blocks.
    if (m_checksummed)
        BlockChecksums(kChecksumStart, areas, sizes, checksums, n);
    else
        std::fill(checksums, checksums + n, 0u);
    if (key)
        EncryptBlocksInPlace(areas, n, kDataAreaSize, *key);
    for (std::size_t i = 0; i < n; ++i)
        EncodeDataPacketFields(room.At(i), counts[i], checksums[i]);
}

// Reads exactly the bytes `iov` asks for.
void BlockReader::readFully(iovec* iov, int count)
{
    while (count > 0) {
        const ssize_t n = ::readv(m_fd, iov, std::min(count, IOV_MAX));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw readError();
        }
        if (n == 0)
            throw AppError(QStringLiteral("%1 became shorter while it was being sent").arg(m_path));
        m_position += n;
        auto left = static_cast<std::size_t>(n);
        while (count > 0 && left >= iov->iov_len) {
            left -= iov->iov_len;
            ++iov;
            --count;
        }
        if (count > 0) {
            iov->iov_base = static_cast<std::uint8_t*>(iov->iov_base) + left;
            iov->iov_len -= left;
        }
    }
}

AppError BlockReader::readError() const
{
    return AppError(QStringLiteral("Cannot read %1: %2").arg(m_path, QString::fromLocal8Bit(std::strerror(errno))));
}
