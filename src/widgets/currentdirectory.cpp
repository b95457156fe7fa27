#include "widgets/currentdirectory.h"

#include "platform/apperror.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <unistd.h>

QString EnterDirectory(const QString& path)
{
    const QByteArray native = QFile::encodeName(path);
    if (path.isEmpty() || ::chdir(native.constData()) != 0) {
        const int error = path.isEmpty() ? ENOENT : errno;
        throw AppError(QStringLiteral("I/O error: cannot change to the directory \"%1\" (%2)")
                           .arg(path, QString::fromLocal8Bit(std::strerror(error))));
    }
    return QDir::currentPath();
}
