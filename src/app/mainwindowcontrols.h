#pragma once

#include "app/progresspanel.h"

#include <QList>
#include <QStringList>

class FileListBox;

class QAction;
class QGroupBox;
class QLabel;
class QListWidget;
class QMainWindow;
class QMenu;
class QProgressBar;
class QPushButton;
class QSplitter;
class QToolButton;
class QTreeWidget;
class QWidget;
struct Settings;
class TDirTree;

// The main window's controls under their designer names, built and laid out once: a
// column of command buttons on the left; to their right Panel1 with the session list over
// the folder tree and the file list; Panel2, the progress panel, over Panel1 while a
// session is served or files are sent; and the File and Help menus. Sizes are those of an
// 8-point font, scaled up where the platform font is larger so that every caption fits.
class MainWindowControls {
public:
    // The window's fixed size at the design's font.
    static constexpr int kDesignWidth = 570;
    static constexpr int kDesignHeight = 380;
    static constexpr int kServerNameColumnWidth = 250;

    QPushButton* Button1 = nullptr; // "Start &Copy..."
    QPushButton* Button3 = nullptr; // "Create &Server..."
    QPushButton* Button8 = nullptr; // "&Refresh List..."
    QPushButton* Button5 = nullptr; // "View &Protocol..."
    QPushButton* Button6 = nullptr; // "Start &Assistant..."
    QPushButton* Button7 = nullptr; // "&Exit"

    QWidget* Panel1 = nullptr;
    QSplitter* Splitter2 = nullptr; // under the session list
    QSplitter* Splitter1 = nullptr; // between the tree and the file list
    QTreeWidget* ServerList = nullptr;
    TDirTree* DirTree1 = nullptr;
    FileListBox* FileListBox1 = nullptr;
    QLabel* Panel4 = nullptr; // "  Searching sessions..."

    ProgressPanel* Panel2 = nullptr; // the progress panel; the controls below are its own
    QLabel* Panel3 = nullptr;        // its title strip
    QToolButton* ClosePanelBtn = nullptr;
    QGroupBox* GroupBox1 = nullptr; // "Progress:"
    QLabel* Label1 = nullptr;       // "Just Copying::"
    QLabel* Label2 = nullptr;       // the current file's name
    QLabel* Label3 = nullptr;       // "This file:"
    QProgressBar* ThisFileProgBar = nullptr;
    QLabel* Label4 = nullptr; // "Total:"
    QProgressBar* TotalProgBar = nullptr;
    QLabel* Label5 = nullptr; // "File X/X"
    QLabel* Label6 = nullptr; // "Packets sent:"
    QLabel* PacksSent = nullptr;
    QLabel* Label9 = nullptr; // "Packets received:"
    QLabel* PacksReceived = nullptr;
    QGroupBox* GroupBox2 = nullptr; // "Messages:"
    QListWidget* DebugMsgList = nullptr;

    QMenu* File1 = nullptr;
    QAction* Preferences1 = nullptr;
    QAction* Exit1 = nullptr;
    QMenu* Help1 = nullptr;
    QAction* Contents1 = nullptr;
    QAction* About1 = nullptr;

    // The rows of ServerList: each the label and the target directory.
    QList<QStringList> SessionRowTexts() const;

    // Turns the buttons, the browsers, the session list and the menus on or off together
    // (off while a session is searched for, hosted or sent to).
    void SetControlsEnabled(bool enabled);
    // Shows hidden and system files and the message list as `settings` say.
    void ApplyFileSettings(const Settings& settings);

protected:
    // Creates every control inside `window` and fixes the window's size.
    void BuildControls(QMainWindow* window);

private:
    QWidget* buildButtonColumn(QWidget* parent);
    QWidget* buildBrowsePanel(QWidget* parent);
    void adoptProgressControls();
    void buildMenus(QMainWindow* window);
    void fixSize(QMainWindow* window);
};
