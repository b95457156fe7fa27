#pragma once

#include <QObject>
#include <QStringList>

#include <functional>

class FileListBox;
class Registry;
class QWidget;
class TDirTree;

// Chooses files for sending that come from outside the window: the paths the program was
// started with and files dropped onto the window. The tree shows the folder of the first
// path (a folder given itself shows with all its files chosen) and the file list selects
// the files of that folder; files from elsewhere are returned, to be sent first, as the
// wizard's are.
class FileChooser final : public QObject {
    Q_OBJECT

public:
    FileChooser(QWidget* window, TDirTree* tree, FileListBox* list);

    // Paths must be absolute. Returns the chosen files that the file list does not show.
    QStringList Choose(const QStringList& paths);

    // The folder the tree showed when the window last closed, kept as the text value
    // "Folder" under `key`: the tree opens there when it still exists.
    void RestoreFolder(const Registry& registry, const QString& key);
    void StoreFolder(Registry& registry, const QString& key) const;

    // Whether a drop is taken now (the window is idle).
    std::function<bool()> Accepting;
    // Files dropped onto the window, as absolute paths.
    std::function<void(const QStringList&)> OnDropped;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    TDirTree* m_tree;
    FileListBox* m_list;
};
