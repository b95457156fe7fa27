#pragma once

#include <QByteArray>
#include <QString>

// One entry of a copy: a file, or (with the extension) a folder, under the relative path
// the server stores it at.
struct SendEntry {
    QString path;    // where it is on this PC: a file's or folder's full path (a folder
                     // without one travels without its time and mode)
    QByteArray name; // the relative path it travels under, parts separated by "/"
    bool folder = false;
    qint64 size = -1; // a file's size when it was checked, for the copy's total; -1: unknown
    // The same entry: where it is, and how it travels.
    bool operator==(const SendEntry& other) const
    {
        return path == other.path && name == other.name && folder == other.folder;
    }
};

// An entry the server did not store, and why, in words.
struct EntryProblem {
    QString name; // the entry's relative path, as shown
    QString reason;
};
