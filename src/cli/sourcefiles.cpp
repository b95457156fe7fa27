#include "cli/sourcefiles.h"

#include "cli/consoletext.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <cerrno>
#include <cstring>
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

// Why `path` cannot be sent, or an empty text; `size` gets its size.
QString problemOf(const QString& path, qint64& size)
{
    // Non-blocking, so that a FIFO given by mistake does not wait for a writer.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return errorText(errno);
    struct stat info {};
    const int statResult = ::fstat(fd, &info);
    const int statError = errno;
    ::close(fd);
    if (statResult != 0)
        return errorText(statError);
    if (S_ISDIR(info.st_mode))
        return QStringLiteral("is a directory");
    if (!S_ISREG(info.st_mode))
        return QStringLiteral("not a regular file");
    size = info.st_size;
    if (size > kLargestSendableFile)
        return QStringLiteral("%1; files of 2 GiB or more cannot be sent").arg(BytesText(size));
    // What a server refuses to write (it never writes outside its directory, nor names that
    // could steer a terminal or a log).
    const QByteArray name = QFile::encodeName(QFileInfo(path).fileName());
    for (const char c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '\\')
            return QStringLiteral("the server refuses names with \"\\\" or control characters; rename it");
    return QString();
}

} // namespace

SourceFiles CheckSourceFiles(const QStringList& files)
{
    SourceFiles result;
    QHash<QString, QString> byName; // bare name -> the file as given
    for (const QString& file : files) {
        qint64 size = 0;
        QString problem = problemOf(file, size);
        const QFileInfo info(file);
        if (problem.isEmpty()) {
            const auto other = byName.constFind(info.fileName());
            if (other != byName.cend())
                problem = QStringLiteral("has the same name as %1; the server would keep only one").arg(*other);
            else
                byName.insert(info.fileName(), file);
        }
        if (!problem.isEmpty()) {
            result.problems.push_back({file, problem});
            continue;
        }
        result.paths << info.absoluteFilePath();
        result.totalBytes += size;
    }
    if (!result.problems.empty())
        result.paths.clear();
    return result;
}
