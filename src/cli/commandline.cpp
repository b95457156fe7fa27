#include "cli/commandline.h"

#include "cli/cliarguments.h"
#include "cli/clidevices.h"
#include "cli/clihelp.h"
#include "cli/clisession.h"
#include "ferrowardenversion.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <cstdio>

namespace {

void printUsage(std::FILE* to)
{
    std::fprintf(to, "Ferrowarden %s - copies files between PCs on a local network\n\n%s", FERROWARDEN_VERSION,
                 CliUsage().toUtf8().constData());
}

} // namespace

std::optional<int> RunCommandLine(int argc, char* argv[], QStringList* desktopFiles)
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const auto parsed = ParseCliArguments(arguments);
    if (const auto* error = std::get_if<UsageError>(&parsed)) {
        std::fprintf(stderr, "ferrowarden: %s\n\n", error->message.toUtf8().constData());
        if (error->command.isEmpty()) {
            printUsage(stderr);
        } else {
            std::fprintf(stderr, "%sTry 'ferrowarden %s --help' for its options.\n",
                         CommandUsage(error->command).toUtf8().constData(), error->command.toUtf8().constData());
        }
        return 2;
    }
    const CliArguments& cli = std::get<CliArguments>(parsed);
    switch (cli.command) {
    case CliArguments::Command::Desktop:
        // Absolute now: the window moves the current directory with its folder tree.
        if (desktopFiles)
            for (const QString& file : cli.files)
                *desktopFiles << QFileInfo(file).absoluteFilePath();
        return std::nullopt;
    case CliArguments::Command::Help:
        if (cli.helpTopic.isEmpty())
            printUsage(stdout);
        else
            std::fputs(CommandHelp(cli.helpTopic).toUtf8().constData(), stdout);
        return 0;
    case CliArguments::Command::Version:
        std::printf("ferrowarden %s\n", FERROWARDEN_VERSION);
        return 0;
    default:
        break;
    }

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Ferrowarden"));
    QCoreApplication::setApplicationVersion(QStringLiteral(FERROWARDEN_VERSION));
    if (cli.command == CliArguments::Command::Devices)
        return RunDevices(cli.forget);
    CliSession session(cli);
    return session.Run();
}
