#pragma once

#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

// What the command line asked for. The desktop program starts when no command is given.
struct CliArguments {
    enum class Command { Desktop, Serve, List, Send, Help, Version };

    Command command = Command::Desktop;
    QString directory;                  // serve: the receive directory as given
    QString label;                      // serve --label, send --session
    bool once = false;                  // serve --once
    QString host;                       // list/send --host HOST[:PORT]
    std::optional<qint16> blockSize;    // send --block-size, 1 to 2048
    std::optional<bool> encrypt;        // send --encrypt / --no-encrypt
    QStringList files;                  // send: the files, in order
    QStringList passThrough;            // desktop: arguments left for the window system
};

struct UsageError {
    QString message;
};

// Parses the arguments after the program name.
std::variant<CliArguments, UsageError> ParseCliArguments(const QStringList& arguments);

// The usage text printed for --help and after a usage error.
QString CliUsage();
