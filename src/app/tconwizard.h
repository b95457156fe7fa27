#pragma once

#include "secure/pairingcode.h"

#include <QDialog>
#include <QStringList>

#include <optional>

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
class WizardSessions;

// What the user chose in the wizard, for the main window to act on once it has closed.
struct WizardChoice {
    enum class Action { None, Host, Copy };
    Action action = Action::None;
    QString label;       // Host: the session name
    QString directory;   // Host: the folder that receives the files
    int sessionRow = -1; // Copy: the row of the latest search that names the session
    // The files chosen on the files page, full paths in list order; they replace the main
    // window's list of files to send, whether or not the copy is started.
    std::optional<QStringList> files;
    // Host: the pairing code the summary showed (hosting starts with it); Copy: the code the
    // user typed, used only when the server asks for one.
    std::optional<PairingCode> code;
};

// The connection wizard: step by step through either role. As server the user names the
// session and picks the folder that receives the files; as client the wizard searches
// (through the window that opened it), the user picks a session and the files. Connect
// closes it with a choice that the main window acts on: it hosts or starts the copy. The
// wizard does no networking of its own.
//
// Pages: 0 the role; server 1 name, 2 folder, 3 summary; client 4 search, 5 files,
// 6 ready. Next reads "&Connect" on pages 3 and 6.
class TConWizard final : public QDialog {
    Q_OBJECT

public:
    static constexpr int kPageCount = 7;

    explicit TConWizard(WizardSessions& sessions, QWidget* parent = nullptr);

    bool ConnectPressed = false;

    QLabel* Image1 = nullptr; // the picture on the left
    QLabel* Panel1 = nullptr; // the title strip
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
    QLineEdit* PairingCodeEdit = nullptr; // the code the server shows, when it asks for one

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

    // What the main window does now: set when the wizard closes (hosting or copying only
    // after Connect), the files as soon as they are chosen.
    const WizardChoice& Choice() const { return m_choice; }

    // Closing: hosting or copying is chosen when Connect was pressed.
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
    // The summary's pairing row: the code hosting will start with, while pairing is required.
    void addPairingRow();
    // Connect on the client's last page: false (with a word) when the typed code is no code.
    bool pairingCodeUsable();

    WizardSessions& m_sessions;
    WizardChoice m_choice;
    bool m_searching = false;
    bool m_closing = false;
    std::optional<PairingCode> m_hostCode; // kept while the wizard is open, shown once made
};

// Opens the wizard modally over `parent`, destroys it when it has closed and returns what
// the user chose.
WizardChoice RunWizard(WizardSessions& sessions, QWidget* parent);
