#include "widgets/volumes.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QStorageInfo>

#include <algorithm>

namespace {

bool IsAtOrBelow(const QString& path, const QString& dir)
{
    return path == dir || path.startsWith(dir + QLatin1Char('/'));
}

bool IsOnRemovableDisk(const QString& device)
{
    // /dev/sdb1 -> /sys/block/sdb/removable; partitions of nvme/mmc disks are not removable
    // USB sticks, card readers show up as sdX or mmcblkN.
    if (!device.startsWith(QLatin1String("/dev/")))
        return false;
    QString disk = device.mid(5);
    if (disk.startsWith(QLatin1String("mmcblk"))) {
        const qsizetype p = disk.indexOf(QLatin1Char('p'), 6);
        if (p > 0)
            disk.truncate(p);
    } else {
        while (!disk.isEmpty() && disk.back().isDigit())
            disk.chop(1);
    }
    QFile flag(QStringLiteral("/sys/block/%1/removable").arg(disk));
    if (!flag.open(QIODevice::ReadOnly))
        return false;
    return flag.read(1) == "1";
}

} // namespace

QString VolumeInfo::Identity() const
{
    if (!ready)
        return QString();
    return device + QLatin1Char('\n') + name + QLatin1Char('\n') + fileSystemType;
}

bool IsBrowsableVolume(const QString& fileSystemType, const QString& rootPath)
{
    static const QSet<QString> pseudo = {
        QStringLiteral("proc"),
        QStringLiteral("sysfs"),
        QStringLiteral("cgroup"),
        QStringLiteral("cgroup2"),
        QStringLiteral("devpts"),
        QStringLiteral("devtmpfs"),
        QStringLiteral("securityfs"),
        QStringLiteral("pstore"),
        QStringLiteral("debugfs"),
        QStringLiteral("tracefs"),
        QStringLiteral("configfs"),
        QStringLiteral("fusectl"),
        QStringLiteral("mqueue"),
        QStringLiteral("hugetlbfs"),
        QStringLiteral("bpf"),
        QStringLiteral("binfmt_misc"),
        QStringLiteral("autofs"),
        QStringLiteral("efivarfs"),
        QStringLiteral("rpc_pipefs"),
        QStringLiteral("nsfs"),
        QStringLiteral("selinuxfs"),
        QStringLiteral("rootfs"),
        QStringLiteral("fuse.gvfsd-fuse"),
        QStringLiteral("fuse.portal"),
    };
    if (pseudo.contains(fileSystemType))
        return false;
    for (const char* dir : {"/proc", "/sys", "/dev", "/var/run", "/var/lock"}) {
        if (IsAtOrBelow(rootPath, QLatin1String(dir)))
            return false;
    }
    if (IsAtOrBelow(rootPath, QStringLiteral("/run")) && !IsAtOrBelow(rootPath, QStringLiteral("/run/media")))
        return false;
    if (fileSystemType == QLatin1String("squashfs") && IsAtOrBelow(rootPath, QStringLiteral("/snap")))
        return false;
    return true;
}

VolumeKind ClassifyVolume(const QString& fileSystemType, const QString& device, const QString& rootPath)
{
    static const QSet<QString> remote = {
        QStringLiteral("nfs"),   QStringLiteral("nfs4"),       QStringLiteral("cifs"),
        QStringLiteral("smb3"),  QStringLiteral("smbfs"),      QStringLiteral("9p"),
        QStringLiteral("afs"),   QStringLiteral("ceph"),       QStringLiteral("glusterfs"),
        QStringLiteral("davfs"), QStringLiteral("fuse.sshfs"), QStringLiteral("fuse.rclone"),
    };
    if (remote.contains(fileSystemType))
        return VolumeKind::Remote;
    if (fileSystemType == QLatin1String("iso9660") || fileSystemType == QLatin1String("udf"))
        return VolumeKind::CDRom;
    if (fileSystemType == QLatin1String("tmpfs") || fileSystemType == QLatin1String("ramfs"))
        return VolumeKind::RamDisk;
    if (IsAtOrBelow(rootPath, QStringLiteral("/media")) || IsAtOrBelow(rootPath, QStringLiteral("/run/media"))
        || IsOnRemovableDisk(device))
        return VolumeKind::Removable;
    if (fileSystemType.isEmpty())
        return VolumeKind::Unknown;
    return VolumeKind::Fixed;
}

QList<VolumeInfo> OrderVolumes(QList<VolumeInfo> volumes)
{
    QList<VolumeInfo> unique;
    for (qsizetype i = volumes.size() - 1; i >= 0; --i) {
        const bool seen = std::any_of(unique.cbegin(), unique.cend(),
                                      [&](const VolumeInfo& v) { return v.rootPath == volumes[i].rootPath; });
        if (!seen)
            unique.append(volumes[i]);
    }
    std::stable_sort(unique.begin(), unique.end(), [](const VolumeInfo& a, const VolumeInfo& b) {
        const bool aRoot = a.rootPath == QLatin1String("/");
        const bool bRoot = b.rootPath == QLatin1String("/");
        if (aRoot != bRoot)
            return aRoot;
        return a.rootPath < b.rootPath;
    });
    return unique;
}

QList<VolumeInfo> ReadMountedVolumes()
{
    QList<VolumeInfo> volumes;
    const QList<QStorageInfo> mounted = QStorageInfo::mountedVolumes();
    for (const QStorageInfo& storage : mounted) {
        const QString root = storage.rootPath();
        const QString type = QString::fromLocal8Bit(storage.fileSystemType());
        if (root.isEmpty() || !IsBrowsableVolume(type, root))
            continue;
        // Single files bound into place (container set-ups) are no volumes to browse.
        if (!QFileInfo(root).isDir())
            continue;
        VolumeInfo volume;
        volume.rootPath = root;
        volume.name = storage.name();
        volume.device = QString::fromLocal8Bit(storage.device());
        volume.fileSystemType = type;
        volume.kind = ClassifyVolume(type, volume.device, root);
        volume.ready = storage.isValid() && storage.isReady();
        volumes.append(volume);
    }
    return OrderVolumes(volumes);
}
