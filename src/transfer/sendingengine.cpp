#include "transfer/sendingengine.h"

#include "platform/apperror.h"
#include "transfer/brcmath.h"
#include "transfer/crc32.h"
#include "transfer/messages.h"
#include "transfer/messagesink.h"
#include "transfer/sendingview.h"

#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t kChunkSize = std::size_t(1) << 20;
constexpr std::size_t kBatch = 32;
constexpr qint64 kLargestFile = 0x7FFFFFFF; // the wire's size field is signed 32-bit
constexpr qsizetype kCountOffset = 2052;
constexpr qsizetype kChecksumOffset = 2056;

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
      m_chunk(std::make_unique<std::uint8_t[]>(kChunkSize)),
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
    m_sentPackets = 0;
    m_view.ShowSentPackets(0);
    m_totalSteps.Restart();
    m_view.SetTotalProgress(0);
    m_totalBytesSent = 0;

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
    m_totalSize = 0;
    for (const QString& path : std::as_const(m_filesToSend)) {
        const qint64 size = GetFileSize(path);
        if (size > kLargestFile)
            throw tooLarge(path, size);
        wireTotal += static_cast<std::uint32_t>(size);
        m_totalSize += size;
    }
    session.totalSize = static_cast<std::int32_t>(wireTotal);
    m_totalSteps.SetStep(PacketSteps::StepFor(m_totalSize, m_blocksize));
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
        m_fileBytesSent = 0;
        m_fileSteps.Restart();
        m_view.SetFileProgress(0);
        SendFileHeader(name);
        sendFileData();
    } catch (...) {
        m_queued = 0;
        CloseCurrentFile();
        throw;
    }
    CloseCurrentFile();
}

void SendingEngine::SendFileHeader(const QString& name)
{
    m_view.ShowFileName(name);
    m_fileSteps.SetStep(PacketSteps::StepFor(m_currentFileSize, m_blocksize));
    const QByteArray message = EncodeFileHeader({QFile::encodeName(name),
                                                 static_cast<std::int32_t>(m_currentFileSize),
                                                 m_currentFileNumber});
    sendMessage(reinterpret_cast<const std::uint8_t*>(message.constData()),
                static_cast<std::uint32_t>(message.size()));
    m_view.LogAppend(QStringLiteral("Done"));
}

std::size_t SendingEngine::readFully(std::size_t want)
{
    std::size_t got = 0;
    while (got < want) {
        const ssize_t n = ::read(m_fd, m_chunk.get() + got, want - got);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw AppError(QStringLiteral("Cannot read %1: %2")
                               .arg(m_currentPath, QString::fromLocal8Bit(std::strerror(errno))));
        }
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    return got;
}

// A file of S bytes goes as S / B full packets and one last packet of S mod B bytes (0
// when B divides S). The file is read a large chunk at a time, a whole number of blocks.
void SendingEngine::sendFileData()
{
    const auto blockSize = static_cast<std::size_t>(m_blocksize);
    const std::size_t chunkCapacity = (kChunkSize / blockSize) * blockSize;
    qint64 remaining = m_currentFileSize;
    for (;;) {
        std::size_t got = 0;
        if (remaining > 0) {
            const auto want =
                static_cast<std::size_t>(std::min<qint64>(static_cast<qint64>(chunkCapacity), remaining));
            got = readFully(want);
            if (got < want)
                throw AppError(
                    QStringLiteral("%1 became shorter while it was being sent").arg(m_currentPath));
            remaining -= static_cast<qint64>(got);
        }
        std::size_t offset = 0;
        for (; got - offset >= blockSize; offset += blockSize)
            queuePacket(m_chunk.get() + offset, blockSize);
        if (remaining == 0) {
            queuePacket(m_chunk.get() + offset, got - offset);
            flushPackets();
            return;
        }
    }
}

void SendingEngine::queuePacket(const std::uint8_t* data, std::size_t count)
{
    std::uint8_t* area = m_packets.get() + m_queued * kDataPacketSize + kDataAreaOffset;
    std::memcpy(area, data, count);
    std::memset(area + count, 0, kDataAreaSize - count);
    m_queuedCounts[m_queued] = static_cast<std::int32_t>(count);
    if (++m_queued == kBatch)
        flushPackets();
}

// Checksums and cipher run over a batch at once; the multi-block forms interleave blocks.
void SendingEngine::flushPackets()
{
    const std::size_t n = m_queued;
    m_queued = 0;
    std::uint8_t* areas[kBatch] = {};
    std::size_t counts[kBatch] = {};
    std::uint32_t checksums[kBatch] = {};
    for (std::size_t i = 0; i < n; ++i) {
        areas[i] = m_packets.get() + i * kDataPacketSize + kDataAreaOffset;
        counts[i] = static_cast<std::size_t>(m_queuedCounts[i]);
    }
    BlockChecksums(kChecksumStart, areas, counts, checksums, n);
    if (m_encrypt)
        EncryptBlocksInPlace(areas, n, kDataAreaSize, m_sessionKey);
    for (std::size_t i = 0; i < n; ++i) {
        std::uint8_t* packet = m_packets.get() + i * kDataPacketSize;
        qToLittleEndian<std::uint32_t>(static_cast<std::uint32_t>(MessageType::DataPacket), packet);
        qToLittleEndian<std::int32_t>(m_queuedCounts[i], packet + kCountOffset);
        qToLittleEndian<std::uint32_t>(checksums[i], packet + kChecksumOffset);
        sendMessage(packet, kDataPacketSize);
        packetSent(m_queuedCounts[i]);
    }
}

bool SendingEngine::SendDataPacket(const std::uint8_t* block, std::int32_t count,
                                   std::uint32_t checksum)
{
    std::uint8_t message[kDataPacketSize];
    EncodeDataPacket(message, block, count, checksum);
    sendMessage(message, kDataPacketSize);
    packetSent(count);
    return true;
}

void SendingEngine::sendMessage(const std::uint8_t* message, std::uint32_t size)
{
    m_sink.Send(kToAllPlayers, kSendGuaranteed, message, size);
}

void SendingEngine::packetSent(std::int32_t count)
{
    ++m_sentPackets;
    m_view.ShowSentPackets(m_sentPackets);
    if (m_totalSteps.Count())
        m_view.SetTotalProgress(m_totalSteps.Percent());
    if (m_fileSteps.Count())
        m_view.SetFileProgress(m_fileSteps.Percent());
    m_fileBytesSent += count;
    m_totalBytesSent += count;
    TransferProgress progress;
    progress.fileNumber = m_currentFileNumber;
    progress.fileCount = static_cast<int>(m_filesToSend.size());
    progress.fileBytes = m_fileBytesSent;
    progress.fileSize = m_currentFileSize;
    progress.totalBytes = m_totalBytesSent;
    progress.totalSize = m_totalSize;
    m_view.ShowProgress(progress);
}

void SendingEngine::CloseCurrentFile()
{
    if (m_fd < 0)
        return;
    ::close(m_fd);
    m_fd = -1;
}
