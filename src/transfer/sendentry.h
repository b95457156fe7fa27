#pragma once

#include <QByteArray>
#include <QString>

// One entry of a copy: a file, or (with the extension) a folder, under the relative path
// the server stores it at.
struct SendEntry {
    QString path;      // where it is on this PC: a file's full path; unused for a folder
    QByteArray name;   // the relative path it travels under, parts separated by "/"
    bool folder = false;
};

// An entry the server did not store, and why, in words.
struct EntryProblem {
    QString name;   // the entry's relative path, as shown
    QString reason;
};
