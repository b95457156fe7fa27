#pragma once

#include "widgets/backgroundlisting.h"
#include "widgets/filemask.h"

#include <QFileIconProvider>
#include <QHash>
#include <QListWidget>
#include <QSet>

class QTimer;

// The plain list of the files in one folder, sorted by name, from which the user picks the
// files to send (several at once). Pointing it at a folder makes that folder the process's
// current directory. A folder of a few thousand files is listed before SetDirectory returns;
// a bigger one is read on a worker thread and shown in batches, so that the window keeps
// answering; Filling() tells whether that is still under way, and Filled() is raised at its end.
class FileListBox : public QListWidget {
    Q_OBJECT

public:
    explicit FileListBox(QWidget* parent = nullptr);

    QString Directory() const { return m_directory; }
    // Enters path (the process's current directory changes) and, when that is another folder
    // than the one shown, lists its files. Throws AppError when the folder cannot be entered;
    // the list and Directory stay as they were.
    void SetDirectory(const QString& path);
    QString Mask() const { return m_mask; }
    // Patterns separated by ";", matched without regard to case; "*.*" matches every name.
    void SetMask(const QString& mask);
    bool MultiSelect() const { return m_multiSelect; }
    void SetMultiSelect(bool value);
    // Whether hidden (dot) files are listed too; they are left out unless asked for.
    bool ShowHidden() const { return m_showHidden; }
    void SetShowHidden(bool value);

    // The selected files' names as stored on disk, without path, in list order.
    QStringList SelectedNames() const;
    // Whether a regular file of this name in the shown folder is listed (its mask, hidden
    // files).
    bool Lists(const QString& name) const;
    // Selects the files of these names (or every file) and makes the first current; while a
    // big folder is still being shown, each is selected as it appears. Reading another
    // folder drops what is not shown yet.
    void SelectNames(const QStringList& names);
    void SelectAllFiles();
    // Full path of the current file, or empty when there is none.
    QString FileName() const;
    // Reads the folder again.
    void Refill();
    // Whether a big folder is still being read or shown.
    bool Filling() const;

signals:
    void Filled();

public:
    // What a read of the folder yields: the names in list order, with the type of each file
    // (which chooses its icon).
    struct Listing {
        QStringList names;
        QStringList types;
        bool complete = true; // false when the read stopped at its limit
    };

private:
    void Show(Listing listing);
    void ShowBatch();
    // Selects the wanted ones among rows [from, to) in one step.
    void selectWanted(int from, int to);
    QIcon IconFor(const QString& path, const QString& type);

    QString m_directory;
    QString m_mask = QStringLiteral("*.*");
    FileMask m_fileMask{m_mask}; // m_mask, ready to match
    bool m_multiSelect = true;
    bool m_showHidden = false;
    QFileIconProvider m_iconProvider;
    QHash<QString, QIcon> m_icons; // by file type
    BackgroundListing<Listing> m_reading;
    Listing m_pending;     // read, not yet shown
    qsizetype m_shown = 0; // of m_pending
    QTimer* m_batchTimer = nullptr;
    QSet<QString> m_wanted; // names to select as they are shown
    bool m_wantAll = false;
};
