#pragma once

#include <QString>
#include <QStringList>

#include <vector>

// The files of a copy, checked before anything is sent: each must be readable and a regular
// file, under the 2 GiB that a file header can announce, with a bare name that a server
// accepts, and no two may share a bare name (the server would keep only the last). One bad
// file stops the copy before it starts, so a server never holds half a set.
struct SourceFiles {
    struct Problem {
        QString file;   // as given
        QString reason; // "no such file", "permission denied", ...
    };

    QStringList paths; // absolute, in order; empty when there are problems
    qint64 totalBytes = 0;
    std::vector<Problem> problems;
};

SourceFiles CheckSourceFiles(const QStringList& files);

// Bytes a file header can announce: its size field is a signed 32-bit number.
inline constexpr qint64 kLargestSendableFile = 0x7FFFFFFF;
