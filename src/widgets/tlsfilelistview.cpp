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
#include <QLocale>
#include <QMouseEvent>

#include <algorithm>
#include <utility>

namespace {

constexpr int kPathRole = Qt::UserRole;
constexpr int kIsDirRole = Qt::UserRole + 1;
constexpr int kSizeRole = Qt::UserRole + 2;
constexpr int kModifiedRole = Qt::UserRole + 3;
constexpr int kMaxTypeNameLength = 80;

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

} // namespace

TLsFileListView::TLsFileListView(QWidget* parent)
    : QTreeWidget(parent)
{
    setRootIsDecorated(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setSortingEnabled(false);
    setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Size"), QStringLiteral("Type"),
                     QStringLiteral("Modified"), QStringLiteral("Attributes")});
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

    connect(header(), &QHeaderView::sectionClicked, this, &TLsFileListView::ColumnClick);
    connect(this, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item) {
        m_selectedFile = item->data(colName, kPathRole).toString();
    });
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
        colours.setColor(QPalette::Inactive, QPalette::HighlightedText, colours.color(QPalette::Inactive, QPalette::Text));
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
                order = Order(a->data(colName, kModifiedRole).toDateTime(), b->data(colName, kModifiedRole).toDateTime());
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

    header()->setSortIndicatorShown(true);
    header()->setSortIndicator(column, m_sortDescending ? Qt::DescendingOrder : Qt::AscendingOrder);
}

void TLsFileListView::Refill()
{
    WaitCursor wait;
    setUpdatesEnabled(false);
    clear();
    QList<QTreeWidgetItem*> items;
    const FileMask mask(m_mask);
    // Entries that vanish or cannot be queried while the list is read are left out.
    QDirIterator it(m_directory, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        it.next();
        if (!mask.Matches(it.fileName()))
            continue;
        if (QTreeWidgetItem* item = MakeItem(it.fileInfo()))
            items.append(item);
    }
    addTopLevelItems(items);
    header()->setSortIndicatorShown(false);
    setUpdatesEnabled(true);
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

QTreeWidgetItem* TLsFileListView::MakeItem(const QFileInfo& info)
{
    if (!info.exists())
        return nullptr;
    const QMimeType mime = m_mimeDatabase.mimeTypeForFile(info);
    if (!mime.isValid())
        return nullptr;
    QString typeName = mime.comment().trimmed();
    if (typeName.isEmpty())
        typeName = mime.name();
    typeName = typeName.left(kMaxTypeNameLength).trimmed();

    const bool isDir = info.isDir();
    const qint64 size = isDir ? 0 : info.size();
    QDateTime modified = info.lastModified();
    modified.setTime(QTime(modified.time().hour(), modified.time().minute()));
    const QString directory = m_directory.endsWith(QLatin1Char('/')) ? m_directory : m_directory + QLatin1Char('/');

    auto* item = new QTreeWidgetItem;
    item->setText(colName, AsciiLower(info.fileName()));
    const QIcon icon = m_iconProvider.icon(info);
    item->setIcon(colName, icon.isNull() ? m_iconProvider.icon(QAbstractFileIconProvider::File) : icon);
    item->setText(colSize, QString::number(size));
    item->setText(colType, typeName);
    item->setText(colModified, DateTimeText(modified));
    item->setText(colAttributes, AttributeLetters(ReadFileAttributes(info)));
    item->setTextAlignment(colSize, Qt::AlignRight | Qt::AlignVCenter);
    item->setTextAlignment(colAttributes, Qt::AlignRight | Qt::AlignVCenter);
    item->setData(colName, kPathRole, directory + info.fileName());
    item->setData(colName, kIsDirRole, isDir);
    item->setData(colName, kSizeRole, size);
    item->setData(colName, kModifiedRole, modified);
    return item;
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

QString TLsFileListView::DateTimeText(const QDateTime& time) const
{
    // Month/day/year and 24-hour time, joined by the separators of the user's locale. The
    // format belongs to this view only; other date texts of the program are not touched.
    const QLocale locale;
    const QChar date = SeparatorOf(locale.dateFormat(QLocale::ShortFormat), QLatin1Char('/'));
    const QChar clock = SeparatorOf(locale.timeFormat(QLocale::ShortFormat), QLatin1Char(':'));
    return time.toString(QStringLiteral("MM%1dd%1yyyy HH%2mm").arg(date).arg(clock));
}
