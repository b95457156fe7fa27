#include "widgets/support/fixturetree.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QProcess>
#include <QStandardPaths>

#include <fcntl.h>
#include <sys/stat.h>

FixtureTree::FixtureTree()
{
    // Other users must reach the tree when a test re-runs itself without privileges.
    ::chmod(QFile::encodeName(m_dir.path()).constData(), 0755);
}

FixtureTree::~FixtureTree()
{
    QDirIterator it(m_dir.path(), QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    ::chmod(QFile::encodeName(m_dir.path()).constData(), 0755);
    QStringList dirs;
    while (it.hasNext())
        dirs << it.next();
    for (const QString& dir : dirs)
        ::chmod(QFile::encodeName(dir).constData(), 0755);
}

QString FixtureTree::Path(const QString& relative) const
{
    return relative.isEmpty() ? m_dir.path() : m_dir.path() + QLatin1Char('/') + relative;
}

void FixtureTree::MakeDir(const QString& relative) const
{
    QDir().mkpath(Path(relative));
}

void FixtureTree::MakeFile(const QString& relative, qint64 size) const
{
    QFile file(Path(relative));
    if (file.open(QIODevice::WriteOnly))
        file.write(QByteArray(size, 'x'));
}

void FixtureTree::MakeFifo(const QString& relative) const
{
    ::mkfifo(QFile::encodeName(Path(relative)).constData(), 0644);
}

void FixtureTree::SetModified(const QString& relative, const QDateTime& time) const
{
    const qint64 seconds = time.toSecsSinceEpoch();
    const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ::utimensat(AT_FDCWD, QFile::encodeName(Path(relative)).constData(), times, 0);
}

void FixtureTree::SetMode(const QString& relative, unsigned mode) const
{
    ::chmod(QFile::encodeName(Path(relative)).constData(), mode);
}

bool CanRerunUnprivileged()
{
    return !QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty();
}

bool RerunUnprivileged(const char* testFunction, QString* output)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.setWorkingDirectory(QDir::tempPath());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), QDir::tempPath());
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    child.setProcessEnvironment(environment);
    child.start(QStringLiteral("setpriv"),
                {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups"),
                 QCoreApplication::applicationFilePath(), QString::fromLatin1(testFunction)});
    const bool finished = child.waitForFinished(60000);
    *output = QString::fromLocal8Bit(child.readAll());
    return finished && child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0;
}
