#pragma once

#include <QString>

// Makes path the process's current directory and returns the name the system reports for it
// (absolute, symbolic links resolved, no trailing "/" except for "/"). The file lists do this
// when they are pointed at a folder, since bare file names elsewhere resolve against it.
// Throws AppError when the directory cannot be entered; the current directory stays as it was.
QString EnterDirectory(const QString& path);
