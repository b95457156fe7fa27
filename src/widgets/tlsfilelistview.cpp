#include "widgets/tlsfilelistview.h"

#include "widgets/currentdirectory.h"
#include "widgets/fileattributes.h"
#include "widgets/filemask.h"
#include "widgets/waitcursor.h"

#include <QDateTime>
#include <QDirIterator>
#include <QFileInfo>
#include <QHeaderView>
#include <QKeyEvent>
#include <QElapsedTimer>
#include <QLocale>
#include <QMimeDatabase>
#include <QMouseEvent>
#include <QSet>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace {

constexpr int kPathRole = Qt::UserRole;
constexpr int kIsDirRole = Qt::UserRole + 1;
constexpr int kSizeRole = Qt::UserRole + 2;
constexpr int kModifiedRole = Qt::UserRole + 3;
constexpr int kMaxTypeNameLength = 80;
// A directory with at most this many entries is listed in place; a bigger one on a worker.
constexpr qsizetype kInPlaceLimit = 250;
// Items are added to the list for about this long per turn of the event loop.
constexpr int kBatchMs = 15;

// Widths for a UI font of 13 pixels line height; scaled up for larger fonts.
constexpr int kDesignLineHeight = 13;
constexpr int kNameWidth = 140;
constexpr int kSizeWidth = 70;
constexpr int kTypeWidth = 70;
constexpr int kModifiedWidth = 110;

QString AsciiLower(const QString& name)
{
    QString lower = name;
    for (QChar& c : lower) {
        if (c.unicode() < 128)
            c = c.toLower();
    }
    return lower;
}

// The first character of a locale format that is neither a letter nor a quote nor a blank.
QChar SeparatorOf(const QString& format, QChar fallback)
{
    for (const QChar c : format) {
        if (!c.isLetter() && c != QLatin1Char('\'') && !c.isSpace())
            return c;
    }
    return fallback;
}

template <typename T>
int Order(const T& a, const T& b)
{
    return a < b ? -1 : (b < a ? 1 : 0);
}

QString DateTimeText(const QDateTime& time)
{
    // Month/day/year and 24-hour time, joined by the separators of the user's locale. The
    // format belongs to this view only; other date texts of the program are not touched.
    const QLocale locale;
    const QChar date = SeparatorOf(locale.dateFormat(QLocale::ShortFormat), QLatin1Char('/'));
    const QChar clock = SeparatorOf(locale.timeFormat(QLocale::ShortFormat), QLatin1Char(':'));
    return time.toString(QStringLiteral("MM%1dd%1yyyy HH%2mm").arg(date).arg(clock));
}

// Reads what an item shows of one entry; false for an entry that vanished or whose type
// cannot be told. Touches no widget: runs on a worker thread for a big directory.
bool ReadEntry(const QFileInfo& info, const QString& directory, const QMimeDatabase& types,
               TLsFileListView::Entry& entry)
{
    if (!info.exists())
        return false;
    const QMimeType mime = types.mimeTypeForFile(info);
    if (!mime.isValid())
        return false;
    QString typeName = mime.comment().trimmed();
    if (typeName.isEmpty())
        typeName = mime.name();
    entry.typeName = typeName.left(kMaxTypeNameLength).trimmed();
    entry.type = mime.name();

    entry.isDir = info.isDir();
    entry.size = entry.isDir ? 0 : info.size();
    entry.modified = info.lastModified();
    entry.modified.setTime(QTime(entry.modified.time().hour(), entry.modified.time().minute()));
    entry.modifiedText = DateTimeText(entry.modified);
    entry.name = info.fileName();
    entry.path = directory + entry.name;
    entry.attributes = AttributeLetters(ReadFileAttributes(info));
    return true;
}

// The directory's entries in the order the file system gives them; stops after limit entries
// (0: no limit). Entries that vanish or cannot be queried while it runs are left out.
// Names in skip (the entries shown already) are passed over.
TLsFileListView::Listing ListEntries(const QString& directory, const QString& maskText, qsizetype limit,
                                     const QSet<QString>& skip = {})
{
    TLsFileListView::Listing listing;
    const FileMask mask(maskText);
    const QMimeDatabase types;
    const QString prefix = directory.endsWith(QLatin1Char('/')) ? directory : directory + QLatin1Char('/');
    QDirIterator it(directory, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        it.next();
        if (!mask.Matches(it.fileName()) || skip.contains(it.fileName()))
            continue;
        if (limit > 0 && listing.entries.size() == limit) {
            listing.complete = false;
            break;
        }
        TLsFileListView::Entry entry;
        if (ReadEntry(it.fileInfo(), prefix, types, entry))
            listing.entries.append(std::move(entry));
    }
    return listing;
}

} // namespace

TLsFileListView::TLsFileListView(QWidget* parent) : QTreeWidget(parent)
{
    setRootIsDecorated(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setSortingEnabled(false);
    setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Size"), QStringLiteral("Type"), QStringLiteral("Modified"),
                     QStringLiteral("Attributes")});
    headerItem()->setTextAlignment(colSize, Qt::AlignRight | Qt::AlignVCenter);
    headerItem()->setTextAlignment(colAttributes, Qt::AlignRight | Qt::AlignVCenter);
    header()->setSectionsClickable(true);
    header()->setStretchLastSection(true);

    const QFontMetrics metrics = fontMetrics();
    const double scale = std::max(1.0, double(metrics.height()) / kDesignLineHeight);
    const int widths[] = {kNameWidth, kSizeWidth, kTypeWidth, kModifiedWidth};
    for (int column = colName; column <= colModified; ++column) {
        // room for the caption, the sort arrow and the margins in any case
        const int captionWidth = metrics.horizontalAdvance(headerItem()->text(column)) + 2 * metrics.height() + 8;
        setColumnWidth(column, std::max(int(widths[column] * scale), captionWidth));
    }

    SetMultiSelect(m_multiSelect);
    SetReadOnly(m_readOnly);
    ApplyViewStyle();

    m_batchTimer = new QTimer(this);
    m_batchTimer->setInterval(0);
    connect(m_batchTimer, &QTimer::timeout, this, &TLsFileListView::ShowBatch);

    connect(header(), &QHeaderView::sectionClicked, this, &TLsFileListView::ColumnClick);
    connect(this, &QTreeWidget::itemClicked, this,
            [this](QTreeWidgetItem* item) { m_selectedFile = item->data(colName, kPathRole).toString(); });
    connect(this, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
        if (item->data(colName, kIsDirRole).toBool())
            m_folderToOpen = item->data(colName, kPathRole).toString();
    });
}

void TLsFileListView::SetDirectory(const QString& path)
{
    if (path == m_directory)
        return;
    const QString entered = EnterDirectory(path.endsWith(QLatin1Char('/')) ? path : path + QLatin1Char('/'));
    m_directory = entered;
    Refill();
}

void TLsFileListView::SetMask(const QString& mask)
{
    if (mask == m_mask)
        return;
    m_mask = mask;
    if (!m_directory.isEmpty())
        Refill();
}

void TLsFileListView::SetMultiSelect(bool value)
{
    m_multiSelect = value;
    setSelectionMode(value ? QAbstractItemView::ExtendedSelection : QAbstractItemView::SingleSelection);
}

void TLsFileListView::SetReadOnly(bool value)
{
    m_readOnly = value;
    setEditTriggers(value ? QAbstractItemView::NoEditTriggers
                          : QAbstractItemView::EditKeyPressed | QAbstractItemView::SelectedClicked);
}

void TLsFileListView::SetHideSelection(bool value)
{
    m_hideSelection = value;
    QPalette colours = QPalette();
    if (value) {
        colours.setColor(QPalette::Inactive, QPalette::Highlight, colours.color(QPalette::Inactive, QPalette::Base));
        colours.setColor(QPalette::Inactive, QPalette::HighlightedText,
                         colours.color(QPalette::Inactive, QPalette::Text));
    }
    setPalette(colours);
}

void TLsFileListView::SetShowColumnHeaders(bool value)
{
    m_showColumnHeaders = value;
    ApplyViewStyle();
}

void TLsFileListView::SetViewStyle(TViewStyle value)
{
    m_viewStyle = value;
    ApplyViewStyle();
}

void TLsFileListView::ColumnClick(int column)
{
    if (column == m_sortColumn) {
        m_sortDescending = !m_sortDescending;
    } else {
        m_sortColumn = column;
        m_sortDescending = true;
    }
    header()->setSortIndicatorShown(true);
    header()->setSortIndicator(column, m_sortDescending ? Qt::DescendingOrder : Qt::AscendingOrder);
    // A list still being filled is sorted once all of it is there.
    m_sortWhenFilled = Filling();
    if (!m_sortWhenFilled)
        SortItems();
}

void TLsFileListView::SortItems()
{
    auto compare = [this](const QTreeWidgetItem* a, const QTreeWidgetItem* b) {
        const bool aEmpty = a->text(colSize) == QLatin1String("0");
        const bool bEmpty = b->text(colSize) == QLatin1String("0");
        int order = 0;
        if (aEmpty != bEmpty) {
            order = aEmpty ? -1 : 1;
        } else {
            switch (m_sortColumn) {
            case colName:
                order = Order(a->text(colName).toUpper().toUtf8(), b->text(colName).toUpper().toUtf8());
                break;
            case colSize:
                order = Order(a->data(colName, kSizeRole).toLongLong(), b->data(colName, kSizeRole).toLongLong());
                break;
            case colModified:
                order =
                    Order(a->data(colName, kModifiedRole).toDateTime(), b->data(colName, kModifiedRole).toDateTime());
                break;
            default:
                order = QString::compare(a->text(m_sortColumn), b->text(m_sortColumn), Qt::CaseInsensitive);
                break;
            }
        }
        return m_sortDescending ? -order : order;
    };

    QTreeWidgetItem* current = currentItem();
    const QList<QTreeWidgetItem*> selected = selectedItems();
    QList<QTreeWidgetItem*> items = invisibleRootItem()->takeChildren();
    std::stable_sort(items.begin(), items.end(),
                     [&](const QTreeWidgetItem* a, const QTreeWidgetItem* b) { return compare(a, b) < 0; });
    addTopLevelItems(items);
    if (current)
        setCurrentItem(current, 0, QItemSelectionModel::NoUpdate);
    for (QTreeWidgetItem* item : selected)
        item->setSelected(true);
}

void TLsFileListView::Refill()
{
    m_reading.Cancel();
    m_batchTimer->stop();
    m_pending = Listing();
    m_shown = 0;
    m_sortWhenFilled = false;
    m_moreToCome = false;
    clear();
    header()->setSortIndicatorShown(false);

    Listing listing;
    {
        WaitCursor wait;
        listing = ListEntries(m_directory, m_mask, kInPlaceLimit);
    }
    if (listing.complete) {
        Show(std::move(listing));
        return;
    }
    // A big directory: the entries read so far are shown at once, the rest follow from a
    // worker thread.
    setCursor(Qt::BusyCursor);
    QSet<QString> shown;
    for (const Entry& entry : std::as_const(listing.entries))
        shown.insert(entry.name);
    m_moreToCome = true;
    Show(std::move(listing));
    m_reading.Start([directory = m_directory, mask = m_mask,
                     shown = std::move(shown)] { return ListEntries(directory, mask, 0, shown); },
                    [this](Listing rest) {
                        m_moreToCome = false;
                        Show(std::move(rest));
                    },
                    0);
}

bool TLsFileListView::Filling() const
{
    return m_moreToCome || m_reading.Busy() || m_batchTimer->isActive();
}

void TLsFileListView::Show(Listing listing)
{
    m_pending = std::move(listing);
    m_shown = 0;
    ShowBatch();
}

void TLsFileListView::ShowBatch()
{
    QElapsedTimer clock;
    clock.start();
    QList<QTreeWidgetItem*> items;
    while (m_shown < m_pending.entries.size() && (clock.elapsed() < kBatchMs || m_shown < kInPlaceLimit)) {
        items.append(MakeItem(m_pending.entries[m_shown]));
        ++m_shown;
    }
    setUpdatesEnabled(false);
    addTopLevelItems(items);
    setUpdatesEnabled(true);
    if (m_shown < m_pending.entries.size()) {
        m_batchTimer->start();
        return;
    }
    m_batchTimer->stop();
    m_pending = Listing();
    m_shown = 0;
    if (m_moreToCome)
        return;
    if (std::exchange(m_sortWhenFilled, false))
        SortItems();
    unsetCursor();
    emit Filled();
}

QStringList TLsFileListView::SubItems(const QTreeWidgetItem* item)
{
    return {item->text(colSize),
            item->text(colType),
            item->text(colModified),
            item->text(colAttributes),
            item->data(colName, kPathRole).toString(),
            item->data(colName, kIsDirRole).toBool() ? QStringLiteral("dir") : QStringLiteral("file")};
}

void TLsFileListView::mouseDoubleClickEvent(QMouseEvent* event)
{
    // The ordinary double-click event runs first (inside the base class, which notes the
    // folder to open); the folder is entered after every handler of it has run.
    m_folderToOpen.clear();
    QTreeWidget::mouseDoubleClickEvent(event);
    const QString folder = std::exchange(m_folderToOpen, QString());
    if (!folder.isEmpty())
        SetDirectory(folder);
}

void TLsFileListView::keyPressEvent(QKeyEvent* event)
{
    QTreeWidgetItem* item = currentItem();
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && item
        && item->data(colName, kIsDirRole).toBool()) {
        SetDirectory(item->data(colName, kPathRole).toString());
        return;
    }
    QTreeWidget::keyPressEvent(event);
}

QTreeWidgetItem* TLsFileListView::MakeItem(const Entry& entry)
{
    auto* item = new QTreeWidgetItem;
    item->setText(colName, AsciiLower(entry.name));
    item->setIcon(colName, IconFor(entry));
    item->setText(colSize, QString::number(entry.size));
    item->setText(colType, entry.typeName);
    item->setText(colModified, entry.modifiedText);
    item->setText(colAttributes, entry.attributes);
    item->setTextAlignment(colSize, Qt::AlignRight | Qt::AlignVCenter);
    item->setTextAlignment(colAttributes, Qt::AlignRight | Qt::AlignVCenter);
    item->setData(colName, kPathRole, entry.path);
    item->setData(colName, kIsDirRole, entry.isDir);
    item->setData(colName, kSizeRole, entry.size);
    item->setData(colName, kModifiedRole, entry.modified);
    return item;
}

QIcon TLsFileListView::IconFor(const Entry& entry)
{
    // The icon follows from the entry's type: asked for once per type.
    const QString key = entry.isDir ? QLatin1Char('/') + entry.type : entry.type;
    auto known = m_icons.constFind(key);
    if (known != m_icons.constEnd())
        return *known;
    QIcon icon = m_iconProvider.icon(QFileInfo(entry.path));
    if (icon.isNull())
        icon = m_iconProvider.icon(QAbstractFileIconProvider::File);
    m_icons.insert(key, icon);
    return icon;
}

void TLsFileListView::ApplyViewStyle()
{
    const bool report = m_viewStyle == vsReport;
    for (int column = colSize; column <= colAttributes; ++column)
        setColumnHidden(column, !report);
    setHeaderHidden(!report || !m_showColumnHeaders);
    const int iconSize = m_viewStyle == vsIcon ? 32 : 16;
    setIconSize(QSize(iconSize, iconSize));
}
