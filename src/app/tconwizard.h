#pragma once

#include <QDialog>

class FileListBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QStackedWidget;
class QTreeWidget;
class TDirTree;
class TLsFileListView;
class TMainWindow;

// The connection wizard: step by step through either role. As server the user names the
// session and picks the folder that receives the files, and the wizard hosts through the
// main window; as client the wizard searches (through the main window), the user picks a
// session and the files, and the wizard starts the copy through the main window. It does
// no networking of its own.
//
// Pages: 0 the role; server 1 name, 2 folder, 3 summary; client 4 search, 5 files,
// 6 ready. Next reads "&Connect" on pages 3 and 6.
class TConWizard final : public QDialog {
    Q_OBJECT

public:
    static constexpr int kPageCount = 7;

    explicit TConWizard(TMainWindow& mainWindow, QWidget* parent = nullptr);

    bool ConnectPressed = false;

    QLabel* Image1 = nullptr;   // the picture on the left
    QLabel* Panel1 = nullptr;   // the title strip
    QStackedWidget* Notebook1 = nullptr;
    QFrame* Bevel1 = nullptr;
    QPushButton* Button1 = nullptr; // "< &Previous"
    QPushButton* Button2 = nullptr; // "&Next >" / "&Connect"
    QPushButton* Button4 = nullptr; // "&Close"
    QPushButton* Button3 = nullptr; // "&Help"

    QLabel* Label1 = nullptr;
    QRadioButton* ServerRadio = nullptr;
    QRadioButton* ClientRadio = nullptr;
    QLabel* Label3 = nullptr;
    QLineEdit* SessionNameEdit = nullptr;
    QLabel* NameProblem = nullptr; // why a name cannot be used, when it cannot
    QLabel* Label6 = nullptr;
    TDirTree* DirTree1 = nullptr;
    TLsFileListView* LsFileListView1 = nullptr;
    QLabel* Label9 = nullptr;
    QTreeWidget* ListView1 = nullptr;
    QLabel* Label12 = nullptr;
    QTreeWidget* ListView2 = nullptr;
    QLabel* Label15 = nullptr;
    QPushButton* Button5 = nullptr; // "&Refresh"
    QLabel* Label13 = nullptr;
    TDirTree* DirTree2 = nullptr;
    FileListBox* SourceFileList = nullptr;
    QLabel* Label14 = nullptr;

    static QString PageCaption(int page);
    static int HelpContext(int page);

    // Shows `page` and, for page 4, runs the client search.
    void ShowPage(int page);
    void Button2Click(); // Next
    void Button1Click(); // Previous
    void Button3Click(); // Help
    void Button5Click(); // the client search
    void SessionNameEditChange();
    void DirTree1Change();
    void DirTree2Change();
    void SourceFileListClick();

    // Closing: hosts or copies through the main window when Connect was pressed.
    void done(int result) override;

private:
    QWidget* buildPage(int page);
    QWidget* rolePage();
    QWidget* namePage();
    QWidget* targetPage();
    QWidget* serverSummaryPage();
    QWidget* searchPage();
    QWidget* filesPage();
    QWidget* clientReadyPage();
    void setNextCaption(const QString& caption);

    TMainWindow& m_main;
    bool m_searching = false;
    bool m_closing = false;
};

// Opens the wizard modally over the main window and destroys it when it has closed.
void RunWizard(TMainWindow& mainWindow);
