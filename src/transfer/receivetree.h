#pragma once

#include <QByteArray>
#include <QSet>
#include <QString>

// The receive directory as the extension's relative paths reach into it: every folder on a
// path is opened below the one before it, made when missing, and never entered through a
// link, so that nothing a peer sends can lead outside the directory. The paths given have
// passed PathProblem.
class ReceiveTree {
public:
    ReceiveTree() = default;
    ~ReceiveTree();

    ReceiveTree(const ReceiveTree&) = delete;
    ReceiveTree& operator=(const ReceiveTree&) = delete;

    // Opens the receive directory (local bytes; empty: the current directory). False, with
    // the reason in `error`, when it cannot be opened.
    bool Open(const QByteArray& directory, QString* error);
    void Close();

    // The folder that holds `path` (every part but the last), made as needed, or -1 with the
    // reason in `error`. The descriptor stays the tree's: it is valid until the next call, or
    // Close. The files of one folder, which come one after another, share it.
    int FolderOf(const QByteArray& path, QString* error);
    // Whether a file made in the folder FolderOf gave last gets the permission bits it is
    // made with, less the umask: false when the folder has a default ACL, which decides
    // them instead (or when that cannot be told).
    bool FolderKeepsModes() const { return m_lastKeepsModes; }
    // Whether `name` may be a folder in the folder FolderOf gave last: false only when the
    // tree read that folder's list as it opened it (a folder of up to kListUpTo entries)
    // and neither that list nor a folder made or entered since has that name. A folder
    // that another program makes there later is not seen: a file then fails to take its
    // place, as it would if it came a moment after the look.
    bool MayBeFolder(const QByteArray& name) const { return !m_lastListed || m_lastSubfolders.contains(name); }

    // The most entries a folder may have for its list to be read.
    static constexpr int kListUpTo = 16384;
    // Makes the folder `path` and whatever is missing above it; `existed` tells whether it
    // was there already.
    bool MakeFolder(const QByteArray& path, bool* existed, QString* error);
    // The folder `path` (made as needed): a descriptor the caller closes, or -1.
    int OpenFolder(const QByteArray& path, QString* error);
    // The receive directory's descriptor while open, else -1; it stays the tree's.
    int Descriptor() const { return m_fd; }

private:
    // Walks the parts of `path` from the receive directory, making missing folders: the last
    // one reached, or -1. `lastExisted` tells whether the last part was there already.
    int walk(const QList<QByteArray>& parts, bool* lastExisted, QString* error);

    // What FolderOf gave last: the folder's path (its file's path up to the last "/") and
    // its descriptor (m_fd itself for the receive directory).
    QByteArray m_lastFolder;
    int m_lastFd = -1;
    bool m_lastKeepsModes = false;
    // The names in that folder that are (or may be) folders, when m_lastListed.
    QSet<QByteArray> m_lastSubfolders;
    bool m_lastListed = false;

    int m_fd = -1;
};
