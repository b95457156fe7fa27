#include "app/ferrowardenapplication.h"
#include "app/tmainwindow.h"

#include "cli/commandline.h"
#include "platform/signalwatch.h"

namespace {

int runDesktop(int argc, char* argv[], const QStringList& files)
{
    FerrowardenApplication app(argc, argv);
    TMainWindow window;
    if (!files.isEmpty())
        FerrowardenApplication::Guarded([&] { window.ChooseFiles(files); })();
    // Ctrl-C, SIGTERM and SIGHUP close the window as its close box does: the log is closed
    // and the session left properly; a copy under way stops without a question.
    const SignalWatch watch;
    QObject::connect(&watch, &SignalWatch::Raised, &window, [&window] { window.CloseWithoutAsking(); });
    window.show();
    return app.exec();
}

} // namespace

int main(int argc, char* argv[])
{
    QStringList files;
    if (const auto code = RunCommandLine(argc, argv, &files))
        return *code;
    return runDesktop(argc, argv, files);
}
