#pragma once

#include <QDialog>

class QPlainTextEdit;
class QPushButton;
class SessionLog;
struct Settings;

// The log viewer: shows the whole log file of this run, the lines still buffered
// included. Memo1 can be edited, but what is typed there is never saved; the viewer never
// writes into the log file.
class TProtocolViewer final : public QDialog {
    Q_OBJECT

public:
    explicit TProtocolViewer(QWidget* owner = nullptr);

    // Fills Memo1 with the log file while it is open and CreateLog is on; otherwise Memo1
    // stays empty. The file is closed as it stands, read and reopened for appending, with
    // nothing written (SessionLog::Reload). Throws AppError when that fails; the viewer
    // should then not be shown.
    void LoadLog(SessionLog& log, const Settings& settings);

    QPlainTextEdit* Memo1 = nullptr;
    QPushButton* Button1 = nullptr; // "&Close"

private:
    void Button1Click();
};
