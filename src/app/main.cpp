#include "app/ferrowardenapplication.h"
#include "app/tmainwindow.h"

#include "cli/commandline.h"

#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

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
    if (const auto code = RunCommandLine(argc, argv))
        return *code;
    return runDesktop(argc, argv);
}
