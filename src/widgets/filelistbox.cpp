#include "widgets/filelistbox.h"

#include "widgets/currentdirectory.h"
#include "widgets/filemask.h"
#include "widgets/nameorder.h"
#include "widgets/waitcursor.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

FileListBox::FileListBox(QWidget* parent)
    : QListWidget(parent)
{
    SetMultiSelect(m_multiSelect);
    setUniformItemSizes(true);
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

void FileListBox::Refill()
{
    WaitCursor wait;
    const FileMask mask(m_mask);

    // Ordinary files only: no folders, no devices or pipes, hidden (dot) files when asked.
    QStringList names;
    QDirIterator it(m_directory, m_showHidden ? QDir::Files | QDir::Hidden : QDir::Files);
    while (it.hasNext()) {
        it.next();
        const QString name = it.fileName();
        if (mask.Matches(name) && it.fileInfo().isFile())
            names.append(name);
    }
    NameOrder().Sort(names);

    setUpdatesEnabled(false);
    clear();
    for (const QString& name : names) {
        auto* entry = new QListWidgetItem(m_iconProvider.icon(QFileInfo(QDir(m_directory).filePath(name))), name);
        addItem(entry);
    }
    setUpdatesEnabled(true);
}
