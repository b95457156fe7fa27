#pragma once

#include <QStringList>

#include <optional>

// The program's command line: parses the arguments and runs the command they name (help,
// version, serve, list, send), with its own QCoreApplication. Returns the exit code, or
// nullopt when no command is given and the desktop program should start; `desktopFiles`
// then gets the files and folders given for it to choose, as absolute paths.
std::optional<int> RunCommandLine(int argc, char* argv[], QStringList* desktopFiles = nullptr);
