#include "transfer/fileadmission.h"

#include "text/printable.h"
#include "transfer/partialstore.h"
#include "transfer/receivedfile.h"
#include "transfer/transferview.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cstdint>

namespace {

// Bytes an unprivileged writer may still put into `directory`; -1 when unknown.
qint64 freeSpace(const QByteArray& directory)
{
    struct statvfs info {};
    if (::statvfs(directory.isEmpty() ? "." : directory.constData(), &info) != 0)
        return -1;
    return static_cast<qint64>(info.f_bavail) * static_cast<qint64>(info.f_frsize);
}

// The largest file this process may write (RLIMIT_FSIZE); -1 when there is no limit.
qint64 readFileSizeLimit()
{
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return -1;
    return static_cast<qint64>(std::min<rlim_t>(limit.rlim_cur, rlim_t(INT64_MAX)));
}

} // namespace

FileAdmission::FileAdmission(TransferView& view)
    : m_view(view), m_freeSpace(freeSpace), m_fileSizeLimit(readFileSizeLimit)
{
}

void FileAdmission::SetFreeSpaceProbe(FreeSpaceProbe probe)
{
    m_freeSpace = probe ? std::move(probe) : FreeSpaceProbe(freeSpace);
    m_spaceRead.invalidate();
}

void FileAdmission::SetFileSizeLimitProbe(FileSizeLimitProbe probe)
{
    m_fileSizeLimit = probe ? std::move(probe) : FileSizeLimitProbe(readFileSizeLimit);
    m_limitRead.invalidate();
}

qint64 FileAdmission::fileSizeLimit()
{
    if (!m_limitRead.isValid() || m_limitRead.hasExpired(1000)) {
        m_limit = m_fileSizeLimit();
        m_limitRead.start();
    }
    return m_limit;
}

qint64 FileAdmission::freeSpaceFor(const QByteArray& folderPath, qint64 size)
{
    const bool recent = m_spaceRead.isValid() && !m_spaceRead.hasExpired(1000) && folderPath == m_spaceFolder;
    // An unknown free space (-1) is asked again each time.
    if (!recent || m_space < 0 || m_space - size < kSpaceMargin) {
        m_space = m_freeSpace(folderPath);
        m_spaceFolder = folderPath;
        m_spaceRead.start();
    }
    return m_space;
}

// Names that could point anywhere but at a new entry of the receive directory, and names
// with control characters, which have no business in a file name.
bool FileAdmission::NameAllowed(const QByteArray& name)
{
    return !name.isEmpty() && name != "." && name != ".." && !name.contains('/') && !name.contains('\\')
           && !HasControlBytes(name) && name != PartialStore::kFolder;
}

Admission FileAdmission::Refuse(const QString& text, const QString& note, RefusedWhy why)
{
    m_view.ShowMessage(text);
    m_view.LogError(text);
    return {Admission::Verdict::Refused, why, note};
}

Admission FileAdmission::Admit(ReceivedFile& file, int folder, const QByteArray& target, const QByteArray& folderPath,
                               qint64 size, const QString& shown, const std::function<bool()>& createOther, qint64 held,
                               bool mayBeFolder)
{
    if (m_existing == ExistingFiles::Skip && ReceivedFile::Exists(folder, target)) {
        m_view.LogMessage(QStringLiteral("Kept the existing %1; the data that arrives for it is discarded").arg(shown));
        return {Admission::Verdict::Skipped, RefusedWhy::UnsafeName, QString()};
    }
    // The size rules it out: larger than the process may write or than the free space.
    const qint64 limit = fileSizeLimit();
    if (limit >= 0 && size > limit)
        return Refuse(QStringLiteral("%1 is too large: %2 bytes, and this program may write files of at "
                                     "most %3 bytes")
                          .arg(shown, QString::number(size), QString::number(limit)),
                      QStringLiteral("files of at most %1 bytes").arg(limit), RefusedWhy::TooLarge);
    const qint64 available = freeSpaceFor(folderPath, size - held);
    if (available >= 0 && size - held > available)
        return Refuse(QStringLiteral("Not enough free space for %1: %2 bytes needed, %3 bytes free")
                          .arg(shown, QString::number(size - held), QString::number(available)),
                      QStringLiteral("%1 bytes free").arg(available), RefusedWhy::NoSpace);
    QString reason;
    const bool created =
        (createOther && createOther())
        || (folder == AT_FDCWD ? file.Create(target, &reason) : file.CreateAt(folder, target, &reason, mayBeFolder));
    if (!created)
        return Refuse(QStringLiteral("Datei %1 kann nicht erstellt werden").arg(shown), reason,
                      RefusedWhy::CannotCreate);
    // The disk itself says whether the file fits, where it can tell.
    if (!file.Reserve(size, &reason)) {
        file.Discard();
        const qint64 free = m_freeSpace(folderPath);
        m_spaceRead.invalidate();
        return Refuse(
            QStringLiteral("Not enough free space for %1: %2 bytes needed, %3 bytes free (%4)")
                .arg(shown, QString::number(size), free >= 0 ? QString::number(free) : QStringLiteral("?"), reason),
            reason, RefusedWhy::NoSpace);
    }
    if (m_space >= 0)
        m_space = std::max<qint64>(0, m_space - (size - held));
    return {Admission::Verdict::Admitted, RefusedWhy::UnsafeName, QString()};
}
