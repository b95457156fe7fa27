#pragma once

#include <QString>

// Where a copy stands, for views that show bytes, speed and time left (the command line's
// progress line). Sizes of -1 mean "not known".
struct TransferProgress {
    int fileNumber = 0;
    int fileCount = 0;
    qint64 fileBytes = 0;
    qint64 fileSize = 0;
    qint64 totalBytes = 0;
    qint64 totalSize = 0;
};

// What both engines report to: the progress panel of the main window (Label2, Label5,
// Panel3, the two bars), the session log, and message boxes. Views may coalesce repaints;
// the engines call these per packet.
class TransferView {
public:
    virtual ~TransferView() = default;

    virtual void LogMessage(const QString& text) = 0;
    virtual void LogAppend(const QString& text) = 0;
    // A line that reports a failure or a refusal: like LogMessage, but a log file gets it at
    // once rather than with the next batch of lines.
    virtual void LogError(const QString& text) { LogMessage(text); }

    virtual void ShowFileName(const QString& name) = 0;       // Label2
    virtual void ShowFileCounter(const QString& caption) = 0; // Label5, "File n/N"
    virtual void ShowStatus(const QString& caption) = 0;      // Panel3
    virtual void SetFileProgress(int percent) = 0;            // ThisFileProgBar, 0 to 100
    virtual void SetTotalProgress(int percent) = 0;           // TotalProgBar, 0 to 100

    // A plain message box with an OK button.
    virtual void ShowMessage(const QString& text) = 0;
    // A message box with the error icon and an OK button.
    virtual void ShowError(const QString& text) = 0;

    virtual void ShowProgress(const TransferProgress&) {}
};
