#pragma once

#include <QString>

class QWidget;
struct ReceiveSummary;

// Tells the user about a copy that ended while they were looking elsewhere: a desktop
// notification (org.freedesktop.Notifications over D-Bus) and the window's attention hint,
// only while `window` is minimized or not the active window.
class DesktopNotifier final {
public:
    explicit DesktopNotifier(QWidget* window) : m_window(window) {}

    // Files arrived from `from` (an address, or empty) into `folder`.
    void CopyArrived(const ReceiveSummary& summary, const QString& from, const QString& folder);
    // A send to `session` ended; `complete` when the server has everything.
    void CopySent(bool complete, const QString& session);
    // What the last notification said (for the log and tests); empty before any.
    const QString& LastText() const { return m_last; }

private:
    void notify(const QString& summary, const QString& body);

    QWidget* m_window;
    QString m_last;
};
