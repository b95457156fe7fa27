#include "bridge/cutcopymarker.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

CutCopyMarker::CutCopyMarker(const QString& serverKey)
{
    const QByteArray hash = QCryptographicHash::hash(serverKey.toUtf8(), QCryptographicHash::Sha256).toHex().left(32);
    m_path = Folder() + QLatin1Char('/') + QString::fromLatin1(hash);
}

QString CutCopyMarker::Folder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
           + QStringLiteral("/ferrowarden/cut-copies");
}

bool CutCopyMarker::Present() const
{
    const QFileInfo info(m_path);
    return info.isFile()
           && info.lastModified().secsTo(QDateTime::currentDateTime()) < qint64(kLifetimeDays) * 24 * 60 * 60;
}

bool CutCopyMarker::Write() const
{
    if (!QDir().mkpath(Folder()))
        return false;
    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    // For whoever looks: when the copy started.
    file.write(QDateTime::currentDateTimeUtc().toString(Qt::ISODate).toLatin1() + '\n');
    return file.commit();
}

void CutCopyMarker::Remove() const
{
    QFile::remove(m_path);
}
