#pragma once

#include "secure/acceptpolicy.h"
#include "secure/pairingcode.h"
#include "transfer/existingfiles.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

// What the command line asked for. The desktop program starts when no command is given,
// with the files and folders given instead of one chosen for sending.
struct CliArguments {
    enum class Command { Desktop, Serve, List, Send, Devices, Help, Version };

    Command command = Command::Desktop;
    QString helpTopic;                                 // help: "serve", "list", "send", "devices", or empty
    QString directory;                                 // serve: the receive directory as given
    QString label;                                     // serve --label, send --session
    bool once = false;                                 // serve --once
    bool makeDirectory = false;                        // serve --mkdir
    ExistingFiles existing = ExistingFiles::Overwrite; // serve --existing
    bool noResume = false;                             // serve --no-resume
    std::optional<int> retrySeconds;                   // send --retry, 0 .. 86400
    AcceptPolicy accept = AcceptPolicy::Open;          // serve --accept
    std::optional<PairingCode> code;                   // send --code
    QString forget;                                    // devices forget NAME
    QString host;                                      // list/send --host: the host's name or address
    std::optional<quint16> hostPort;                   // list/send --host HOST:PORT
    int waitSeconds = 0;                               // list/send --wait
    std::optional<qint16> blockSize;                   // send --block-size, 1 to 2048
    std::optional<bool> encrypt;                       // send --encrypt / --no-encrypt
    QStringList files;                                 // send, desktop: the files and folders, in order
    QStringList passThrough;                           // desktop: arguments left for the window system
};

// A command line that cannot run; `command` names the command whose usage fits, if any.
struct UsageError {
    QString message;
    QString command;
};

// Parses the arguments after the program name.
std::variant<CliArguments, UsageError> ParseCliArguments(const QStringList& arguments);

// The host and port of `--host HOST[:PORT]`.
struct HostArgument {
    QString name;
    std::optional<quint16> port;
};
// "HOST" or "HOST:PORT": a name or an IPv4 address, and a port from 1 to 65535.
std::variant<HostArgument, UsageError> ParseHostArgument(const QString& text);
