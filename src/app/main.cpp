#include "widgetdemo.h"

#include "cli/cliarguments.h"
#include "cli/clisession.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstring>

namespace {

void printUsage(std::FILE* to)
{
    std::fprintf(to, "Ferrowarden %s - copies files between PCs on a local network\n\n%s",
                 FERROWARDEN_VERSION, CliUsage().toUtf8().constData());
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc > 1 && std::strcmp(argv[1], "--widget-demo") == 0)
        return RunWidgetDemo(argc, argv);

    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const auto parsed = ParseCliArguments(arguments);
    if (const auto* error = std::get_if<UsageError>(&parsed)) {
        std::fprintf(stderr, "ferrowarden: %s\n\n", error->message.toUtf8().constData());
        printUsage(stderr);
        return 2;
    }
    const CliArguments& cli = std::get<CliArguments>(parsed);
    switch (cli.command) {
    case CliArguments::Command::Help:
    case CliArguments::Command::Desktop: // the main window comes with the application shell
        printUsage(stdout);
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
    CliSession session(cli);
    return session.Run();
}
