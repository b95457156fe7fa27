#include "widgets/fileattributes.h"

#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

namespace {

bool UserMayWriteByMode(const QFileInfo& info)
{
    const QFile::Permissions permissions = info.permissions();
    if (info.ownerId() == ::geteuid())
        return permissions.testFlag(QFile::WriteOwner);
    if (info.groupId() == ::getegid())
        return permissions.testFlag(QFile::WriteGroup);
    return permissions.testFlag(QFile::WriteOther);
}

} // namespace

FileAttributes ReadFileAttributes(const QFileInfo& info)
{
    FileAttributes attributes;
    attributes.hidden = info.fileName().startsWith(QLatin1Char('.'));
    attributes.readOnly = !UserMayWriteByMode(info);
    attributes.archive = info.isFile();
    attributes.system = !info.isFile() && !info.isDir();
    return attributes;
}

QString AttributeLetters(const FileAttributes& attributes)
{
    QString letters;
    if (attributes.archive)
        letters += QLatin1Char('A');
    if (attributes.readOnly)
        letters += QLatin1Char('R');
    if (attributes.hidden)
        letters += QLatin1Char('H');
    if (attributes.system)
        letters += QLatin1Char('S');
    return letters;
}
