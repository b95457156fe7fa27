#include "transfer/sendingengine.h"

#include "platform/apperror.h"
#include "transfer/brcmath.h"
#include "transfer/crc32.h"
#include "transfer/messages.h"
#include "transfer/messagesink.h"
#include "transfer/sendingview.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <climits>
#include <fcntl.h>
#include <sys/uio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qint64 kLargestFile = 0x7FFFFFFF; // the wire's size field is signed 32-bit

AppError tooLarge(const QString& path, qint64 size)
{
    return AppError(QStringLiteral("%1 is %2 bytes long; files of 2 GiB or more cannot be sent")
                        .arg(path)
                        .arg(size));
}

// Opens a regular file for reading; -1 when it is missing, unreadable or not a file.
int openRegular(const QString& path, qint64* size)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return -1;
    }
    *size = static_cast<qint64>(info.st_size);
    return fd;
}

} // namespace

SendingEngine::SendingEngine(MessageSink& sink, SendingView& view, KeySource keySource)
    : m_sink(sink),
      m_view(view),
      m_keySource(keySource ? std::move(keySource) : KeySource(MakeRandomKey)),
      m_progress(view, [&view](qint64 packets) { view.ShowSentPackets(packets); }),
      m_packets(std::make_unique<std::uint8_t[]>(kBatch * kDataPacketSize))
{
}

SendingEngine::~SendingEngine()
{
    CloseCurrentFile();
}

void SendingEngine::StartCopy(const QStringList& selected)
{
    m_view.ProcessEvents();
    m_view.LogMessage(QStringLiteral("Filelist contains %1 files").arg(selected.size()));
    m_view.ShowFileCounter(QStringLiteral("File 1/%1").arg(selected.size()));
    m_filesToSend += selected;
    m_view.LogMessage(
        QStringLiteral("Protocol: %1; BlockSize: %2").arg(m_transportName).arg(m_blocksize));
    if (m_encrypt)
        m_view.LogAppend(QStringLiteral("; Using Encryption"));
    m_view.ShowStatus(QStringLiteral(" Client Sending..."));
    m_view.ProcessEvents();
    m_view.ShowFileName(m_filesToSend.value(0));
    SendAllFiles();
}

void SendingEngine::SendAllFiles()
{
    if (m_blocksize < 1 || m_blocksize > kMaxBlockSize)
        throw AppError(QStringLiteral("Block size %1 is outside 1 to %2")
                           .arg(m_blocksize)
                           .arg(kMaxBlockSize));
    m_progress.RestartCopy();

    SendSessionData();
    const auto count = static_cast<int>(m_filesToSend.size());
    for (int i = 1; i <= count; ++i) {
        m_view.ShowFileCounter(QStringLiteral("File %1/%2").arg(i).arg(count));
        m_currentFileNumber = i;
        SendFile(m_filesToSend[i - 1]);
    }
    // Sent is not arrived: the copy is complete once the server has read all of it.
    m_sink.Finish();
    m_view.ShowCaption(QStringLiteral("Transmission complete!"));
}

void SendingEngine::SendSessionData()
{
    m_view.LogMessage(QStringLiteral("Sending Session Data..."));
    SessionData session;
    session.fileCount = static_cast<std::int32_t>(m_filesToSend.size());
    session.blockSize = m_blocksize;
    session.encrypted = m_encrypt;
    if (m_encrypt) {
        m_sessionKey = m_keySource();
        session.key = m_sessionKey;
    }
    // The wire's total wraps at 32 bits; the bar runs on the true total.
    std::uint32_t wireTotal = 0;
    qint64 totalSize = 0;
    for (const QString& path : std::as_const(m_filesToSend)) {
        const qint64 size = GetFileSize(path);
        if (size > kLargestFile)
            throw tooLarge(path, size);
        wireTotal += static_cast<std::uint32_t>(size);
        totalSize += size;
    }
    session.totalSize = static_cast<std::int32_t>(wireTotal);
    m_progress.SetCopy(session.fileCount, totalSize, m_blocksize);
    const QByteArray message = EncodeSessionData(session);
    sendMessage(reinterpret_cast<const std::uint8_t*>(message.constData()),
                static_cast<std::uint32_t>(message.size()));
    m_view.LogAppend(QStringLiteral("Done"));
}

qint64 SendingEngine::GetFileSize(const QString& path)
{
    qint64 size = 0;
    const int fd = openRegular(path, &size);
    if (fd < 0) {
        m_view.ShowError(QStringLiteral("Datei nicht gefunden oder von anderem Programm geöffnet!"));
        return -1;
    }
    ::close(fd);
    return size;
}

void SendingEngine::SendFile(const QString& path)
{
    const QString name = QFileInfo(path).fileName();
    m_view.LogMessage(QStringLiteral("Transmitting file \"") + name + QStringLiteral("\"..."));
    CloseCurrentFile();
    qint64 size = 0;
    m_fd = openRegular(path, &size);
    if (m_fd < 0)
        throw AppError(QStringLiteral("Datei %1 kann nicht geöffnet werden").arg(path));
    try {
        if (size > kLargestFile)
            throw tooLarge(path, size);
        ::posix_fadvise(m_fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        m_currentPath = path;
        m_currentFileSize = size;
        m_progress.RestartFile(m_currentFileNumber, size);
        SendFileHeader(name);
        sendFileData();
    } catch (...) {
        CloseCurrentFile();
        throw;
    }
    CloseCurrentFile();
}

void SendingEngine::SendFileHeader(const QString& name)
{
    m_view.ShowFileName(name);
    m_progress.SetFileStep(m_blocksize);
    const QByteArray message = EncodeFileHeader({QFile::encodeName(name),
                                                 static_cast<std::int32_t>(m_currentFileSize),
                                                 m_currentFileNumber});
    sendMessage(reinterpret_cast<const std::uint8_t*>(message.constData()),
                static_cast<std::uint32_t>(message.size()));
    m_view.LogAppend(QStringLiteral("Done"));
}

// Reads exactly the bytes `iov` asks for; throws when the file cannot be read or ends
// first (it became shorter since its size was announced).
void SendingEngine::readFully(iovec* iov, int count)
{
    while (count > 0) {
        const ssize_t n = ::readv(m_fd, iov, std::min(count, IOV_MAX));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw AppError(QStringLiteral("Cannot read %1: %2")
                               .arg(m_currentPath, QString::fromLocal8Bit(std::strerror(errno))));
        }
        if (n == 0)
            throw AppError(QStringLiteral("%1 became shorter while it was being sent").arg(m_currentPath));
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

// A file of S bytes goes as S / B full packets and one last packet of S mod B bytes (0
// when B divides S), a batch at a time. Each batch is built where it will be sent from: in
// the sink's own room when it offers one (the connection's send queue), else in a buffer of
// the engine's. The file is read straight into the packets' data areas.
void SendingEngine::sendFileData()
{
    const auto blockSize = static_cast<qint64>(m_blocksize);
    qint64 remaining = m_currentFileSize;
    qint64 packets = m_currentFileSize / blockSize + 1;
    while (packets > 0) {
        const auto n = static_cast<std::size_t>(std::min<qint64>(packets, kBatch));
        std::int32_t counts[kBatch];
        for (std::size_t i = 0; i < n; ++i) {
            counts[i] = static_cast<std::int32_t>(std::min(blockSize, remaining));
            remaining -= counts[i];
        }
        MessageSink::Room room = m_sink.Reserve(kToAllPlayers, kSendGuaranteed,
                                                std::uint32_t(kDataPacketSize), std::uint32_t(n));
        const bool ownRoom = room.base == nullptr;
        if (ownRoom)
            room = {m_packets.get(), std::size_t(kDataPacketSize)};
        try {
            buildPackets(room.base, room.stride, counts, n);
        } catch (...) {
            if (!ownRoom)
                m_sink.CancelReserved();
            throw;
        }
        if (ownRoom) {
            for (std::size_t i = 0; i < n; ++i)
                sendMessage(room.base + i * room.stride, kDataPacketSize);
        } else {
            m_sink.SendReserved();
        }
        for (std::size_t i = 0; i < n; ++i)
            packetSent(counts[i]);
        m_progress.Show();
        packets -= qint64(n);
    }
}

// Data packet i of the batch at base + i * stride: its data area read from the file (zero
// past its count), checksummed, enciphered when the copy is, and its fields set.
void SendingEngine::buildPackets(std::uint8_t* base, std::size_t stride, const std::int32_t* counts,
                                 std::size_t n)
{
    std::uint8_t* areas[kBatch];
    std::size_t sizes[kBatch];
    std::uint32_t checksums[kBatch];
    iovec iov[kBatch];
    int reads = 0;
    for (std::size_t i = 0; i < n; ++i) {
        areas[i] = base + i * stride + kDataAreaOffset;
        sizes[i] = static_cast<std::size_t>(counts[i]);
        if (sizes[i] > 0)
            iov[reads++] = {areas[i], sizes[i]};
        if (sizes[i] < std::size_t(kDataAreaSize))
            std::memset(areas[i] + sizes[i], 0, std::size_t(kDataAreaSize) - sizes[i]);
    }
    readFully(iov, reads);
    // Checksums and cipher run over the batch at once; the multi-block forms interleave blocks.
    BlockChecksums(kChecksumStart, areas, sizes, checksums, n);
    if (m_encrypt)
        EncryptBlocksInPlace(areas, n, kDataAreaSize, m_sessionKey);
    for (std::size_t i = 0; i < n; ++i)
        EncodeDataPacketFields(base + i * stride, counts[i], checksums[i]);
}

bool SendingEngine::SendDataPacket(const std::uint8_t* block, std::int32_t count,
                                   std::uint32_t checksum)
{
    std::uint8_t message[kDataPacketSize];
    EncodeDataPacket(message, block, count, checksum);
    sendMessage(message, kDataPacketSize);
    packetSent(count);
    m_progress.Show();
    return true;
}

void SendingEngine::sendMessage(const std::uint8_t* message, std::uint32_t size)
{
    m_sink.Send(kToAllPlayers, kSendGuaranteed, message, size);
}

void SendingEngine::packetSent(std::int32_t count)
{
    m_progress.CountPacket();
    m_progress.AddBytes(count);
}

void SendingEngine::CloseCurrentFile()
{
    if (m_fd < 0)
        return;
    ::close(m_fd);
    m_fd = -1;
}
