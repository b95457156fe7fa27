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
    bool operator==(const SendEntry&) const = default;
};

// An entry the server did not store, and why, in words.
struct EntryProblem {
    QString name; // the entry's relative path, as shown
    QString reason;
};
