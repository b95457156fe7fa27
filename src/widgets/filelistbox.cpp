#include "widgets/filelistbox.h"

#include "widgets/currentdirectory.h"
#include "widgets/filemask.h"
#include "widgets/nameorder.h"
#include "widgets/waitcursor.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QTimer>

namespace {

// A folder with at most this many files is listed in place; a bigger one on a worker thread.
constexpr qsizetype kInPlaceLimit = 2000;
// Items are added to the list for about this long per turn of the event loop.
constexpr int kBatchMs = 15;

// Ordinary files only: no folders, no devices or pipes, hidden (dot) files when asked. Stops
// after limit files (0: no limit). Runs on a worker thread too: it touches no widget.
FileListBox::Listing ListFiles(const QString& directory, const QString& maskText, bool showHidden, qsizetype limit)
{
    FileListBox::Listing listing;
    const FileMask mask(maskText);
    QDirIterator it(directory, showHidden ? QDir::Files | QDir::Hidden : QDir::Files);
    while (it.hasNext()) {
        it.next();
        const QString name = it.fileName();
        if (mask.Matches(name) && it.fileInfo().isFile()) {
            if (limit > 0 && listing.names.size() == limit) {
                listing.complete = false;
                return listing;
            }
            listing.names.append(name);
        }
    }
    NameOrder().Sort(listing.names);
    // The icon of a file follows from its type; the type is found here, off the window's
    // thread, as it may mean reading the file's first bytes.
    const QMimeDatabase types;
    const QDir folder(directory);
    listing.types.reserve(listing.names.size());
    for (const QString& name : listing.names)
        listing.types.append(types.mimeTypeForFile(QFileInfo(folder.filePath(name))).name());
    return listing;
}

} // namespace

FileListBox::FileListBox(QWidget* parent) : QListWidget(parent)
{
    SetMultiSelect(m_multiSelect);
    setUniformItemSizes(true);
    m_batchTimer = new QTimer(this);
    m_batchTimer->setInterval(0);
    connect(m_batchTimer, &QTimer::timeout, this, &FileListBox::ShowBatch);
}

void FileListBox::SetDirectory(const QString& path)
{
    const QString entered = EnterDirectory(path);
    if (entered == m_directory)
        return;
    m_directory = entered;
    Refill();
}

void FileListBox::SetMask(const QString& mask)
{
    if (mask == m_mask)
        return;
    m_mask = mask;
    m_fileMask = FileMask(mask);
    if (!m_directory.isEmpty())
        Refill();
}

void FileListBox::SetMultiSelect(bool value)
{
    m_multiSelect = value;
    setSelectionMode(value ? QAbstractItemView::ExtendedSelection : QAbstractItemView::SingleSelection);
}

void FileListBox::SetShowHidden(bool value)
{
    if (value == m_showHidden)
        return;
    m_showHidden = value;
    if (!m_directory.isEmpty())
        Refill();
}

QStringList FileListBox::SelectedNames() const
{
    QStringList names;
    for (int row = 0; row < count(); ++row) {
        if (item(row)->isSelected())
            names.append(item(row)->text());
    }
    return names;
}

QString FileListBox::FileName() const
{
    const QListWidgetItem* current = currentItem();
    if (!current || m_directory.isEmpty())
        return QString();
    return QDir(m_directory).filePath(current->text());
}

bool FileListBox::Lists(const QString& name) const
{
    return (m_showHidden || !name.startsWith(QLatin1Char('.'))) && m_fileMask.Matches(name);
}

void FileListBox::SelectNames(const QStringList& names)
{
    m_wanted = QSet<QString>(names.cbegin(), names.cend());
    m_wantAll = false;
    selectWanted(0, count());
    if (!Filling())
        m_wanted.clear();
}

void FileListBox::SelectAllFiles()
{
    m_wanted.clear();
    m_wantAll = true;
    selectWanted(0, count());
    if (!Filling())
        m_wantAll = false;
}

void FileListBox::selectWanted(int from, int to)
{
    if (m_wanted.isEmpty() && !m_wantAll)
        return;
    // Runs of wanted rows become ranges of one selection: selecting 100,000 items one by one
    // would tell the view of each.
    const auto wanted = [this](int row) { return m_wantAll || m_wanted.contains(item(row)->text()); };
    QItemSelection selection;
    int firstWanted = -1;
    for (int row = from; row < to;) {
        if (!wanted(row)) {
            ++row;
            continue;
        }
        int end = row + 1;
        while (end < to && m_multiSelect && wanted(end))
            ++end;
        if (firstWanted < 0)
            firstWanted = row;
        selection.select(model()->index(row, 0), model()->index(end - 1, 0));
        if (!m_multiSelect) {
            m_wanted.clear();
            m_wantAll = false;
            break;
        }
        row = end;
    }
    if (selection.isEmpty())
        return;
    selectionModel()->select(selection, QItemSelectionModel::Select);
    if (!currentItem() || !currentItem()->isSelected())
        selectionModel()->setCurrentIndex(model()->index(firstWanted, 0), QItemSelectionModel::NoUpdate);
}

bool FileListBox::Filling() const
{
    return m_reading.Busy() || m_batchTimer->isActive();
}

void FileListBox::Refill()
{
    m_reading.Cancel();
    m_batchTimer->stop();
    m_pending = Listing();
    m_shown = 0;
    m_wanted.clear();
    m_wantAll = false;
    clear();

    Listing listing;
    {
        WaitCursor wait;
        listing = ListFiles(m_directory, m_mask, m_showHidden, kInPlaceLimit);
    }
    if (listing.complete) {
        Show(std::move(listing));
        return;
    }
    setCursor(Qt::BusyCursor);
    m_reading.Start([directory = m_directory, mask = m_mask,
                     hidden = m_showHidden] { return ListFiles(directory, mask, hidden, 0); },
                    [this](Listing all) { Show(std::move(all)); }, 0);
}

void FileListBox::Show(Listing listing)
{
    m_pending = std::move(listing);
    m_shown = 0;
    ShowBatch();
}

void FileListBox::ShowBatch()
{
    QElapsedTimer clock;
    clock.start();
    setUpdatesEnabled(false);
    const int firstNew = count();
    const QDir folder(m_directory);
    while (m_shown < m_pending.names.size() && (clock.elapsed() < kBatchMs || m_shown < kInPlaceLimit)) {
        const QString& name = m_pending.names[m_shown];
        addItem(new QListWidgetItem(IconFor(folder.filePath(name), m_pending.types[m_shown]), name));
        ++m_shown;
    }
    selectWanted(firstNew, count());
    setUpdatesEnabled(true);
    if (m_shown < m_pending.names.size()) {
        m_batchTimer->start();
        return;
    }
    m_batchTimer->stop();
    m_pending = Listing();
    m_shown = 0;
    m_wanted.clear();
    m_wantAll = false;
    unsetCursor();
    emit Filled();
}

QIcon FileListBox::IconFor(const QString& path, const QString& type)
{
    auto known = m_icons.constFind(type);
    if (known != m_icons.constEnd())
        return *known;
    const QIcon icon = m_iconProvider.icon(QFileInfo(path));
    m_icons.insert(type, icon);
    return icon;
}
