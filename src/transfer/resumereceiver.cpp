#include "transfer/resumereceiver.h"

#include "transfer/filetimes.h"
#include "transfer/receivingengine.h"
#include "transfer/receivingview.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace {

// "1,234,567" for a count of bytes.
QString grouped(qint64 value)
{
    QString digits = QString::number(value);
    for (qsizetype at = digits.size() - 3; at > 0; at -= 3)
        digits.insert(at, QLatin1Char(','));
    return digits;
}

} // namespace

void ResumeReceiver::StartCopy()
{
    m_attributes.reset();
    m_folders.clear();
}

void ResumeReceiver::HandleMessage(const ExtensionMessage& message)
{
    if (const auto* attributes = std::get_if<Attributes>(&message))
        m_attributes = *attributes;
    else if (const auto* kept = std::get_if<Keep>(&message))
        keep(*kept);
    else if (const auto* end = std::get_if<FileEnd>(&message))
        fileEnd(*end);
}

std::optional<Attributes> ResumeReceiver::TakeAttributes(std::uint32_t entry)
{
    std::optional<Attributes> taken = std::exchange(m_attributes, std::nullopt);
    if (taken && taken->entry != entry) {
        m_engine.m_view.LogError(
            QStringLiteral("Message dropped: attributes for entry %1 before entry %2").arg(taken->entry).arg(entry));
        taken.reset();
    }
    return taken;
}

void ResumeReceiver::BeginFile(std::uint32_t entry, qint64 size)
{
    m_fileAttributes = TakeAttributes(entry);
    m_partial.Begin(size);
}

bool ResumeReceiver::CreatePartial(int folder, const QByteArray& target)
{
    ReceivingEngine& e = m_engine;
    // Only large files are worth keeping; small ones stay nameless, and go when cut off.
    if (!e.carriesResume() || !m_keepPartials || !m_fileAttributes || e.m_progress.FileSize() < kResumeFrom)
        return false;
    QString note;
    const PartialStore::Identity id{m_sender, e.m_entryPath, e.m_progress.FileSize(), m_fileAttributes->modifiedNs};
    const bool made = m_partial.Create(e.m_file, folder, target, id, &note);
    if (!note.isEmpty())
        e.m_view.LogError(QStringLiteral("The partial file of \"%1\" from an earlier copy was thrown away: %2")
                              .arg(e.m_fileName, note));
    return made;
}

qint64 ResumeReceiver::SpaceHeld() const
{
    const ReceivingEngine& e = m_engine;
    if (!e.carriesResume() || !m_keepPartials || !m_fileAttributes || e.m_progress.FileSize() < kResumeFrom)
        return 0;
    return m_partial.SpaceHeld({m_sender, e.m_entryPath, e.m_progress.FileSize(), m_fileAttributes->modifiedNs});
}

bool ResumeReceiver::AnswerIfUnchanged()
{
    ReceivingEngine& e = m_engine;
    if (!careful())
        return false;
    QString reason;
    // The folder stays the tree's: no file of the last one may still use it.
    e.m_file.Discard();
    const int folder = e.m_tree.FolderOf(e.m_entryPath, &reason);
    if (folder < 0)
        return false; // the admission says why
    const QByteArray name = e.m_entryPath.mid(e.m_entryPath.lastIndexOf('/') + 1);
    struct stat info {};
    const bool found = ::fstatat(folder, name.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0;
    if (!found || !S_ISREG(info.st_mode) || qint64(info.st_size) != e.m_progress.FileSize()
        || ModifiedNsOf(info) != m_fileAttributes->modifiedNs
        || (info.st_mode & 0777) != (m_fileAttributes->mode & 0777))
        return false;
    e.m_state = ReceivingEngine::FileState::Failed; // whatever data comes goes nowhere
    e.m_view.LogMessage(QStringLiteral("\"%1\" is there already, unchanged").arg(e.m_fileName));
    e.fileOutcome(Outcome::Stored, static_cast<std::uint8_t>(StoredHow::AlreadyThere));
    return true;
}

void ResumeReceiver::FileAdmitted()
{
    ReceivingEngine& e = m_engine;
    if (m_fileAttributes)
        e.m_file.SetAttributes(m_fileAttributes->modifiedNs, m_fileAttributes->mode);
    // A careful sender waits for this word on every file, a sender for a large file always.
    if (!e.carriesResume() || (e.m_progress.FileSize() < kResumeFrom && !careful()))
        return;
    // The sender waits for this before it sends the file's data.
    const qint64 held = m_partial.HeldBytes();
    if (held > 0)
        e.m_view.LogMessage(
            QStringLiteral("Holding %1 bytes of \"%2\" from an earlier copy").arg(grouped(held), e.m_fileName));
    e.answer(EncodeResumeOffer(m_partial.Offer(e.m_entry)));
}

void ResumeReceiver::keep(const Keep& keep)
{
    ReceivingEngine& e = m_engine;
    const qint64 lacking = e.m_progress.FileSize() - e.m_progress.FileBytes();
    QString problem;
    if (e.m_state != ReceivingEngine::FileState::Receiving || !e.m_file.IsPartial())
        problem = QStringLiteral("\"%1\" is not being resumed").arg(e.m_fileName);
    else if (keep.count > static_cast<std::uint64_t>(lacking))
        problem = QStringLiteral("\"%1\" lacks only %2 bytes").arg(e.m_fileName).arg(lacking);
    else
        m_partial.Keep(e.m_file.Written(), static_cast<qint64>(keep.count), &problem);
    if (!problem.isEmpty()) {
        // The file cannot end whole now: its end refuses it.
        e.m_view.LogError(QStringLiteral("Message dropped: keeping %1 bytes, but %2").arg(keep.count).arg(problem));
        return;
    }
    e.m_file.Keep(static_cast<qint64>(keep.count));
    e.m_summary.bytesKept += static_cast<qint64>(keep.count);
    e.m_progress.AddBytes(static_cast<qint64>(keep.count));
    e.m_progress.Show();
    if (e.m_progress.FileBytes() == e.m_progress.FileSize())
        e.fileEnded();
}

void ResumeReceiver::fileEnd(const FileEnd& end)
{
    ReceivingEngine& e = m_engine;
    using FileState = ReceivingEngine::FileState;
    if (end.entry != e.m_entry) {
        e.m_view.LogError(
            QStringLiteral("Message dropped: the end of entry %1 during entry %2").arg(end.entry).arg(e.m_entry));
        return;
    }
    if (e.m_state == FileState::Receiving) {
        // Ended before all its bytes arrived.
        e.cutOffFile();
        return;
    }
    if (e.m_state != FileState::AwaitingEnd)
        return; // refused, skipped or written off already: its receipt went out
    if (e.m_file.IsPartial() && e.m_file.ErrorNumber() == ENOSPC && e.m_corruptBlocks == 0) {
        // The disk filled up: what was written stays for the next copy, once there is room.
        e.m_state = FileState::Failed;
        e.m_note = e.m_file.ErrorText();
        m_partial.Leave(e.m_file.Detach());
        e.m_view.LogError(QStringLiteral("Transmission failed: \"%1\": the disk is full; received data kept for the "
                                         "next copy of it")
                              .arg(e.m_fileName));
        e.fileOutcome(Outcome::Discarded, static_cast<std::uint8_t>(DiscardedWhy::NoSpace));
        return;
    }
    if (e.m_corruptBlocks == 0 && m_partial.FileDigest() != end.digest) {
        e.m_state = FileState::Failed;
        e.m_file.Discard();
        m_partial.Drop();
        m_partial.RemoveFolderIfEmpty();
        e.m_view.LogError(QStringLiteral("Transmission failed: \"%1\" does not match the sender's file; received "
                                         "data discarded")
                              .arg(e.m_fileName));
        e.fileOutcome(Outcome::Discarded, static_cast<std::uint8_t>(DiscardedWhy::Mismatch));
        return;
    }
    e.commitFile();
}

void ResumeReceiver::AddFolder(const QByteArray& path, const std::optional<Attributes>& attributes, bool made)
{
    if (attributes)
        m_folders.push_back({path, *attributes, made});
}

void ResumeReceiver::EndCopy()
{
    // Deepest first, so that setting a folder's time is the last change inside its parent;
    // a folder that was there already keeps its permissions.
    for (auto it = m_folders.rbegin(); it != m_folders.rend(); ++it) {
        QString reason;
        const int fd = m_engine.m_tree.OpenFolder(it->path, &reason);
        if (fd < 0)
            continue;
        if (it->made)
            ::fchmod(fd, static_cast<mode_t>(it->attributes.mode & 0777));
        const timespec times[2] = {{0, UTIME_OMIT}, TimespecOf(it->attributes.modifiedNs)};
        ::futimens(fd, times);
        ::close(fd);
    }
    m_folders.clear();
}
