#include "transfer/existingfiles.h"

#include "transfer/messages.h"

std::optional<ExistingFiles> ParseExistingFiles(const QString& text)
{
    if (text == QLatin1String("overwrite"))
        return ExistingFiles::Overwrite;
    if (text == QLatin1String("rename"))
        return ExistingFiles::Rename;
    if (text == QLatin1String("skip"))
        return ExistingFiles::Skip;
    return std::nullopt;
}

QString ExistingFilesText(ExistingFiles policy)
{
    switch (policy) {
    case ExistingFiles::Rename:
        return QStringLiteral("rename");
    case ExistingFiles::Skip:
        return QStringLiteral("skip");
    case ExistingFiles::Overwrite:
        break;
    }
    return QStringLiteral("overwrite");
}

QByteArray NumberedName(const QByteArray& name, int number)
{
    const QByteArray mark = " (" + QByteArray::number(number) + ")";
    // The extension starts at the last "." that is not the name's first byte, or at ".tar"
    // before it ("a.tar.gz" stays together); one too long to keep beside the mark gets the
    // mark after it instead.
    const qsizetype dot = name.lastIndexOf('.');
    qsizetype split = dot > 0 ? dot : name.size();
    if (split > 4 && name.mid(split - 4, 4).toLower() == ".tar")
        split -= 4;
    if (mark.size() + name.size() - split > kMaxNameBytes)
        split = name.size();
    const QByteArray suffix = mark + name.mid(split);
    return CutName(name.left(split), kMaxNameBytes - suffix.size()) + suffix;
}
