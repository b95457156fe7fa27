#pragma once

#include <QString>

// The on-screen message list that mirrors the session log: the main window's DebugMsgList,
// the command line's stdout, a recorder in tests.
class MessageListView {
public:
    virtual ~MessageListView() = default;

    // Adds `text` as the new last line, selects it and shows it at once.
    virtual void AddLine(const QString& text) = 0;
    // Joins `text` to the last line; does nothing while the list is empty.
    virtual void AppendToLastLine(const QString& text) = 0;
};
