#pragma once

#include "net/sessionevent.h"

#include <QString>

// What the connection roles report to: the main window (session list, searching state,
// status strip, message boxes) or the command line.
class SessionRolesView {
public:
    virtual ~SessionRolesView() = default;

    virtual void LogMessage(const QString& text) = 0;
    // A line that reports a failure: like LogMessage, but a log file gets it at once.
    virtual void LogError(const QString& text) { LogMessage(text); }
    // Busy cursor, controls disabled, "Searching sessions..." shown, session rows cleared.
    virtual void SearchStarted() = 0;
    // Controls enabled again, cursor restored, the searching note hidden.
    virtual void SearchEnded() = 0;
    virtual void ClearSessionRows() = 0;
    // One row of the session list: the label and the target directory.
    virtual void AddSessionRow(const QString& name, const QString& directory) = 0;
    // "Start Copy": disabled after a search that found nothing.
    virtual void SetCopyEnabled(bool enabled) = 0;
    virtual void ShowStatus(const QString& caption) = 0; // the progress panel's title strip
    virtual void ShowError(const QString& text) = 0;     // an error box with an OK button
    // After a client joined or left, or the session was lost, and the log says so (the copy
    // under way has heard of it first).
    virtual void SessionEventArrived(const SessionEvent& event) { (void)event; }
};
