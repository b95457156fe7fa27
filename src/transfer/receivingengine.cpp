#include "transfer/receivingengine.h"

#include "text/printable.h"
#include "transfer/blockchecksum.h"
#include "transfer/cipher.h"
#include "transfer/logging.h"
#include "transfer/messages.h"
#include "transfer/messagesink.h"
#include "transfer/receivingview.h"

#include "platform/apperror.h"

#include <QFile>
#include <QScopeGuard>
#include <QtEndian>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <utility>

ReceivingEngine::ReceivingEngine(ReceivingView& view)
    : m_view(view),
      m_admission(view),
      m_progress(view, [&view](qint64 packets) { view.ShowReceivedPackets(packets); }),
      m_extendedCopy(*this),
      m_resume(*this),
      m_partial(m_resume.Partial())
{
}

ReceivingEngine::~ReceivingEngine()
{
    // A partial file open now stays for a later copy; nothing is left to hear about it.
    if (m_file.IsPartial() && m_corruptBlocks == 0)
        m_partial.Leave(m_file.Detach());
}

void ReceivingEngine::RemoveOldPartials(qint64 budget)
{
    for (const QString& line : PartialStore::Expire(m_receiveDirectoryBytes, PartialStore::kMaxAgeSeconds, budget))
        m_view.LogMessage(line);
}

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
    return !FileOpen() && m_summary.AllStored();
}

void ReceivingEngine::HandleTransferMessage(void* data, qsizetype size)
{
    auto* bytes = static_cast<std::uint8_t*>(data);
    const DecodedMessage message = DecodeMessage(QByteArrayView(reinterpret_cast<const char*>(bytes), size));
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
    else if (const auto* unknown = std::get_if<UnknownMessage>(&message)) {
        if (m_extensionOffered && IsExtensionType(unknown->type))
            m_extendedCopy.HandleMessage(QByteArrayView(reinterpret_cast<const char*>(bytes), size));
        else
            m_view.LogError(QStringLiteral("(dwType = %1?)").arg(static_cast<std::int32_t>(unknown->type)));
    } else {
        const QString& reason = std::get<RejectedMessage>(message).reason;
        qCDebug(lcTransfer, "message of %lld bytes dropped: %s", static_cast<long long>(size), qUtf8Printable(reason));
        m_view.LogError(QStringLiteral("Message dropped: ") + reason);
        if (size >= 4 && qFromLittleEndian<std::uint32_t>(bytes) == static_cast<std::uint32_t>(MessageType::DataPacket))
            dataLost();
    }
}

void ReceivingEngine::sessionData(const SessionData& session)
{
    // A new copy ends whatever the last one left unfinished.
    cutOffFile();

    m_view.ShowFileCounter(QStringLiteral("File 1/%1").arg(session.fileCount));
    m_transferBlockSize = session.blockSize;
    m_transferEncrypted = session.encrypted;
    m_transferKey = session.key;
    m_view.LogMessage(QStringLiteral("Protocol: %1; BlockSize: %2").arg(m_transportName).arg(m_transferBlockSize));
    if (m_transferEncrypted)
        m_view.LogAppend(QStringLiteral("; Using Encryption"));
    m_progress.SetCopy(session.fileCount, session.totalSize, m_transferBlockSize);
    m_progress.RestartCopy();
    m_state = FileState::None;
    m_summary = ReceiveSummary{};
    m_summary.announcedFiles = session.fileCount;
    m_extended = false;
}

void ReceivingEngine::fileHeader(const QByteArray& name, std::int32_t size, std::int32_t number)
{
    if (m_extended) {
        m_view.LogError(QStringLiteral("Message dropped: a file header of the plain protocol inside an "
                                       "extended copy"));
        return;
    }
    beginFile(name, size, number, QString::number(size));
    if (size < 0) {
        // No packet can ever complete it: its data goes nowhere, without a line per packet.
        m_view.LogError(QStringLiteral("Refused \"%1\": announced size %2 is negative; its data "
                                       "will be discarded")
                            .arg(m_fileName, QString::number(size)));
        m_state = FileState::Failed;
        ++m_summary.failedFiles;
    } else {
        m_targetPath = m_receiveDirectory + m_fileName;
        Admission admission;
        if (!FileAdmission::NameAllowed(name))
            m_view.LogError(QStringLiteral("Refused unsafe file name \"%1\"").arg(m_fileName));
        else if ((admission = admitFile(m_receiveDirectoryBytes + name)).verdict == Admission::Verdict::Admitted)
            return;
        refuseFile(admission);
    }
    m_progress.Show();
}

void ReceivingEngine::beginFile(const QByteArray& name, qint64 size, int number, const QString& shownSize)
{
    // A header before the open file completed cuts that file off.
    cutOffFile();

    m_progress.RestartFile(number, size);
    m_corruptBlocks = 0;
    m_writeErrorLogged = false;
    m_skipping = false;
    m_note.clear();

    m_fileName = Printable(QFile::decodeName(name));
    m_view.ShowFileName(m_fileName);
    m_view.ShowFileCounter(QStringLiteral("File %1/%2").arg(number).arg(m_progress.FileCount()));
    m_view.LogMessage(QStringLiteral("Data size: %1 bytes (%2KB)").arg(shownSize).arg(size / 1024));
    m_view.LogMessage(QStringLiteral("Filename: ") + m_fileName + QStringLiteral("  255"));
    m_progress.SetFileStep(m_transferBlockSize);
}

QByteArray ReceivingEngine::entryFolder() const
{
    return m_entryPath.left(m_entryPath.lastIndexOf('/') + 1);
}

// `target` is the file's path, the receive directory's included (the plain protocol), or its
// last part in the folder m_entryPath leads to (the extension).
Admission ReceivingEngine::admitFile(const QByteArray& target)
{
    int folder = AT_FDCWD;
    QByteArray folderPath = m_receiveDirectoryBytes;
    if (m_extended) {
        QString reason;
        // The folder stays the tree's: no file of the last one may still use it.
        m_file.Discard();
        folder = m_tree.FolderOf(m_entryPath, &reason);
        if (folder < 0) {
            m_note = reason;
            return m_admission.Refuse(
                QStringLiteral("Datei %1 kann nicht erstellt werden (%2)").arg(m_targetPath, Printable(reason)), reason,
                RefusedWhy::CannotCreate);
        }
        folderPath += entryFolder();
    }
    // The plain protocol sets no modes; a folder's default ACL is looked at once, as it opens.
    m_file.SetFolderKeepsModes(m_extended && m_tree.FolderKeepsModes());
    // A large file of a copy that resumes is written as a partial file; any other as usual.
    const Admission admission = m_admission.Admit(
        m_file, folder, target, folderPath, m_progress.FileSize(), m_targetPath,
        [&] { return m_resume.CreatePartial(folder, target); }, m_resume.SpaceHeld(),
        !m_extended || m_tree.MayBeFolder(target));
    if (admission.verdict == Admission::Verdict::Refused)
        m_note = admission.note;
    if (admission.verdict != Admission::Verdict::Admitted)
        return admission;
    m_state = FileState::Receiving;
    m_resume.FileAdmitted();
    m_view.LogMessage(QStringLiteral("Receiving Data..."));
    m_view.ShowStatus(QStringLiteral(" Receiving..."));
    m_progress.Show();
    return admission;
}

// The file is not written; its data packets are still counted.
void ReceivingEngine::refuseFile(const Admission& admission)
{
    m_state = FileState::Discarding;
    m_skipping = admission.verdict == Admission::Verdict::Skipped;
    if (m_skipping)
        fileOutcome(Outcome::Skipped, 0);
    else
        fileOutcome(Outcome::Refused, static_cast<std::uint8_t>(admission.why));
}

void ReceivingEngine::dataPacket(std::uint8_t* p, std::int32_t count, std::uint32_t checksum)
{
    if (count > m_transferBlockSize) {
        Flush();
        m_view.LogError(QStringLiteral("Message dropped: data packet with count %1 above the block size %2")
                            .arg(count)
                            .arg(m_transferBlockSize));
        dataLost();
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
        dataLost();
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
    if (m_authenticated)
        std::copy(m_checksums, m_checksums + n, computed);
    else
        BlockChecksums(kChecksumStart, m_areas, m_counts, computed, n);
    // Every block is written before anything is reported, so that a report that fails
    // cannot leave a gap in the file. A corrupt block is written too, so that later blocks
    // land at their offsets.
    if (m_file.IsOpen()) {
        const qint64 offset = m_file.Written();
        const bool resume = carriesResume();
        if (resume)
            m_partial.BeforeWrite(offset, std::accumulate(m_counts, m_counts + n, qint64(0)));
        m_file.Write(m_areas, m_counts, n);
        if (resume)
            m_partial.Wrote(m_areas, m_counts, n, !m_file.Failed());
    }
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
        m_view.LogError(QStringLiteral("Cannot write \"%1\": %2").arg(m_targetPath, m_file.ErrorText()));
    }
    m_progress.Show();
}

void ReceivingEngine::dataLost()
{
    if (m_state != FileState::Receiving)
        return;
    m_file.Discard();
    m_state = FileState::Failed;
    m_view.LogError(QStringLiteral("Transmission failed: a data packet of \"%1\" was dropped, so it cannot be "
                                   "whole; received data discarded")
                        .arg(m_fileName));
    fileOutcome(Outcome::Discarded, static_cast<std::uint8_t>(DiscardedWhy::PacketDropped));
}

void ReceivingEngine::fileEnded()
{
    switch (m_state) {
    case FileState::Receiving:
        if (carriesResume())
            m_state = FileState::AwaitingEnd; // checked against the sender's digest first
        else
            commitFile();
        return;
    case FileState::AwaitingEnd:
        return;
    case FileState::Discarding:
        m_state = FileState::Failed;
        if (m_skipping)
            m_view.LogMessage(QStringLiteral("\"%1\" skipped: a file of that name is kept; received "
                                             "data discarded")
                                  .arg(m_fileName));
        else
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
        // Nothing corrupt lands under a real name, nor is kept for later.
        m_file.Discard();
        m_partial.Drop();
        const QString blocks = m_corruptBlocks == 1 ? QStringLiteral("1 corrupt block")
                                                    : QStringLiteral("%1 corrupt blocks").arg(m_corruptBlocks);
        m_view.LogError(
            QStringLiteral("Transmission failed: %1 in \"%2\"; received data discarded").arg(blocks, m_fileName));
        fileOutcome(Outcome::Discarded, static_cast<std::uint8_t>(DiscardedWhy::CorruptBlocks));
        return;
    }
    QString reason;
    ReceivedFile::Placement placed;
    const bool partial = m_file.IsPartial();
    const bool committed = m_file.Commit(m_admission.Existing(), &placed, &reason);
    // In place or not, its partial file is gone and its record goes too.
    if (m_partial.Drop() || partial)
        m_partial.RemoveFolderIfEmpty();
    if (!committed) {
        const QString text =
            QStringLiteral("Transmission failed: %1 could not be written (%2)").arg(m_targetPath, reason);
        m_view.ShowError(text);
        m_view.LogError(text);
        m_note = reason;
        fileOutcome(Outcome::Discarded,
                    static_cast<std::uint8_t>(m_file.ErrorNumber() == ENOSPC ? DiscardedWhy::NoSpace
                                                                             : DiscardedWhy::WriteFailed));
        return;
    }
    switch (placed.how) {
    case ReceivedFile::Placed::Kept:
        // Its name was taken while it arrived.
        m_view.LogMessage(QStringLiteral("Kept the existing %1; received data discarded").arg(m_targetPath));
        fileOutcome(Outcome::Skipped, 0);
        return;
    case ReceivedFile::Placed::Renamed: {
        const QByteArray folder = m_extended ? entryFolder() : QByteArray();
        const QByteArray storedAs = folder + placed.name;
        m_view.LogMessage(
            QStringLiteral("%1 exists; stored as \"%2\"").arg(m_targetPath, Printable(QFile::decodeName(storedAs))));
        m_state = FileState::Complete;
        m_view.LogMessage(QStringLiteral("Transmission Complete!"));
        fileOutcome(Outcome::Stored, static_cast<std::uint8_t>(StoredHow::Renamed), storedAs);
        return;
    }
    case ReceivedFile::Placed::New:
    case ReceivedFile::Placed::Replaced:
        break;
    }
    m_state = FileState::Complete;
    m_view.LogMessage(QStringLiteral("Transmission Complete!"));
    fileOutcome(
        Outcome::Stored,
        static_cast<std::uint8_t>(placed.how == ReceivedFile::Placed::Replaced ? StoredHow::Replaced : StoredHow::New));
}

void ReceivingEngine::CloseCurrentFile()
{
    MessageSink* const answers = std::exchange(m_answers, nullptr);
    cutOffFile();
    m_answers = answers;
}

void ReceivingEngine::cutOffFile()
{
    Flush();
    if (m_state != FileState::Receiving && m_state != FileState::Discarding && m_state != FileState::AwaitingEnd)
        return;
    const bool receiving = m_state != FileState::Discarding;
    // A partial file stays for the next copy of the file, unless what it holds is corrupt or
    // could not be written (a full disk aside: once there is room, the copy can go on).
    const bool keep =
        receiving && m_file.IsPartial() && m_corruptBlocks == 0 && (!m_file.Failed() || m_file.ErrorNumber() == ENOSPC);
    if (keep) {
        m_partial.Leave(m_file.Detach());
    } else if (receiving) {
        const bool partial = m_file.IsPartial();
        m_file.Discard();
        if (m_partial.Drop() || partial)
            m_partial.RemoveFolderIfEmpty();
    }
    m_state = FileState::Failed;
    m_view.LogError(QStringLiteral("Transmission aborted: \"%1\" incomplete (%2 of %3 bytes); %4")
                        .arg(m_fileName, QString::number(m_progress.FileBytes()),
                             QString::number(m_progress.FileSize()),
                             keep ? QStringLiteral("received data kept for the next copy of it")
                                  : QStringLiteral("received data discarded")));
    if (receiving)
        fileOutcome(Outcome::Discarded, static_cast<std::uint8_t>(DiscardedWhy::CutOff));
}

void ReceivingEngine::fileOutcome(Outcome outcome, std::uint8_t detail, const QByteArray& storedAs)
{
    m_summary.CountFile(outcome, detail, m_progress.FileSize());
    if (!m_extended)
        return;
    Receipt receipt;
    receipt.entry = m_entry;
    receipt.kind = EntryKind::File;
    receipt.outcome = outcome;
    receipt.detail = detail;
    receipt.size = m_announcedSize;
    receipt.received = static_cast<std::uint64_t>(std::max<qint64>(0, m_progress.FileBytes()));
    receipt.corruptBlocks = static_cast<std::uint32_t>(m_corruptBlocks);
    receipt.storedAs = storedAs;
    receipt.note = m_note.toUtf8();
    answer(EncodeReceipt(receipt));
}

void ReceivingEngine::answer(const QByteArray& message)
{
    if (!m_answers || m_answerFailed)
        return;
    try {
        m_answers->Send(kToAllPlayers, kSendGuaranteed, message.constData(),
                        static_cast<std::uint32_t>(message.size()));
    } catch (const AppError& error) {
        // The client is gone: its copy ends without answers.
        m_answerFailed = true;
        m_view.LogError(QStringLiteral("Cannot answer the client: ") + error.message());
    }
}
