#pragma once

#include <QString>
#include <QStringList>

#include <vector>

// What the check of a copy's files and folders found (SourceWalk::Check): how many there are
// and their bytes, and what stops or limits the copy. No entry is kept: the copy walks them
// again, in the same order, as it sends them.
//
// Folders and files of 2 GiB or more need the extended protocol; whether the server offers
// it is known only once joined, so they are listed apart (needExtension).
struct SourceFiles {
    struct Problem {
        QString file;   // as given, or as found inside a folder given
        QString reason; // "no such file", "permission denied", ...
    };

    int fileCount = 0;
    int folderCount = 0;
    qint64 totalBytes = 0;
    QString firstFile; // the first file's full path
    std::vector<Problem> problems;
    // Folders and files of 2 GiB or more, with why a server without the extension cannot
    // take them.
    std::vector<Problem> needExtension;
    QStringList skipped; // lines for what inside a folder is not sent
};

// Checks the files and folders given (SourceWalk::Check).
SourceFiles CheckSourceFiles(const QStringList& files);
