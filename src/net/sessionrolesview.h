#pragma once

#include "platform/dplay/dplay.h"

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
    // A client joined the hosted session from `address` (empty when not known), and left it;
    // told after the copy has settled its file.
    virtual void ClientJoined(const QString& address) { (void)address; }
    virtual void ClientLeft() {}
    // After a system message was logged; front ends react to a client leaving or the
    // session being lost.
    virtual void SystemMessageArrived(DWORD type) { (void)type; }
};
