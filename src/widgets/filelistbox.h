#pragma once

#include <QFileIconProvider>
#include <QListWidget>

// The plain list of the files in one folder, sorted by name, from which the user picks the
// files to send (several at once). Pointing it at a folder makes that folder the process's
// current directory.
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
    // Full path of the current file, or empty when there is none.
    QString FileName() const;
    // Reads the folder again.
    void Refill();

private:
    QString m_directory;
    QString m_mask = QStringLiteral("*.*");
    bool m_multiSelect = true;
    bool m_showHidden = false;
    QFileIconProvider m_iconProvider;
};
