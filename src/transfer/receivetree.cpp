#include "transfer/receivetree.h"

#include <QList>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

QString errorText(int errorNumber)
{
    return QString::fromLocal8Bit(std::strerror(errorNumber));
}

int openFolder(int at, const QByteArray& name)
{
    return ::openat(at, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Whether the folder open at `fd` leaves a new file's permission bits to the umask: it has
// no default ACL, or its file system has no ACLs.
bool keepsModes(int fd)
{
    if (::fgetxattr(fd, "system.posix_acl_default", nullptr, 0) >= 0)
        return false;
    return errno == ENODATA || errno == EOPNOTSUPP;
}

// The names of the entries in the folder open at `fd` that are folders, or may be (a file
// system that does not tell the kind): false when the folder has more than `most` entries
// or cannot be read.
bool listSubfolders(int fd, int most, QSet<QByteArray>* folders)
{
    folders->clear();
    const int own = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (own < 0)
        return false;
    DIR* dir = ::fdopendir(own);
    if (!dir) {
        ::close(own);
        return false;
    }
    int entries = 0;
    bool whole = true;
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (++entries > most) {
            whole = false;
            break;
        }
        if (entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN)
            continue;
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
            folders->insert(name);
    }
    if (errno != 0)
        whole = false;
    ::closedir(dir);
    if (!whole)
        folders->clear();
    return whole;
}

} // namespace

ReceiveTree::~ReceiveTree()
{
    Close();
}

bool ReceiveTree::Open(const QByteArray& directory, QString* error)
{
    Close();
    // The receive directory itself is the user's choice, links and all.
    m_fd = ::open(directory.isEmpty() ? "." : directory.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_fd < 0)
        *error = errorText(errno);
    return m_fd >= 0;
}

void ReceiveTree::Close()
{
    if (m_lastFd >= 0 && m_lastFd != m_fd)
        ::close(m_lastFd);
    m_lastFd = -1;
    m_lastFolder.clear();
    m_lastKeepsModes = false;
    m_lastListed = false;
    m_lastSubfolders.clear();
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

int ReceiveTree::walk(const QList<QByteArray>& parts, bool* lastExisted, QString* error)
{
    if (m_fd < 0) {
        *error = errorText(EBADF);
        return -1;
    }
    int fd = ::fcntl(m_fd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        *error = errorText(errno);
        return -1;
    }
    QByteArray reached;
    for (const QByteArray& part : parts) {
        // A folder made (or found) in the folder whose list is kept joins that list.
        if (m_lastListed && reached == m_lastFolder)
            m_lastSubfolders.insert(part);
        reached += reached.isEmpty() ? part : "/" + part;
        int next = openFolder(fd, part);
        *lastExisted = next >= 0;
        if (next < 0 && errno == ENOENT) {
            if (::mkdirat(fd, part.constData(), 0777) == 0 || errno == EEXIST)
                next = openFolder(fd, part);
        }
        const int failure = errno;
        struct stat info {};
        const bool isLink =
            next < 0 && ::fstatat(fd, part.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode);
        ::close(fd);
        if (next < 0) {
            const QString shown = QString::fromLocal8Bit(reached);
            if (isLink)
                *error = QStringLiteral("%1 is a link, which is never followed").arg(shown);
            else if (failure == ENOTDIR || failure == ELOOP)
                *error = QStringLiteral("%1 is not a folder").arg(shown);
            else
                *error = errorText(failure);
            return -1;
        }
        fd = next;
    }
    return fd;
}

int ReceiveTree::FolderOf(const QByteArray& path, QString* error)
{
    const qsizetype slash = path.lastIndexOf('/');
    const QByteArray folder = slash < 0 ? QByteArray() : path.left(slash);
    if (m_lastFd >= 0 && folder == m_lastFolder)
        return m_lastFd;
    if (m_lastFd >= 0 && m_lastFd != m_fd)
        ::close(m_lastFd);
    m_lastFd = -1;
    if (folder.isEmpty()) {
        if (m_fd < 0) {
            *error = errorText(EBADF);
            return -1;
        }
        m_lastFd = m_fd;
    } else {
        bool existed = true;
        m_lastFd = walk(folder.split('/'), &existed, error);
        if (m_lastFd < 0)
            return -1;
    }
    m_lastFolder = folder;
    m_lastKeepsModes = keepsModes(m_lastFd);
    m_lastListed = listSubfolders(m_lastFd, kListUpTo, &m_lastSubfolders);
    return m_lastFd;
}

bool ReceiveTree::MakeFolder(const QByteArray& path, bool* existed, QString* error)
{
    const int fd = walk(path.split('/'), existed, error);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

int ReceiveTree::OpenFolder(const QByteArray& path, QString* error)
{
    bool existed = true;
    return walk(path.split('/'), &existed, error);
}
