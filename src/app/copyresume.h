#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

class QPushButton;
class TObjectList;

// The progress panel's Resume, after a copy from the window lost its server part way: what
// that copy was (the session it went to, what it sent), so that the same can be sent again.
// The server keeps what arrived of a large file, and the copy sent again goes on from there.
class CopyResume final {
public:
    struct Copy {
        QByteArray instance;  // the session's instance, as the search listed it
        QString label;        // the session's label
        QStringList files;    // the files listed before the copy (the wizard's)
        QStringList selected; // the full paths selected in the window
    };

    explicit CopyResume(QPushButton* button) : m_button(button) {}

    // The copy to row `row` of `sessions`; an empty label when there is no such row.
    static Copy CopyTo(const TObjectList* sessions, int row);

    // Shows the button, with the focus, for `copy`.
    void Offer(Copy copy);
    // Hides the button: there is nothing to resume.
    void Withdraw();
    const std::optional<Copy>& Offered() const { return m_copy; }

    // The search for the copy's session starts (the button waits for it), and ends: true
    // when the search that ended was that one.
    void SearchStarted();
    bool SearchEnded();
    // The row of `sessions` to send the copy to again: the same session, else the first one
    // with the same label (a restarted server hosts a new session); -1 when there is none.
    int FindRow(const TObjectList* sessions) const;

private:
    QPushButton* m_button;
    std::optional<Copy> m_copy;
    bool m_searching = false;
};
