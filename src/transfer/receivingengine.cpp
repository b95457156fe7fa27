#include "transfer/receivingengine.h"

#include "text/printable.h"
#include "transfer/brcmath.h"
#include "transfer/crc32.h"
#include "transfer/logging.h"
#include "transfer/messages.h"
#include "transfer/receivingview.h"

#include <QFile>

#include <sys/statvfs.h>

#include <algorithm>
#include <cstring>

namespace {

// Names that could point anywhere but at a new entry of the receive directory, and names
// with control characters, which have no business in a file name.
bool nameAllowed(const QByteArray& name)
{
    return !name.isEmpty() && name != "." && name != ".." && !name.contains('/')
           && !name.contains('\\') && !HasControlBytes(name);
}

// Bytes an unprivileged writer may still put into `directory`; -1 when unknown.
qint64 freeSpace(const QByteArray& directory)
{
    struct statvfs info {};
    if (::statvfs(directory.isEmpty() ? "." : directory.constData(), &info) != 0)
        return -1;
    return static_cast<qint64>(info.f_bavail) * static_cast<qint64>(info.f_frsize);
}

} // namespace

ReceivingEngine::ReceivingEngine(ReceivingView& view)
    : m_view(view),
      m_freeSpace(freeSpace),
      m_progress(view, [&view](qint64 packets) { view.ShowReceivedPackets(packets); })
{
}

void ReceivingEngine::SetFreeSpaceProbe(FreeSpaceProbe probe)
{
    m_freeSpace = probe ? std::move(probe) : FreeSpaceProbe(freeSpace);
}

ReceivingEngine::~ReceivingEngine() = default;

void ReceivingEngine::SetReceiveDirectory(const QString& directory)
{
    m_receiveDirectory = directory;
    m_receiveDirectoryBytes = QFile::encodeName(directory);
}

void ReceivingEngine::RemoveLeftovers()
{
    for (const QByteArray& name : ReceivedFile::RemoveLeftovers(m_receiveDirectoryBytes))
        m_view.LogMessage(QStringLiteral("Removed unfinished file %1 left by an earlier run")
                              .arg(Printable(QFile::decodeName(name))));
}

bool ReceivingEngine::CopySucceeded() const
{
    return !FileOpen() && m_summary.failedFiles == 0 && m_summary.filesWithCorruptBlocks == 0
           && m_summary.completedFiles == m_summary.announcedFiles;
}

void ReceivingEngine::HandleTransferMessage(void* data, qsizetype size)
{
    auto* bytes = static_cast<std::uint8_t*>(data);
    const DecodedMessage message =
        DecodeMessage(QByteArrayView(reinterpret_cast<const char*>(bytes), size));
    if (const auto* packet = std::get_if<DataPacket>(&message)) {
        dataPacket(bytes, packet->count, packet->checksum);
        return;
    }
    // Whatever else arrives comes after the packets still waiting to be checked.
    Flush();
    if (const auto* session = std::get_if<SessionData>(&message))
        sessionData(*session);
    else if (const auto* header = std::get_if<FileHeader>(&message))
        fileHeader(header->name, header->fileSize, header->fileNumber);
    else if (const auto* unknown = std::get_if<UnknownMessage>(&message))
        m_view.LogError(
            QStringLiteral("(dwType = %1?)").arg(static_cast<std::int32_t>(unknown->type)));
    else {
        const QString& reason = std::get<RejectedMessage>(message).reason;
        qCDebug(lcTransfer, "message of %lld bytes dropped: %s", static_cast<long long>(size),
                qUtf8Printable(reason));
        m_view.LogError(QStringLiteral("Message dropped: ") + reason);
    }
}

void ReceivingEngine::sessionData(const SessionData& session)
{
    // A new copy ends whatever the last one left unfinished.
    CloseCurrentFile();

    m_view.ShowFileCounter(QStringLiteral("File 1/%1").arg(session.fileCount));
    m_transferBlockSize = session.blockSize;
    m_transferEncrypted = session.encrypted;
    m_transferKey = session.key;
    m_view.LogMessage(QStringLiteral("Protocol: %1; BlockSize: %2")
                          .arg(m_transportName)
                          .arg(m_transferBlockSize));
    if (m_transferEncrypted)
        m_view.LogAppend(QStringLiteral("; Using Encryption"));
    m_progress.SetCopy(session.fileCount, session.totalSize, m_transferBlockSize);
    m_progress.RestartCopy();
    m_state = FileState::None;
    m_summary = ReceiveSummary{};
    m_summary.announcedFiles = session.fileCount;
}

void ReceivingEngine::fileHeader(const QByteArray& name, std::int32_t size, std::int32_t number)
{
    // A header before the open file completed cuts that file off.
    CloseCurrentFile();

    m_progress.RestartFile(number, size);
    m_corruptBlocks = 0;
    m_writeErrorLogged = false;

    m_fileName = Printable(QFile::decodeName(name));
    m_view.ShowFileName(m_fileName);
    m_view.ShowFileCounter(QStringLiteral("File %1/%2").arg(number).arg(m_progress.FileCount()));
    m_view.LogMessage(QStringLiteral("Data size: %1 bytes (%2KB)").arg(size).arg(size / 1024));
    m_view.LogMessage(QStringLiteral("Filename: ") + m_fileName + QStringLiteral("  255"));
    m_progress.SetFileStep(m_transferBlockSize);

    if (size < 0) {
        // No packet can ever complete it: its data goes nowhere, without a line per packet.
        m_view.LogError(QStringLiteral("Refused \"%1\": announced size %2 is negative; its data "
                                       "will be discarded")
                            .arg(m_fileName, QString::number(size)));
        m_state = FileState::Failed;
        ++m_summary.failedFiles;
    } else if (createFile(name)) {
        m_state = FileState::Receiving;
        m_view.LogMessage(QStringLiteral("Receiving Data..."));
        m_view.ShowStatus(QStringLiteral(" Receiving..."));
    } else {
        m_state = FileState::Discarding;
        ++m_summary.failedFiles;
    }
    m_progress.Show();
}

bool ReceivingEngine::createFile(const QByteArray& name)
{
    m_targetPath = m_receiveDirectory + m_fileName;
    if (!nameAllowed(name)) {
        m_view.LogError(QStringLiteral("Refused unsafe file name \"%1\"").arg(m_fileName));
        return false;
    }
    const qint64 available = m_freeSpace(m_receiveDirectoryBytes);
    if (available >= 0 && m_progress.FileSize() > available) {
        const QString text = QStringLiteral("Not enough free space for %1: %2 bytes needed, "
                                            "%3 bytes free")
                                 .arg(m_targetPath, QString::number(m_progress.FileSize()),
                                      QString::number(available));
        m_view.ShowMessage(text);
        m_view.LogError(text);
        return false;
    }
    QString reason;
    if (!m_file.Create(m_receiveDirectoryBytes + name, &reason)) {
        const QString text = QStringLiteral("Datei %1 kann nicht erstellt werden").arg(m_targetPath);
        m_view.ShowMessage(text);
        m_view.LogError(text);
        return false;
    }
    // The disk itself says whether the file fits, where it can tell.
    if (!m_file.Reserve(m_progress.FileSize(), &reason)) {
        m_file.Discard();
        const qint64 free = m_freeSpace(m_receiveDirectoryBytes);
        const QString text = QStringLiteral("Not enough free space for %1: %2 bytes needed, "
                                            "%3 bytes free (%4)")
                                 .arg(m_targetPath, QString::number(m_progress.FileSize()),
                                      free >= 0 ? QString::number(free) : QStringLiteral("?"),
                                      reason);
        m_view.ShowMessage(text);
        m_view.LogError(text);
        return false;
    }
    return true;
}

void ReceivingEngine::dataPacket(std::uint8_t* p, std::int32_t count,
                                 std::uint32_t checksum)
{
    if (count > m_transferBlockSize) {
        Flush();
        m_view.LogError(
            QStringLiteral("Message dropped: data packet with count %1 above the block size %2")
                .arg(count)
                .arg(m_transferBlockSize));
        return;
    }
    if (m_state == FileState::None) {
        Flush();
        m_view.LogError(QStringLiteral("Message dropped: data packet before any file header"));
        return;
    }
    const bool inProgress = m_state == FileState::Receiving || m_state == FileState::Discarding;
    const qint64 lacking = m_progress.FileSize() - m_progress.FileBytes();
    if (inProgress && count > lacking) {
        Flush();
        m_view.LogError(QStringLiteral("Message dropped: data packet with count %1, but \"%2\" "
                                       "lacks only %3 bytes")
                            .arg(QString::number(count), m_fileName, QString::number(lacking)));
        return;
    }
    m_areas[m_pendingCount] = p + kDataAreaOffset;
    m_counts[m_pendingCount] = static_cast<std::size_t>(count);
    m_checksums[m_pendingCount] = checksum;
    ++m_pendingCount;
    // A corrupt block counts towards completion too, so the bytes are counted here.
    m_progress.AddBytes(count);
    const bool completes = m_progress.FileBytes() == m_progress.FileSize();
    if (completes || m_pendingCount == kPendingPackets)
        Flush();
    if (completes)
        fileEnded();
}

void ReceivingEngine::Flush()
{
    const std::size_t n = m_pendingCount;
    if (n == 0)
        return;
    m_pendingCount = 0;
    std::uint32_t computed[kPendingPackets];
    // The cipher runs forward only: bytes past a block's count cannot change its valid ones.
    if (m_transferEncrypted)
        DecryptBlocksInPlace(m_areas, n, *std::max_element(m_counts, m_counts + n), m_transferKey);
    BlockChecksums(kChecksumStart, m_areas, m_counts, computed, n);
    // Every block is written before anything is reported, so that a report that fails
    // cannot leave a gap in the file. A corrupt block is written too, so that later blocks
    // land at their offsets.
    if (m_file.IsOpen())
        m_file.Write(m_areas, m_counts, n);
    for (std::size_t i = 0; i < n; ++i) {
        if (computed[i] == m_checksums[i]) {
            m_progress.CountPacket();
        } else {
            ++m_corruptBlocks;
            m_view.LogError(QStringLiteral("Packet corrupt! %1#%2")
                                  .arg(static_cast<std::int32_t>(m_checksums[i]))
                                  .arg(static_cast<std::int32_t>(computed[i])));
        }
    }
    if (m_file.Failed() && !m_writeErrorLogged) {
        m_writeErrorLogged = true;
        m_view.LogError(
            QStringLiteral("Cannot write \"%1\": %2").arg(m_targetPath, m_file.ErrorText()));
    }
    m_progress.Show();
}

void ReceivingEngine::fileEnded()
{
    switch (m_state) {
    case FileState::Receiving:
        commitFile();
        return;
    case FileState::Discarding:
        m_state = FileState::Failed;
        m_view.LogError(QStringLiteral("Transmission failed: \"%1\" was not written; received "
                                       "data discarded")
                            .arg(m_fileName));
        return;
    case FileState::Complete:
        // An empty packet after the last full block of a file: its bytes have all arrived
        // once more.
        m_view.LogMessage(QStringLiteral("Transmission Complete!"));
        return;
    case FileState::None:
    case FileState::Failed:
        return;
    }
}

void ReceivingEngine::commitFile()
{
    m_state = FileState::Failed;
    if (m_corruptBlocks > 0) {
        // Nothing corrupt lands under a real name.
        m_file.Discard();
        ++m_summary.filesWithCorruptBlocks;
        const QString blocks = m_corruptBlocks == 1
                                   ? QStringLiteral("1 corrupt block")
                                   : QStringLiteral("%1 corrupt blocks").arg(m_corruptBlocks);
        m_view.LogError(QStringLiteral("Transmission failed: %1 in \"%2\"; received data discarded")
                            .arg(blocks, m_fileName));
        return;
    }
    QString reason;
    if (!m_file.Commit(&reason)) {
        const QString text = QStringLiteral("Transmission failed: %1 could not be written (%2)")
                                 .arg(m_targetPath, reason);
        m_view.ShowError(text);
        m_view.LogError(text);
        ++m_summary.failedFiles;
        return;
    }
    m_state = FileState::Complete;
    m_view.LogMessage(QStringLiteral("Transmission Complete!"));
    ++m_summary.completedFiles;
}

void ReceivingEngine::CloseCurrentFile()
{
    Flush();
    if (m_state != FileState::Receiving && m_state != FileState::Discarding)
        return;
    if (m_state == FileState::Receiving) {
        m_file.Discard();
        ++m_summary.failedFiles;
    }
    m_state = FileState::Failed;
    m_view.LogError(QStringLiteral("Transmission aborted: \"%1\" incomplete (%2 of %3 bytes); "
                                   "received data discarded")
                        .arg(m_fileName, QString::number(m_progress.FileBytes()),
                             QString::number(m_progress.FileSize())));
}
