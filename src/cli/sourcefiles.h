#pragma once

#include "transfer/sendingengine.h"

#include <QString>
#include <QStringList>

#include <vector>

// The files and folders of a copy, checked before anything is sent. Each file must be
// readable and a regular file, with a name that a server accepts; no two may travel under
// one name (the server would keep only the last). A folder is walked: everything below it
// travels under paths that start with the folder's own name, empty folders included; links
// and special files inside it are skipped with a line, never followed. One bad file stops
// the copy before it starts, so a server never holds half a set.
//
// Folders and files of 2 GiB or more need the extended protocol; whether the server offers
// it is known only once joined, so they are listed apart (NeedExtension).
struct SourceFiles {
    struct Problem {
        QString file;   // as given, or as found inside a folder given
        QString reason; // "no such file", "permission denied", ...
    };

    QStringList paths;        // the files, absolute, in order; empty when there are problems
    QList<SendEntry> entries; // files and folders in sending order, folders before what they hold
    int folderCount = 0;
    qint64 totalBytes = 0;
    std::vector<Problem> problems;
    // Folders and files of 2 GiB or more, with why a server without the extension cannot
    // take them.
    std::vector<Problem> needExtension;
    QStringList skipped; // lines for what inside a folder is not sent
};

SourceFiles CheckSourceFiles(const QStringList& files);
