#include "cli/sourcewalk.h"

#include "cli/consoletext.h"
#include "platform/apperror.h"
#include "text/printable.h"
#include "transfer/extensionmessages.h"
#include "transfer/filetimes.h"
#include "transfer/messages.h"
#include "transfer/storedfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <xxhash.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString errorText(int error)
{
    switch (error) {
    case ENOENT:
        return QStringLiteral("no such file");
    case EACCES:
    case EPERM:
        return QStringLiteral("permission denied");
    default: {
        QString text = QString::fromLocal8Bit(std::strerror(error));
        if (!text.isEmpty())
            text[0] = text[0].toLower();
        return text;
    }
    }
}

// What a server refuses to write (it never writes outside its directory, nor names that
// could steer a terminal or a log).
QString nameProblem(const QByteArray& name)
{
    if (HasControlBytes(name) || name.contains('\\'))
        return QStringLiteral("the server refuses names with \"\\\" or control characters; rename it");
    return QString();
}

// Whether this process may read the file `name` of the folder `at`, whose status is `info`;
// errno tells why not. A file of its own with the owner's read bit is readable (that bit is
// the owner's whole say, ACLs or not), which saves asking the system for most files.
bool mayRead(int at, const char* name, const struct stat& info)
{
    static const uid_t self = ::geteuid();
    if (info.st_uid == self && (info.st_mode & S_IRUSR) != 0)
        return true;
    return ::faccessat(at, name, R_OK, AT_EACCESS) == 0;
}

// Tells what `path` is, in `info`, and whether this process may read it, or why not; a link
// is followed only when `follow`. Nothing is opened (the file is opened once, to be sent), so
// a FIFO given by mistake does not wait for a writer.
QString readable(int at, const QByteArray& path, bool follow, struct stat& info)
{
    if (::fstatat(at, path.constData(), &info, follow ? 0 : AT_SYMLINK_NOFOLLOW) != 0)
        return errorText(errno);
    if (S_ISREG(info.st_mode) && !mayRead(at, path.constData(), info))
        return errorText(errno);
    return QString();
}

QString tooLargeReason(qint64 size)
{
    return QStringLiteral("%1; files of 2 GiB or more cannot be sent: the server does not offer the extended protocol")
        .arg(BytesText(size));
}

AppError changed(const QString& shown, const QString& how)
{
    return AppError(QStringLiteral("%1 changed after it was checked: %2").arg(shown, how));
}

} // namespace

SourceWalk::SourceWalk(QStringList files, const StoredFiles* skip) : m_files(std::move(files)), m_skip(skip) {}

SourceWalk::~SourceWalk() = default;

SourceFiles SourceWalk::Check()
{
    m_checking = true;
    m_result = {};
    m_byName.clear();
    m_givenFolder.assign(std::size_t(m_files.size()), false);
    m_digests.clear();
    Rewind();
    SendEntry entry;
    while (step(entry)) {
        if (entry.folder) {
            ++m_result.folderCount;
            continue;
        }
        if (m_result.fileCount++ == 0)
            m_result.firstFile = entry.path;
        m_result.totalBytes += entry.size;
    }
    m_checking = false;
    Rewind();
    return m_result;
}

bool SourceWalk::Next(SendEntry& entry)
{
    return step(entry);
}

void SourceWalk::Rewind()
{
    m_levels.clear();
    m_nextGiven = 0;
    m_folders = 0;
}

std::optional<EntryCounts> SourceWalk::Counts() const
{
    EntryCounts counts;
    counts.files = std::uint32_t(m_result.fileCount);
    counts.folders = std::uint32_t(m_result.folderCount);
    counts.bytes = std::uint64_t(m_result.totalBytes);
    counts.firstFile = m_result.firstFile;
    return counts;
}

void SourceWalk::problem(const QString& file, const QString& reason)
{
    if (!m_checking)
        throw AppError(QStringLiteral("%1: %2").arg(file, reason));
    m_result.problems.push_back({file, reason});
}

bool SourceWalk::skipped(const QByteArray& name, qint64 size, qint64 modifiedNs) const
{
    return m_skip && m_skip->Contains(StoredFiles::Key(name, size, modifiedNs));
}

bool SourceWalk::step(SendEntry& entry)
{
    while (!m_levels.empty()) {
        Level& level = m_levels.back();
        if (level.next == level.children.size()) {
            leave();
            continue;
        }
        const Child& child = level.children.at(level.next++);
        // Made only for a line: most entries never need one.
        const auto shown = [&] { return level.shown + QLatin1Char('/') + Printable(QFile::decodeName(child.name)); };
        switch (child.kind) {
        case Kind::Link:
            if (m_checking)
                m_result.skipped << QStringLiteral("Skipped the link %1: links are not followed").arg(shown());
            continue;
        case Kind::Special:
            if (m_checking)
                m_result.skipped << QStringLiteral("Skipped %1: not a regular file").arg(shown());
            continue;
        case Kind::Problem:
            problem(shown(), child.problem);
            continue;
        case Kind::Folder: {
            entry = {level.path + QLatin1Char('/') + QFile::decodeName(child.name), level.name + '/' + child.name,
                     true};
            enter(entry, shown()); // `level` and `child` go with the next level
            return true;
        }
        case Kind::File:
            break;
        }
        if (m_checking && child.size > kLargestPlainFile)
            m_result.needExtension.push_back({shown(), tooLargeReason(child.size)});
        // The check counts a file by its size (and shows the first one's path): its names are
        // made when it is sent.
        if (m_checking && !m_skip) {
            entry.folder = false;
            entry.size = child.size;
            if (m_result.fileCount == 0)
                entry.path = level.path + QLatin1Char('/') + QFile::decodeName(child.name);
            return true;
        }
        const QByteArray name = level.name + '/' + child.name;
        if (skipped(name, child.size, child.modifiedNs))
            continue;
        entry = {level.path + QLatin1Char('/') + QFile::decodeName(child.name), name, false, child.size};
        return true;
    }
    return given(entry);
}

bool SourceWalk::given(SendEntry& entry)
{
    const QString current = QDir::currentPath();
    while (m_nextGiven < m_files.size()) {
        const std::size_t index = std::size_t(m_nextGiven);
        const QString& file = m_files.at(m_nextGiven++);
        struct stat info {};
        QString reason = readable(AT_FDCWD, QFile::encodeName(file), true, info);
        const QString path = QDir::cleanPath(QDir::isAbsolutePath(file) ? file : current + QLatin1Char('/') + file);
        const QString name = QFileInfo(path).fileName();
        if (reason.isEmpty() && !S_ISDIR(info.st_mode) && !S_ISREG(info.st_mode))
            reason = QStringLiteral("not a regular file");
        if (reason.isEmpty() && name.isEmpty())
            reason = QStringLiteral("has no name to send it under");
        if (reason.isEmpty())
            reason = nameProblem(QFile::encodeName(name));
        if (reason.isEmpty() && m_checking) {
            const auto other = m_byName.constFind(name);
            if (other != m_byName.cend())
                reason = QStringLiteral("has the same name as %1; the server would keep only one").arg(*other);
            else
                m_byName.insert(name, file);
        }
        if (!reason.isEmpty()) {
            problem(file, reason);
            continue;
        }
        const bool folder = S_ISDIR(info.st_mode);
        if (m_checking)
            m_givenFolder[index] = folder;
        else if (m_givenFolder.at(index) != folder)
            throw changed(file, folder ? QStringLiteral("it is a folder now") : QStringLiteral("it is a file now"));
        if (folder) {
            if (m_checking)
                m_result.needExtension.push_back(
                    {file, QStringLiteral("is a folder; the server takes folders only with the extended protocol, "
                                          "which it does not offer")});
            entry = {path, QFile::encodeName(name), true};
            enter(entry, file);
            return true;
        }
        if (skipped(QFile::encodeName(name), info.st_size, ModifiedNsOf(info)))
            continue;
        if (m_checking && info.st_size > kLargestPlainFile)
            m_result.needExtension.push_back({file, tooLargeReason(info.st_size)});
        entry = {path, QFile::encodeName(name), false, info.st_size};
        return true;
    }
    return false;
}

void SourceWalk::enter(const SendEntry& entry, const QString& shown)
{
    Level level;
    level.path = entry.path;
    level.shown = shown;
    level.name = entry.name;
    DIR* dir = ::opendir(QFile::encodeName(entry.path).constData());
    if (!dir) {
        problem(shown, errorText(errno));
        if (m_checking)
            m_digests.push_back(0);
        ++m_folders;
        return;
    }
    while (const dirent* found = ::readdir(dir)) {
        const QByteArray child(found->d_name);
        if (child != "." && child != "..")
            level.children.append(Child{child, Kind::Problem, 0, 0, QString()});
    }
    // The same order on every walk.
    std::sort(level.children.begin(), level.children.end(),
              [](const Child& a, const Child& b) { return a.name < b.name; });
    const int fd = ::dirfd(dir);
    std::uint64_t digest = 0;
    const Child* firstProblem = nullptr;
    for (Child& child : level.children) {
        struct stat info {};
        if (::fstatat(fd, child.name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            child.problem = errorText(errno);
        } else if (S_ISLNK(info.st_mode)) {
            child.kind = Kind::Link;
        } else if (!S_ISDIR(info.st_mode) && !S_ISREG(info.st_mode)) {
            child.kind = Kind::Special;
        } else {
            child.problem = nameProblem(child.name);
            if (child.problem.isEmpty() && entry.name.size() + 1 + child.name.size() > kMaxPathBytes)
                child.problem =
                    QStringLiteral("its path is longer than the %1 bytes a server takes").arg(kMaxPathBytes);
            if (child.problem.isEmpty() && S_ISREG(info.st_mode) && !mayRead(fd, child.name.constData(), info))
                child.problem = errorText(errno);
            if (child.problem.isEmpty()) {
                child.kind = S_ISDIR(info.st_mode) ? Kind::Folder : Kind::File;
                child.size = S_ISREG(info.st_mode) ? qint64(info.st_size) : 0;
                child.modifiedNs = ModifiedNsOf(info);
            }
        }
        if (child.kind == Kind::Problem && !firstProblem)
            firstProblem = &child;
        // What the folder holds, by name and kind: sizes and times may change, the set may not.
        const char kind = char(child.kind == Kind::Problem ? Kind::File : child.kind);
        digest = XXH3_64bits_withSeed(child.name.constData(), std::size_t(child.name.size()), digest ^ kind);
    }
    ::closedir(dir);
    if (m_checking) {
        m_digests.push_back(digest);
    } else {
        // A file that cannot be read now is named; any other change names its folder.
        if (firstProblem)
            problem(shown + QLatin1Char('/') + Printable(QFile::decodeName(firstProblem->name)), firstProblem->problem);
        if (m_folders >= m_digests.size() || m_digests[m_folders] != digest)
            throw changed(shown, QStringLiteral("something in it was added, removed or replaced"));
    }
    ++m_folders;
    m_levels.push_back(std::move(level));
}

void SourceWalk::leave()
{
    m_levels.pop_back();
}
