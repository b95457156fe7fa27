#include "app/filechooser.h"

#include "platform/apperror.h"
#include "platform/registry/registry.h"
#include "widgets/filelistbox.h"
#include "widgets/tdirtree.h"

#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMimeData>
#include <QUrl>
#include <QWidget>

namespace {

QStringList localPaths(const QMimeData* data)
{
    QStringList paths;
    if (!data || !data->hasUrls())
        return paths;
    for (const QUrl& url : data->urls())
        if (url.isLocalFile() && QFileInfo::exists(url.toLocalFile()))
            paths << QFileInfo(url.toLocalFile()).absoluteFilePath();
    return paths;
}

} // namespace

FileChooser::FileChooser(QWidget* window, TDirTree* tree, FileListBox* list)
    : QObject(window), m_tree(tree), m_list(list)
{
    // The lists take drops of their own kind otherwise; the window takes every file drop.
    window->setAcceptDrops(true);
    for (QWidget* child : window->findChildren<QWidget*>())
        child->setAcceptDrops(false);
    window->installEventFilter(this);
}

QStringList FileChooser::Choose(const QStringList& paths)
{
    if (paths.isEmpty())
        return {};
    const QFileInfo first(paths.first());
    const QString folder = first.isDir() ? first.absoluteFilePath() : first.absolutePath();
    m_tree->SetInitialDirectory(folder); // the tree reads its drives when first shown
    m_tree->SelectPath(folder);
    m_list->SetDirectory(QDir(folder).absolutePath() + QLatin1Char('/'));
    m_list->clearSelection();

    // The shown folder's files are selected in the list, which may still be reading a big
    // folder: it selects each as it shows it.
    const QString shownFolder = QDir(folder).absolutePath();
    QStringList shown;
    bool allShown = false;
    QStringList elsewhere;
    const auto choose = [&](const QFileInfo& file) {
        if (file.absolutePath() == shownFolder && file.isFile() && m_list->Lists(file.fileName()))
            shown << file.fileName();
        else
            elsewhere << file.absoluteFilePath();
    };
    for (const QString& path : paths) {
        const QFileInfo info(path);
        if (!info.isDir()) {
            choose(info);
            continue;
        }
        // A folder stands for its files, as the file list shows them.
        if (info.absoluteFilePath() == shownFolder) {
            allShown = true;
            // Those the list's mask leaves out still go, from elsewhere.
            for (const QString& name : QDir(path).entryList(QDir::Files, QDir::Name))
                if (!m_list->Lists(name))
                    elsewhere << QDir(path).absoluteFilePath(name);
            continue;
        }
        const QFileInfoList files = QDir(path).entryInfoList(QDir::Files, QDir::Name);
        for (const QFileInfo& file : files)
            choose(file);
    }
    if (allShown)
        m_list->SelectAllFiles();
    else
        m_list->SelectNames(shown);
    return elsewhere;
}

void FileChooser::RestoreFolder(const Registry& registry, const QString& key)
{
    const std::optional<QString> folder = registry.readText(key, QStringLiteral("Folder"));
    if (folder && !folder->isEmpty() && QFileInfo(*folder).isDir())
        m_tree->SetInitialDirectory(*folder);
}

void FileChooser::StoreFolder(Registry& registry, const QString& key) const
{
    const QString folder = m_tree->SelectedPath();
    if (folder.isEmpty() || folder == QLatin1String("?"))
        return;
    try {
        registry.writeText(key, QStringLiteral("Folder"), folder);
    } catch (const AppError&) {
        // The store says once, at start, that it cannot be written.
    }
}

bool FileChooser::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove) {
        auto* drag = static_cast<QDropEvent*>(event);
        if ((!Accepting || Accepting()) && !localPaths(drag->mimeData()).isEmpty())
            drag->acceptProposedAction();
        else
            drag->ignore();
        return true;
    }
    if (event->type() == QEvent::Drop) {
        auto* drop = static_cast<QDropEvent*>(event);
        const QStringList paths = localPaths(drop->mimeData());
        if ((Accepting && !Accepting()) || paths.isEmpty()) {
            drop->ignore();
            return true;
        }
        drop->acceptProposedAction();
        if (OnDropped)
            OnDropped(paths);
        return true;
    }
    return QObject::eventFilter(watched, event);
}
