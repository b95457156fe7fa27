#pragma once

#include <QList>
#include <QString>

// What kind of medium a mounted volume is; the directory tree only touches removable,
// optical, remote and unknown media when the user opens them.
enum class VolumeKind { Unknown, Removable, Fixed, Remote, CDRom, RamDisk };

// One mounted volume as the browsing widgets show it: a "drive" of the directory tree.
struct VolumeInfo {
    QString rootPath;       // the mount point, without a trailing "/" except for "/"
    QString name;           // volume label, empty when it has none
    QString device;         // e.g. "/dev/sda1"
    QString fileSystemType; // e.g. "ext4"
    VolumeKind kind = VolumeKind::Fixed;
    bool ready = true; // false when the volume cannot be read

    // Changes when a different medium sits at the same mount point.
    QString Identity() const;
};

// False for pseudo file systems and mount points nobody browses (/proc, /sys, /dev, /run
// except removable media under /run/media, snap images, ...).
bool IsBrowsableVolume(const QString& fileSystemType, const QString& rootPath);

VolumeKind ClassifyVolume(const QString& fileSystemType, const QString& device, const QString& rootPath);

// "/" first, then by mount point; one entry per mount point (the one mounted last wins).
QList<VolumeInfo> OrderVolumes(QList<VolumeInfo> volumes);

// The machine's browsable mounted volumes in the order above.
QList<VolumeInfo> ReadMountedVolumes();
