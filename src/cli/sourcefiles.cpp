#include "cli/sourcefiles.h"

#include "cli/consoletext.h"
#include "text/printable.h"
#include "transfer/extensionmessages.h"
#include "transfer/messages.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

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

class Walk {
public:
    explicit Walk(SourceFiles& result) : m_result(result) {}

    void file(const QString& shown, const QString& path, const QByteArray& name, qint64 size)
    {
        if (size > kLargestPlainFile)
            m_result.needExtension.push_back(
                {shown, QStringLiteral("%1; files of 2 GiB or more cannot be sent: the server does not offer the "
                                       "extended protocol")
                            .arg(BytesText(size))});
        m_result.entries.append({path, name, false, size});
        m_result.paths << path;
        m_result.totalBytes += size;
    }

    // Everything below the folder at `path`, travelling as `name`.
    void folder(const QString& shown, const QString& path, const QByteArray& name)
    {
        m_result.entries.append({path, name, true});
        ++m_result.folderCount;
        DIR* dir = ::opendir(QFile::encodeName(path).constData());
        if (!dir) {
            m_result.problems.push_back({shown, errorText(errno)});
            return;
        }
        QList<QByteArray> names;
        while (const dirent* entry = ::readdir(dir)) {
            const QByteArray child(entry->d_name);
            if (child != "." && child != "..")
                names << child;
        }
        // The same order on every run.
        std::sort(names.begin(), names.end());
        const int fd = ::dirfd(dir);
        for (const QByteArray& child : std::as_const(names)) {
            // Made only for a line: most entries never need one.
            const auto childShown = [&] { return shown + QLatin1Char('/') + Printable(QFile::decodeName(child)); };
            const QString childPath = path + QLatin1Char('/') + QFile::decodeName(child);
            const QByteArray childName = name + '/' + child;
            struct stat info {};
            if (::fstatat(fd, child.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
                m_result.problems.push_back({childShown(), errorText(errno)});
                continue;
            }
            if (S_ISLNK(info.st_mode)) {
                m_result.skipped << QStringLiteral("Skipped the link %1: links are not followed").arg(childShown());
                continue;
            }
            if (!S_ISDIR(info.st_mode) && !S_ISREG(info.st_mode)) {
                m_result.skipped << QStringLiteral("Skipped %1: not a regular file").arg(childShown());
                continue;
            }
            QString problem = nameProblem(child);
            if (problem.isEmpty() && childName.size() > kMaxPathBytes)
                problem = QStringLiteral("its path is longer than the %1 bytes a server takes").arg(kMaxPathBytes);
            if (problem.isEmpty() && S_ISREG(info.st_mode) && !mayRead(fd, child.constData(), info))
                problem = errorText(errno);
            if (!problem.isEmpty()) {
                m_result.problems.push_back({childShown(), problem});
                continue;
            }
            if (S_ISDIR(info.st_mode))
                folder(childShown(), childPath, childName);
            else
                file(info.st_size > kLargestPlainFile ? childShown() : QString(), childPath, childName, info.st_size);
        }
        ::closedir(dir);
    }

private:
    SourceFiles& m_result;
};

} // namespace

SourceFiles CheckSourceFiles(const QStringList& files)
{
    SourceFiles result;
    Walk walk(result);
    QHash<QString, QString> byName; // the name it travels under -> the file as given
    const QString current = QDir::currentPath();
    for (const QString& file : files) {
        struct stat info {};
        QString problem = readable(AT_FDCWD, QFile::encodeName(file), true, info);
        const QString path = QDir::cleanPath(QDir::isAbsolutePath(file) ? file : current + QLatin1Char('/') + file);
        const QString name = QFileInfo(path).fileName();
        if (problem.isEmpty() && !S_ISDIR(info.st_mode) && !S_ISREG(info.st_mode))
            problem = QStringLiteral("not a regular file");
        if (problem.isEmpty() && name.isEmpty())
            problem = QStringLiteral("has no name to send it under");
        if (problem.isEmpty())
            problem = nameProblem(QFile::encodeName(name));
        if (problem.isEmpty()) {
            const auto other = byName.constFind(name);
            if (other != byName.cend())
                problem = QStringLiteral("has the same name as %1; the server would keep only one").arg(*other);
            else
                byName.insert(name, file);
        }
        if (!problem.isEmpty()) {
            result.problems.push_back({file, problem});
            continue;
        }
        if (S_ISDIR(info.st_mode)) {
            result.needExtension.push_back(
                {file, QStringLiteral("is a folder; the server takes folders only with the extended protocol, "
                                      "which it does not offer")});
            walk.folder(file, path, QFile::encodeName(name));
        } else {
            walk.file(file, path, QFile::encodeName(name), info.st_size);
        }
    }
    if (!result.problems.empty()) {
        result.paths.clear();
        result.entries.clear();
    }
    return result;
}
