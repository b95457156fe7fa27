#pragma once

#include "widgets/volumes.h"

#include <QFileIconProvider>
#include <QFlags>
#include <QPersistentModelIndex>
#include <QTreeWidget>

#include <functional>

class QTimer;

// The tree from which the user picks a directory: the mounted volumes ("drives") at the top,
// their directories below, read only when a node is opened. Paths are handed out in one
// form: the full path with a trailing "/".
class TDirTree : public QTreeWidget {
    Q_OBJECT

public:
    enum TDirType {
        dtReadOnly = 0x01,
        dtHidden = 0x02,
        dtSystem = 0x04,
        dtArchive = 0x08,
        dtNormal = 0x10,
        dtAll = 0x20,
    };
    Q_DECLARE_FLAGS(TDirTypes, TDirType)

    enum TDriveType {
        drtUnknown = 0x01,
        drtRemovable = 0x02,
        drtFixed = 0x04,
        drtRemote = 0x08,
        drtCDRom = 0x10,
        drtRamDisk = 0x20,
    };
    Q_DECLARE_FLAGS(TDriveTypes, TDriveType)

    using VolumeSource = std::function<QList<VolumeInfo>()>;
    // Asked for every directory before it is listed; clearing the flag leaves it out.
    using AddDirHandler = std::function<void(TDirTree* sender, const QString& fileName, bool& add)>;

    explicit TDirTree(QWidget* parent = nullptr);

    // The selected directory as "/full/path/", or "?" when nothing is selected.
    QString SelectedPath() const;
    // Selects the directory of path (relative paths, "." and ".." allowed), listing the levels
    // on the way. An empty path throws AppError "Invalid Path Name"; "?" does nothing; a
    // path that does not exist selects the root of the current directory's volume; a path
    // whose levels are not all in the tree leaves the selection as it was.
    void SelectPath(const QString& path);

    // Reads the volumes anew and selects InitialDirectory (or the current directory). Done
    // by itself when the tree is first shown, if ReadOnStart is set.
    void ReadDrives();
    // Compares the mounted volumes with the tree's: removes vanished ones, adds new ones, and
    // refreshes a volume whose medium changed; then raises OnChange once. Runs whenever the
    // mount table changes (polled every two seconds).
    void RescanVolumes();

    bool ReadOnStart() const { return m_readOnStart; }
    void SetReadOnStart(bool value) { m_readOnStart = value; }
    TDirTypes DirTypes() const { return m_dirTypes; }
    void SetDirTypes(TDirTypes value);
    TDriveTypes DriveTypes() const { return m_driveTypes; }
    void SetDriveTypes(TDriveTypes value);
    bool GoBelowRecycleBin() const { return m_goBelowRecycleBin; }
    void SetGoBelowRecycleBin(bool value);
    bool FastLoad() const { return m_fastLoad; }
    void SetFastLoad(bool value) { m_fastLoad = value; }
    QString InitialDirectory() const { return m_initialDirectory; }
    void SetInitialDirectory(const QString& value) { m_initialDirectory = value; }

    // Where the volumes come from; the machine's mounted volumes unless replaced.
    void SetVolumeSource(VolumeSource source) { m_volumeSource = std::move(source); }

    AddDirHandler OnAddDir;

signals:
    void OnChange();

protected:
    void showEvent(QShowEvent* event) override;

private:
    struct Volume {
        VolumeInfo info;
        QTreeWidgetItem* node = nullptr;
    };

    QList<VolumeInfo> WantedVolumes() const;
    void Rebuild();
    void BuildVolumeNodes();
    QTreeWidgetItem* MakeVolumeNode(const VolumeInfo& volume, int index);
    void RefreshVolumeNode(QTreeWidgetItem* node, const VolumeInfo& volume);
    void ListNode(QTreeWidgetItem* node);
    QStringList ListableSubdirectories(const QString& path, bool firstOnly) const;
    bool IsListable(const QString& parentPath, const QString& name) const;
    bool IsTrashOrInside(const QString& dirPath) const;
    bool IsVolumeRoot(const QString& dirPath) const;
    void AddPlaceholder(QTreeWidgetItem* node);
    QTreeWidgetItem* SelectedNode() const;
    QTreeWidgetItem* VolumeNodeFor(const QString& path) const;
    void NodeExpanded(QTreeWidgetItem* node);
    void SelectionChanged();
    void PollVolumes();
    void ShowOpenFolder();

    bool m_readOnStart = true;
    TDirTypes m_dirTypes = TDirTypes(dtNormal) | dtAll;
    TDriveTypes m_driveTypes = TDriveTypes(drtUnknown) | drtRemovable | drtFixed | drtRemote | drtCDRom | drtRamDisk;
    bool m_goBelowRecycleBin = false;
    bool m_fastLoad = false;
    QString m_initialDirectory;
    VolumeSource m_volumeSource;

    bool m_loaded = false;
    bool m_loading = false;
    int m_updateCount = 0;
    QList<VolumeInfo> m_volumes; // as shown, top to bottom
    QFileIconProvider m_iconProvider;
    QIcon m_folderIcon;
    QIcon m_openFolderIcon; // shown by the selected folder
    QPersistentModelIndex m_openFolder;
    QTimer* m_pollTimer = nullptr;
    QByteArray m_mountTable; // as read by the last poll
};

Q_DECLARE_OPERATORS_FOR_FLAGS(TDirTree::TDirTypes)
Q_DECLARE_OPERATORS_FOR_FLAGS(TDirTree::TDriveTypes)
