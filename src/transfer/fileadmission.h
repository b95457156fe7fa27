#pragma once

#include "transfer/existingfiles.h"
#include "transfer/extensionmessages.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>

#include <functional>

class ReceivedFile;
class TransferView;

// What becomes of an announced file: created and ready to receive, refused (and why, with
// the server's words for its receipt), or skipped because a file of its name stays.
struct Admission {
    enum class Verdict { Admitted, Refused, Skipped };
    Verdict verdict = Verdict::Refused;
    RefusedWhy why = RefusedWhy::UnsafeName; // when refused
    QString note;                            // when refused: the server's words, may be empty
};

// The receiving side's rules for letting a file in: a safe name, a size this process may
// write and the disk has room for, and the policy for a name that is taken. Admitting
// creates the file (a temporary one, put in place when complete) and reserves its room;
// each refusal is shown and logged in the view, a skip logged.
//
// The limits are not read for every file of a copy of many: the file size limit at most once
// a second, the free space of a folder once a second as long as the files admitted since
// leave a wide margin of it (kSpaceMargin); a file that comes near the last reading, or
// past it, has it read again, and is refused only on a fresh reading.
class FileAdmission {
public:
    explicit FileAdmission(TransferView& view);

    // How the free space of a directory is measured (statvfs unless a test fixes it): bytes,
    // or -1 when unknown.
    using FreeSpaceProbe = std::function<qint64(const QByteArray& directory)>;
    void SetFreeSpaceProbe(FreeSpaceProbe probe);
    // The largest file this process may write (RLIMIT_FSIZE unless a test fixes it): bytes,
    // or -1 for no limit.
    using FileSizeLimitProbe = std::function<qint64()>;
    void SetFileSizeLimitProbe(FileSizeLimitProbe probe);
    void SetExistingFiles(ExistingFiles policy) { m_existing = policy; }
    ExistingFiles Existing() const { return m_existing; }

    // A bare name of the plain protocol that names a new entry of the receive directory: not
    // empty, "." or "..", without "/", "\" or control characters, and not the receiver's own
    // folder of partial files.
    static bool NameAllowed(const QByteArray& name);

    // Decides on a file of `size` bytes and creates it in `file` when admitted. `target` is
    // the file's path (with `folder` AT_FDCWD), or its name inside the open folder `folder`;
    // `folderPath` is where that folder is, for its free space; `shown` names the file in
    // lines.
    // `createOther`, when given, may create the file some other way first (a partial file
    // that survives a cut): true when it did. `held`: bytes of it on the disk already (a
    // partial file that goes on), which the free space need not offer. `mayBeFolder` false:
    // the caller knows that `target` names no folder, which need not be looked for.
    Admission Admit(ReceivedFile& file, int folder, const QByteArray& target, const QByteArray& folderPath, qint64 size,
                    const QString& shown, const std::function<bool()>& createOther = {}, qint64 held = 0,
                    bool mayBeFolder = true);
    // Refuses a file: shows and logs `text`.
    Admission Refuse(const QString& text, const QString& note, RefusedWhy why);

    // Free space that lets the files of a copy in without a new reading.
    static constexpr qint64 kSpaceMargin = qint64(64) << 20;

private:
    qint64 fileSizeLimit();
    // The free space in `folderPath` for a file of `size` bytes: the last reading less what was
    // admitted since, while that stays well above `size`; otherwise a fresh reading.
    qint64 freeSpaceFor(const QByteArray& folderPath, qint64 size);

    TransferView& m_view;
    FreeSpaceProbe m_freeSpace;
    FileSizeLimitProbe m_fileSizeLimit;
    ExistingFiles m_existing = ExistingFiles::Overwrite;

    QElapsedTimer m_limitRead; // invalid: read it at the next file
    qint64 m_limit = -1;
    QElapsedTimer m_spaceRead;
    QByteArray m_spaceFolder;
    qint64 m_space = -1; // the last reading less what was admitted since
};
