#include "app/ferrowardenapplication.h"
#include "app/tmainwindow.h"

#include "cli/cliarguments.h"
#include "cli/clisession.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

void printUsage(std::FILE* to)
{
    std::fprintf(to, "Ferrowarden %s - copies files between PCs on a local network\n\n%s",
                 FERROWARDEN_VERSION, CliUsage().toUtf8().constData());
}

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}

int runDesktop(int argc, char* argv[])
{
    FerrowardenApplication app(argc, argv);
    TMainWindow window;
    // Ctrl-C, SIGTERM and SIGHUP close the window as its close box does: the log is closed
    // and the session left properly.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) == 0) {
        auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &window);
        QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window] {
            char byte;
            [[maybe_unused]] const auto read = ::read(signalPipe[0], &byte, 1);
            window.close();
        });
        struct sigaction action {};
        action.sa_handler = onSignal;
        for (int signal : {SIGINT, SIGTERM, SIGHUP})
            ::sigaction(signal, &action, nullptr);
    }
    window.show();
    return app.exec();
}

} // namespace

int main(int argc, char* argv[])
{
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
    case CliArguments::Command::Desktop:
        return runDesktop(argc, argv);
    case CliArguments::Command::Help:
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
