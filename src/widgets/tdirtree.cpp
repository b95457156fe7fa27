#include "widgets/tdirtree.h"

#include "platform/apperror.h"
#include "widgets/fileattributes.h"
#include "widgets/nameorder.h"
#include "widgets/waitcursor.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QStyle>
#include <QTimer>

#include <algorithm>

#include <sys/stat.h>

namespace {

constexpr int kPathRole = Qt::UserRole;
constexpr int kListedRole = Qt::UserRole + 1;
constexpr int kPlaceholderRole = Qt::UserRole + 2;
constexpr int kVolumePollMs = 2000;

QString WithSlash(const QString& path)
{
    return path.endsWith(QLatin1Char('/')) ? path : path + QLatin1Char('/');
}

QByteArray ReadMountTable()
{
    QFile table(QStringLiteral("/proc/self/mountinfo"));
    return table.open(QIODevice::ReadOnly) ? table.readAll() : QByteArray();
}

// A directory's link count is two plus its number of subdirectories on the file systems that
// keep it (ext4, xfs, tmpfs); others report 1. Exactly two thus means no subdirectory, and a
// folder of 100,000 files need not be read through to find that out.
bool HasNoSubdirectories(const QString& path)
{
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_nlink == 2;
}

bool IsPlaceholder(const QTreeWidgetItem* item)
{
    return item->data(0, kPlaceholderRole).toBool();
}

QString NodePath(const QTreeWidgetItem* item)
{
    return item->data(0, kPathRole).toString();
}

bool IsVolumeTrashName(const QString& name)
{
    // ".Trash" (shared, sticky) or ".Trash-<uid>" at the root of a volume
    if (name == QLatin1String(".Trash"))
        return true;
    if (!name.startsWith(QLatin1String(".Trash-")) || name.size() == 7)
        return false;
    for (qsizetype i = 7; i < name.size(); ++i) {
        if (!name[i].isDigit())
            return false;
    }
    return true;
}

TDirTree::TDriveType DriveTypeOf(VolumeKind kind)
{
    switch (kind) {
    case VolumeKind::Removable:
        return TDirTree::drtRemovable;
    case VolumeKind::Fixed:
        return TDirTree::drtFixed;
    case VolumeKind::Remote:
        return TDirTree::drtRemote;
    case VolumeKind::CDRom:
        return TDirTree::drtCDRom;
    case VolumeKind::RamDisk:
        return TDirTree::drtRamDisk;
    case VolumeKind::Unknown:
        break;
    }
    return TDirTree::drtUnknown;
}

} // namespace

TDirTree::TDirTree(QWidget* parent)
    : QTreeWidget(parent), m_volumeSource(&ReadMountedVolumes), m_pollTimer(new QTimer(this))
{
    setColumnCount(1);
    setHeaderHidden(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setUniformRowHeights(true);

    const QIcon closed = m_iconProvider.icon(QAbstractFileIconProvider::Folder);
    const QIcon open = QIcon::fromTheme(QStringLiteral("folder-open"), style()->standardIcon(QStyle::SP_DirOpenIcon));
    for (const int size : {16, 22, 24, 32, 48}) {
        m_folderIcon.addPixmap(closed.pixmap(size));
        m_openFolderIcon.addPixmap(open.isNull() ? closed.pixmap(size) : open.pixmap(size));
    }

    connect(this, &QTreeWidget::itemExpanded, this, &TDirTree::NodeExpanded);
    connect(this, &QTreeWidget::itemSelectionChanged, this, &TDirTree::SelectionChanged);
    m_pollTimer->setInterval(kVolumePollMs);
    connect(m_pollTimer, &QTimer::timeout, this, &TDirTree::PollVolumes);
}

QString TDirTree::SelectedPath() const
{
    const QTreeWidgetItem* node = SelectedNode();
    if (!node || NodePath(node).isEmpty())
        return QStringLiteral("?");
    return NodePath(node);
}

void TDirTree::SelectPath(const QString& path)
{
    if (path.isEmpty())
        throw AppError(QStringLiteral("Invalid Path Name"));
    if (path == QLatin1String("?"))
        return;
    if (!m_loaded) {
        m_loading = true;
        BuildVolumeNodes();
        m_loading = false;
    }

    QString full = QDir::cleanPath(QDir::current().absoluteFilePath(path));
    if (!QFileInfo::exists(full))
        full = QStorageInfo(QDir::currentPath()).rootPath();
    full = WithSlash(full);

    WaitCursor wait;
    QTreeWidgetItem* node = VolumeNodeFor(full);
    if (!node)
        return;
    const QStringList levels = full.mid(NodePath(node).size()).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString& level : levels) {
        if (!node->data(0, kListedRole).toBool())
            ListNode(node);
        QTreeWidgetItem* next = nullptr;
        for (int i = 0; i < node->childCount() && !next; ++i) {
            QTreeWidgetItem* child = node->child(i);
            if (!IsPlaceholder(child) && child->text(0) == level)
                next = child;
        }
        if (!next)
            return;
        node = next;
    }
    for (QTreeWidgetItem* parent = node->parent(); parent; parent = parent->parent())
        parent->setExpanded(true);
    setCurrentItem(node);
    scrollToItem(node);
}

void TDirTree::ReadDrives()
{
    m_loading = true;
    BuildVolumeNodes();
    m_loading = false;
    const bool initialExists = !m_initialDirectory.isEmpty() && QFileInfo(m_initialDirectory).isDir();
    SelectPath(initialExists ? m_initialDirectory : QDir::currentPath());
}

void TDirTree::RescanVolumes()
{
    if (!m_loaded)
        return;
    const QList<VolumeInfo> now = WantedVolumes();
    const QString previous = SelectedPath();
    bool changed = false;
    ++m_updateCount;

    auto contains = [](const QList<VolumeInfo>& list, const QString& root) {
        return std::any_of(list.cbegin(), list.cend(), [&](const VolumeInfo& v) { return v.rootPath == root; });
    };
    for (int i = topLevelItemCount() - 1; i >= 0; --i) {
        if (!contains(now, m_volumes[i].rootPath)) {
            delete takeTopLevelItem(i);
            m_volumes.removeAt(i);
            changed = true;
        }
    }
    for (int i = 0; i < now.size(); ++i) {
        if (i < m_volumes.size() && m_volumes[i].rootPath == now[i].rootPath)
            continue;
        m_volumes.insert(i, now[i]);
        MakeVolumeNode(now[i], i);
        changed = true;
    }
    if (!changed) {
        for (int i = 0; i < now.size(); ++i) {
            if (m_volumes[i].Identity() != now[i].Identity()) {
                m_volumes[i] = now[i];
                RefreshVolumeNode(topLevelItem(i), now[i]);
                changed = true;
            }
        }
    }
    if (changed && previous != QLatin1String("?") && SelectedPath() != previous)
        SelectPath(previous);
    --m_updateCount;
    if (changed)
        emit OnChange();
}

void TDirTree::PollVolumes()
{
    // Mounting or unmounting anything changes the kernel's mount table; reading it touches no
    // volume, so a slow network mount cannot stall the poll.
    const QByteArray table = ReadMountTable();
    if (!table.isEmpty() && table == m_mountTable)
        return;
    m_mountTable = table;
    RescanVolumes();
}

void TDirTree::SetDirTypes(TDirTypes value)
{
    if (value == m_dirTypes)
        return;
    m_dirTypes = value;
    Rebuild();
}

void TDirTree::SetDriveTypes(TDriveTypes value)
{
    if (value == m_driveTypes)
        return;
    m_driveTypes = value;
    RescanVolumes();
}

void TDirTree::SetGoBelowRecycleBin(bool value)
{
    if (value == m_goBelowRecycleBin)
        return;
    m_goBelowRecycleBin = value;
    Rebuild();
}

void TDirTree::showEvent(QShowEvent* event)
{
    QTreeWidget::showEvent(event);
    if (!m_loaded && m_readOnStart)
        ReadDrives();
}

QList<VolumeInfo> TDirTree::WantedVolumes() const
{
    QList<VolumeInfo> wanted;
    const QList<VolumeInfo> all = m_volumeSource ? m_volumeSource() : QList<VolumeInfo>();
    for (const VolumeInfo& volume : all) {
        if (m_driveTypes.testFlag(DriveTypeOf(volume.kind)))
            wanted.append(volume);
    }
    return wanted;
}

void TDirTree::Rebuild()
{
    if (!m_loaded)
        return;
    const QString previous = SelectedPath();
    ++m_updateCount;
    BuildVolumeNodes();
    if (previous != QLatin1String("?") && QFileInfo::exists(previous))
        SelectPath(previous);
    --m_updateCount;
    emit OnChange();
}

void TDirTree::BuildVolumeNodes()
{
    WaitCursor wait;
    ++m_updateCount;
    clear();
    m_mountTable = ReadMountTable();
    m_volumes = WantedVolumes();
    for (int i = 0; i < m_volumes.size(); ++i)
        MakeVolumeNode(m_volumes[i], i);
    --m_updateCount;
    m_loaded = true;
    m_pollTimer->start();
}

QTreeWidgetItem* TDirTree::MakeVolumeNode(const VolumeInfo& volume, int index)
{
    auto* node = new QTreeWidgetItem;
    insertTopLevelItem(index, node);
    RefreshVolumeNode(node, volume);
    return node;
}

void TDirTree::RefreshVolumeNode(QTreeWidgetItem* node, const VolumeInfo& volume)
{
    qDeleteAll(node->takeChildren());
    node->setData(0, kListedRole, false);
    node->setData(0, kPathRole, WithSlash(volume.rootPath));

    QString label = volume.name;
    if (label.isEmpty() && volume.device.startsWith(QLatin1Char('/')))
        label = QFileInfo(volume.device).fileName();
    if (label.isEmpty())
        label = volume.fileSystemType;
    if (volume.ready && !label.isEmpty())
        node->setText(0, QStringLiteral("%1 (%2)").arg(label, volume.rootPath));
    else
        node->setText(0, QStringLiteral("(%1)").arg(volume.rootPath));
    node->setToolTip(0, volume.rootPath);
    node->setIcon(0, m_iconProvider.icon(volume.kind == VolumeKind::Remote ? QAbstractFileIconProvider::Network
                                                                           : QAbstractFileIconProvider::Drive));

    // Removable, optical, remote and unknown media are not touched until opened: they always
    // get the expand button. The others get it when they hold a directory to show.
    const bool untouched = volume.kind == VolumeKind::Removable || volume.kind == VolumeKind::CDRom
                           || volume.kind == VolumeKind::Remote || volume.kind == VolumeKind::Unknown;
    if (m_fastLoad || untouched || (volume.ready && !ListableSubdirectories(NodePath(node), true).isEmpty()))
        AddPlaceholder(node);
}

void TDirTree::ListNode(QTreeWidgetItem* node)
{
    WaitCursor wait;
    qDeleteAll(node->takeChildren());
    node->setData(0, kListedRole, true);

    const QString path = NodePath(node);
    QStringList names = ListableSubdirectories(path, false);
    NameOrder().Sort(names);
    QList<QTreeWidgetItem*> children;
    children.reserve(names.size());
    for (const QString& name : names) {
        auto* child = new QTreeWidgetItem;
        const QString childPath = path + name + QLatin1Char('/');
        child->setText(0, name);
        child->setData(0, kPathRole, childPath);
        child->setData(0, kListedRole, false);
        child->setIcon(0, m_folderIcon);
        if (!ListableSubdirectories(childPath, true).isEmpty())
            AddPlaceholder(child);
        children.append(child);
    }
    node->addChildren(children);
}

QStringList TDirTree::ListableSubdirectories(const QString& path, bool firstOnly) const
{
    QStringList names;
    if (!m_goBelowRecycleBin && IsTrashOrInside(path))
        return names;
    if (HasNoSubdirectories(path))
        return names;
    // An unreadable directory simply yields nothing: no error, no message.
    QDirIterator it(path, QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden);
    while (it.hasNext()) {
        it.next();
        const QString name = it.fileName();
        if (!IsListable(path, name))
            continue;
        names.append(name);
        if (firstOnly)
            break;
    }
    return names;
}

bool TDirTree::IsListable(const QString& parentPath, const QString& name) const
{
    if (OnAddDir) {
        bool add = true;
        OnAddDir(const_cast<TDirTree*>(this), name, add);
        if (!add)
            return false;
    }
    if (m_dirTypes.testFlag(dtAll))
        return true;
    const FileAttributes attributes = ReadFileAttributes(QFileInfo(parentPath + name));
    if (attributes.hidden && !m_dirTypes.testFlag(dtHidden))
        return false;
    if (attributes.system && !m_dirTypes.testFlag(dtSystem))
        return false;
    if (attributes.archive && !m_dirTypes.testFlag(dtArchive))
        return false;
    return m_dirTypes.testFlag(dtNormal) || attributes.hidden || attributes.system || attributes.archive;
}

bool TDirTree::IsTrashOrInside(const QString& dirPath) const
{
    // The user's trash and the ".Trash" folders at volume roots are listed themselves, but
    // nothing inside them is.
    const QString homeTrash =
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/Trash/");
    if (dirPath.startsWith(homeTrash))
        return true;
    const QStringList parts = dirPath.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString parent = QStringLiteral("/");
    for (const QString& part : parts) {
        if (IsVolumeTrashName(part) && IsVolumeRoot(parent))
            return true;
        parent += part + QLatin1Char('/');
    }
    return false;
}

bool TDirTree::IsVolumeRoot(const QString& dirPath) const
{
    const bool shown = std::any_of(m_volumes.cbegin(), m_volumes.cend(),
                                   [&](const VolumeInfo& v) { return WithSlash(v.rootPath) == dirPath; });
    return shown || QStorageInfo(dirPath).rootPath() == QDir::cleanPath(dirPath);
}

void TDirTree::AddPlaceholder(QTreeWidgetItem* node)
{
    auto* placeholder = new QTreeWidgetItem(node);
    placeholder->setData(0, kPlaceholderRole, true);
    placeholder->setFlags(Qt::NoItemFlags);
}

QTreeWidgetItem* TDirTree::SelectedNode() const
{
    const QList<QTreeWidgetItem*> items = selectedItems();
    return items.isEmpty() ? nullptr : items.first();
}

QTreeWidgetItem* TDirTree::VolumeNodeFor(const QString& path) const
{
    QTreeWidgetItem* best = nullptr;
    for (int i = 0; i < topLevelItemCount(); ++i) {
        QTreeWidgetItem* node = topLevelItem(i);
        const QString root = NodePath(node);
        if (path.startsWith(root) && (!best || root.size() > NodePath(best).size()))
            best = node;
    }
    return best;
}

void TDirTree::NodeExpanded(QTreeWidgetItem* node)
{
    if (!node->data(0, kListedRole).toBool())
        ListNode(node);
}

void TDirTree::SelectionChanged()
{
    ShowOpenFolder();
    if (m_loading || m_updateCount > 0)
        return;
    emit OnChange();
}

void TDirTree::ShowOpenFolder()
{
    // The selected folder shows as an open folder; volumes keep their drive icon.
    if (m_openFolder.isValid()) {
        if (QTreeWidgetItem* previous = itemFromIndex(m_openFolder); previous && previous->parent())
            previous->setIcon(0, m_folderIcon);
    }
    m_openFolder = QPersistentModelIndex();
    QTreeWidgetItem* node = SelectedNode();
    if (node && node->parent()) {
        node->setIcon(0, m_openFolderIcon);
        m_openFolder = indexFromItem(node);
    }
}
