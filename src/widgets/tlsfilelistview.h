#pragma once

#include "widgets/backgroundlisting.h"

#include <QDateTime>
#include <QFileIconProvider>
#include <QHash>
#include <QTreeWidget>

class QTimer;

// A list of the entries of one directory with icons, sizes, type names, modification times
// and attribute letters; double-clicking a folder steps into it. Setting Directory makes it
// the process's current directory. A directory of up to 250 entries is listed before
// SetDirectory returns; of a bigger one the first 250 are, and the rest are read on a
// worker thread and shown in batches, so that the window keeps answering; Filling() tells whether that is still under
// way, and Filled() is raised at its end.
class TLsFileListView : public QTreeWidget {
    Q_OBJECT

public:
    enum TViewStyle { vsIcon, vsSmallIcon, vsList, vsReport };
    enum Column { colName, colSize, colType, colModified, colAttributes };

    explicit TLsFileListView(QWidget* parent = nullptr);

    QString Directory() const { return m_directory; }
    // Does nothing when path equals Directory exactly. Otherwise enters path (the process's
    // current directory changes), takes the system's name for it and refills the list.
    // Throws AppError when the directory cannot be entered; the list stays as it was.
    void SetDirectory(const QString& path);
    QString Mask() const { return m_mask; }
    // Patterns separated by ";", matched without regard to case; "*.*" matches every name.
    void SetMask(const QString& mask);

    bool MultiSelect() const { return m_multiSelect; }
    void SetMultiSelect(bool value);
    bool ReadOnly() const { return m_readOnly; }
    void SetReadOnly(bool value);
    bool HideSelection() const { return m_hideSelection; }
    void SetHideSelection(bool value);
    bool ShowColumnHeaders() const { return m_showColumnHeaders; }
    void SetShowColumnHeaders(bool value);
    // The report style shows the five columns; the other styles show names and icons only.
    TViewStyle ViewStyle() const { return m_viewStyle; }
    void SetViewStyle(TViewStyle value);

    // Full path of the item clicked last.
    QString SelectedFile() const { return m_selectedFile; }
    int SortColumn() const { return m_sortColumn; }
    bool SortDescending() const { return m_sortDescending; }

    // Sorts by column: the same column again reverses the direction, another column sorts
    // descending. Entries of size 0 (folders, empty files) go first when ascending and
    // last when descending.
    void ColumnClick(int column);
    // Reads the directory again.
    void Refill();

    // The item's hidden data, in this order: size, type name, modification time text,
    // attribute letters, full path (name as stored on disk), "dir" or "file".
    static QStringList SubItems(const QTreeWidgetItem* item);

    // Whether a big directory is still being read or shown.
    bool Filling() const;

    // One entry as read from the directory (on a worker thread for a big one).
    struct Entry {
        QString name; // as stored on disk
        QString path;
        bool isDir = false;
        qint64 size = 0;
        QDateTime modified; // to the minute
        QString modifiedText;
        QString typeName;
        QString type; // the type's identifier, which chooses the icon
        QString attributes;
    };
    struct Listing {
        QList<Entry> entries;
        bool complete = true; // false when the read stopped at its limit
    };

signals:
    void Filled();

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QTreeWidgetItem* MakeItem(const Entry& entry);
    QIcon IconFor(const Entry& entry);
    void Show(Listing listing);
    void ShowBatch();
    void SortItems();
    void Open(QTreeWidgetItem* item);
    void ApplyViewStyle();

    QString m_directory;
    QString m_mask = QStringLiteral("*.*");
    bool m_multiSelect = false;
    bool m_readOnly = true;
    bool m_hideSelection = false;
    bool m_showColumnHeaders = true;
    TViewStyle m_viewStyle = vsReport;
    QString m_selectedFile;
    QString m_folderToOpen; // set while a double-click on a folder is handled
    int m_sortColumn = colSize;
    bool m_sortDescending = true;
    QFileIconProvider m_iconProvider;
    QHash<QString, QIcon> m_icons; // by type, "/" and the type for folders
    BackgroundListing<Listing> m_reading;
    Listing m_pending;             // read, not yet shown
    qsizetype m_shown = 0;         // of m_pending
    bool m_sortWhenFilled = false; // a column was clicked while filling
    bool m_moreToCome = false;     // the first entries are shown, the rest are read
    QTimer* m_batchTimer = nullptr;
};
