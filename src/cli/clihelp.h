#pragma once

#include <QString>

// The texts of --help: the program's usage, and each command's own help and usage.

// Every command in a few lines; printed for --help and after a usage error without a command.
QString CliUsage();
// The help of "serve", "list" or "send" (the usage for any other topic): what it does, its
// options, where its files go, its exit codes.
QString CommandHelp(const QString& command);
// The synopsis of one command, printed after a usage error of that command.
QString CommandUsage(const QString& command);
