#pragma once

#include <QString>

class QFileInfo;

// The four attribute marks the browsing widgets show, read from a Linux file:
//   hidden    - the name starts with "."
//   read-only - the write permission that applies to this user (owner, group or other bits)
//               is missing; judged by the mode bits, so it shows even to root
//   archive   - a regular file (the mark every written file carries)
//   system    - neither a regular file nor a directory: devices, sockets, pipes
struct FileAttributes {
    bool archive = false;
    bool readOnly = false;
    bool hidden = false;
    bool system = false;
};

FileAttributes ReadFileAttributes(const QFileInfo& info);

// "A", "R", "H", "S" for the marks that are set, in that order.
QString AttributeLetters(const FileAttributes& attributes);
