#include "transfer/extendedcopy.h"

#include "text/printable.h"
#include "transfer/logging.h"
#include "transfer/receivingengine.h"
#include "transfer/receivingview.h"

#include <QFile>

#include <algorithm>

namespace {

// Why an extended entry's path is refused, or an empty text: PathProblem's reasons, and the
// receiver's own folder of partial files, which no sender may write into.
QString entryProblem(const QByteArray& path)
{
    const QString problem = PathProblem(path);
    const qsizetype slash = path.indexOf('/');
    if (problem.isEmpty() && (slash < 0 ? path : path.left(slash)) == PartialStore::kFolder)
        return QStringLiteral("the name is the receiver's own");
    return problem;
}

} // namespace

void ExtendedCopy::HandleMessage(QByteArrayView bytes)
{
    ReceivingEngine& e = m_engine;
    const ExtensionMessage message = DecodeExtensionMessage(bytes);
    if (const auto* rejected = std::get_if<RejectedMessage>(&message)) {
        qCDebug(lcTransfer, "message of %lld bytes dropped: %s", static_cast<long long>(bytes.size()),
                qUtf8Printable(rejected->reason));
        e.m_view.LogError(QStringLiteral("Message dropped: ") + rejected->reason);
        return;
    }
    if (const auto* start = std::get_if<CopyStart>(&message)) {
        copyStart(*start);
        return;
    }
    if (std::holds_alternative<Receipt>(message) || std::holds_alternative<CopySummary>(message)
        || std::holds_alternative<ResumeOffer>(message)) {
        e.m_view.LogError(QStringLiteral("Message dropped: answers are the server's to send"));
        return;
    }
    if (!e.m_extended) {
        e.m_view.LogError(QStringLiteral("Message dropped: a message of the extended protocol outside an "
                                         "extended copy"));
        return;
    }
    if (const auto* file = std::get_if<FileEntry>(&message))
        fileEntry(*file);
    else if (const auto* folder = std::get_if<FolderEntry>(&message))
        folderEntry(*folder);
    else if (const auto* run = std::get_if<ZeroRun>(&message))
        zeroRun(*run);
    else if (const auto* end = std::get_if<CopyEnd>(&message))
        copyEnd(*end);
    else if (!e.carriesResume())
        e.m_view.LogError(
            QStringLiteral("Message dropped: a message of version 2 in a copy of version %1").arg(e.m_copyVersion));
    else
        e.m_resume.HandleMessage(message);
}

void ExtendedCopy::copyStart(const CopyStart& start)
{
    ReceivingEngine& e = m_engine;
    SessionData session;
    session.fileCount = static_cast<std::int32_t>(std::min<std::uint32_t>(start.files, INT32_MAX));
    session.blockSize = start.blockSize;
    session.encrypted = start.encrypted;
    session.key = start.key;
    // Its own line first, so that the design's lines of a copy stay together.
    e.m_view.LogMessage(QStringLiteral("Extended protocol %1: %2 files and %3 folders, %4 bytes")
                            .arg(start.version)
                            .arg(start.files)
                            .arg(start.folders)
                            .arg(start.totalSize));
    e.sessionData(session);
    // The bars run on the true total.
    e.m_progress.SetCopy(session.fileCount, static_cast<qint64>(std::min<std::uint64_t>(start.totalSize, INT64_MAX)),
                         e.m_transferBlockSize);
    e.m_summary.announcedFolders = static_cast<int>(std::min<std::uint32_t>(start.folders, INT32_MAX));
    e.m_extended = true;
    e.m_copyVersion = start.version;
    e.m_answerFailed = false;
    e.m_fileIndex = 0;
    e.m_entry = 0;
    e.m_resume.StartCopy();
    QString reason;
    if (!e.m_tree.Open(e.m_receiveDirectoryBytes, &reason))
        e.m_view.LogError(QStringLiteral("Cannot open %1: %2").arg(e.m_receiveDirectory, reason));
    else if (e.carriesResume())
        e.m_partial.Open(e.m_tree.Descriptor(), &reason);
}

void ExtendedCopy::fileEntry(const FileEntry& entry)
{
    ReceivingEngine& e = m_engine;
    const auto number = static_cast<int>(std::min<qint64>(++e.m_fileIndex, INT32_MAX));
    // Sizes past what a file offset can hold are shown as they came, and refused.
    const bool representable = entry.size <= std::uint64_t(INT64_MAX);
    const qint64 size = representable ? static_cast<qint64>(entry.size) : INT64_MAX;
    e.beginFile(entry.path, size, number, QString::number(entry.size));
    e.m_entry = entry.entry;
    e.m_entryPath = entry.path;
    e.m_announcedSize = entry.size;
    e.m_targetPath = e.m_receiveDirectory + e.m_fileName;
    e.m_resume.BeginFile(entry.entry, size);
    const QString problem = entryProblem(entry.path);
    Admission admission;
    if (!problem.isEmpty()) {
        e.m_view.LogError(QStringLiteral("Refused unsafe file name \"%1\": %2").arg(e.m_fileName, problem));
        e.m_note = problem;
    } else if (!representable) {
        e.m_view.LogError(QStringLiteral("Refused \"%1\": announced size %2 is larger than a file can be")
                              .arg(e.m_fileName, QString::number(entry.size)));
        admission.why = RefusedWhy::TooLarge;
    } else if (e.m_resume.AnswerIfUnchanged()) {
        e.m_progress.Show();
        return;
    } else if ((admission = e.admitFile(entry.path.mid(entry.path.lastIndexOf('/') + 1))).verdict
               == Admission::Verdict::Admitted) {
        return;
    }
    e.refuseFile(admission);
    if (!representable)
        e.m_state = ReceivingEngine::FileState::Failed; // no count of bytes can ever reach its size
    e.m_progress.Show();
}

void ExtendedCopy::folderEntry(const FolderEntry& entry)
{
    ReceivingEngine& e = m_engine;
    e.cutOffFile();
    e.m_state = ReceivingEngine::FileState::None;
    const QString shown = Printable(QFile::decodeName(entry.path));
    Receipt receipt;
    receipt.entry = entry.entry;
    receipt.kind = EntryKind::Folder;
    QString reason = entryProblem(entry.path);
    bool existed = false;
    const std::optional<Attributes> attributes = e.m_resume.TakeAttributes(entry.entry);
    if (!reason.isEmpty()) {
        e.m_view.LogError(QStringLiteral("Refused unsafe folder name \"%1\": %2").arg(shown, reason));
        receipt.note = reason.toUtf8();
        receipt.outcome = Outcome::Refused;
        receipt.detail = static_cast<std::uint8_t>(RefusedWhy::UnsafeName);
    } else if (!e.m_tree.MakeFolder(entry.path, &existed, &reason)) {
        e.m_view.LogError(
            QStringLiteral("Cannot create the folder %1%2: %3").arg(e.m_receiveDirectory, shown, Printable(reason)));
        receipt.note = reason.toUtf8();
        receipt.outcome = Outcome::Refused;
        receipt.detail = static_cast<std::uint8_t>(RefusedWhy::CannotCreate);
    } else {
        e.m_view.LogMessage(existed ? QStringLiteral("Folder \"%1\" is there already").arg(shown)
                                    : QStringLiteral("Folder \"%1\" created").arg(shown));
        e.m_resume.AddFolder(entry.path, attributes, !existed);
        receipt.outcome = Outcome::Stored;
        receipt.detail = static_cast<std::uint8_t>(existed ? StoredHow::FolderExisted : StoredHow::New);
    }
    if (receipt.outcome == Outcome::Stored)
        ++e.m_summary.foldersMade;
    else
        ++e.m_summary.failedFolders;
    e.answer(EncodeReceipt(receipt));
}

void ExtendedCopy::zeroRun(const ZeroRun& run)
{
    ReceivingEngine& e = m_engine;
    const bool inProgress =
        e.m_state == ReceivingEngine::FileState::Receiving || e.m_state == ReceivingEngine::FileState::Discarding;
    const qint64 lacking = e.m_progress.FileSize() - e.m_progress.FileBytes();
    // A run never completes a file: its last bytes always come in a data packet, so the
    // file's length is always written.
    if (!inProgress || run.count >= static_cast<std::uint64_t>(lacking)) {
        e.m_view.LogError(
            QStringLiteral("Message dropped: a run of %1 zero bytes, but \"%2\" lacks %3 bytes")
                .arg(QString::number(run.count), e.m_fileName, QString::number(inProgress ? lacking : 0)));
        e.dataLost();
        return;
    }
    if (e.carriesResume() && e.m_file.IsOpen())
        e.m_partial.Zeros(e.m_file.Written(), static_cast<qint64>(run.count));
    e.m_file.Skip(static_cast<qint64>(run.count));
    e.m_progress.AddBytes(static_cast<qint64>(run.count));
    e.m_progress.Show();
}

void ExtendedCopy::copyEnd(const CopyEnd& end)
{
    ReceivingEngine& e = m_engine;
    // A file still open is cut off: its receipt goes before the summary.
    e.cutOffFile();
    e.m_state = ReceivingEngine::FileState::None;
    e.m_resume.EndCopy();
    const int entries = e.m_summary.Entries();
    if (end.entries != static_cast<std::uint32_t>(entries))
        e.m_view.LogError(
            QStringLiteral("The client says it sent %1 files and folders; %2 arrived").arg(end.entries).arg(entries));
    const CopySummary summary = e.m_summary.Message();
    const int files = entries - e.m_summary.foldersMade - e.m_summary.failedFolders;
    e.m_view.LogMessage(QStringLiteral("End of copy: %1 of %2 files stored").arg(summary.filesStored).arg(files));
    e.answer(EncodeSummary(summary));
    e.m_extended = false;
    e.m_partial.RemoveFolderIfEmpty();
    e.m_partial.Close();
    e.m_tree.Close();
}
