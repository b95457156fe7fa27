#include "transfer/receivetree.h"

#include <QList>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
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
