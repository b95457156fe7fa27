// Whole copies driven by the main window, against the command line on both sides, in one
// run: `ferrowarden send` into `ferrowarden serve` (the baseline), the window (in this
// process, offscreen) sending into `ferrowarden serve`, and `ferrowarden send` into the
// window hosting a session. Rounds take the three in turn; every run starts after a sync.
//
//   build/bench/windowcopy [--runs N] [--size-mib M] [--only cli|send|receive|close]
//
// Each figure runs from the start of the sending side (its session search included) until
// the receiving side has put the file in place. Then, in rounds of their own, the window's
// sends are asked to close midway (a close request posted from another thread, as the
// window system's would arrive): the time until "Stop the copy?" shows, answered with
// Continue so the copy goes on.
#include "app/tmainwindow.h"
#include "widgets/filelistbox.h"
#include "widgets/tdirtree.h"

#include <QApplication>
#include <QCloseEvent>
#include <QMessageBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QListWidget>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>
#include <QThread>
#include <QTreeWidget>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

QString binary;
QString root;

// Runs the event loop until `done` holds, checking every few milliseconds (never spinning:
// the receiving window shares these two cores with the sender).
bool waitUntil(const std::function<bool()>& done, int milliseconds)
{
    if (done())
        return true;
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        if (done() || clock.elapsed() > milliseconds)
            loop.quit();
    });
    tick.start(5);
    loop.exec();
    return done();
}

void startProcess(QProcess& process, const QStringList& arguments)
{
    process.setWorkingDirectory(root + "/work");
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(binary, arguments);
    process.waitForStarted(5000);
}

void freshInbox()
{
    QDir(root + "/in").removeRecursively();
    QDir().mkpath(root + "/in");
    ::sync();
}

bool arrivedWhole(qint64 size)
{
    return QFileInfo(root + "/in/source.bin").size() == size;
}

int listLinesContaining(const QListWidget* list, const QString& text)
{
    int count = 0;
    for (int i = 0; i < list->count(); ++i)
        count += list->item(i)->text() == text;
    return count;
}

// `ferrowarden send` into `ferrowarden serve --once`.
double commandLineToCommandLine()
{
    freshInbox();
    QProcess server;
    startProcess(server, {"serve", root + "/in", "--label", "Bench", "--once"});
    QThread::msleep(300); // hosting takes a moment
    QElapsedTimer clock;
    clock.start();
    QProcess sender;
    startProcess(sender, {"send", "--host", "127.0.0.1", root + "/out/source.bin"});
    sender.waitForFinished(-1);
    server.waitForFinished(-1);
    return clock.nsecsElapsed() / 1e9;
}

// The window sends into `ferrowarden serve --once`.
double windowToCommandLine(TMainWindow& window)
{
    freshInbox();
    QProcess server;
    startProcess(server, {"serve", root + "/in", "--label", "Bench", "--once"});
    QThread::msleep(300);
    window.Roles().InitNetworking("127.0.0.1");
    QElapsedTimer clock;
    clock.start();
    waitUntil(
        [&] {
            window.SearchSessions();
            waitUntil([&] { return window.SearchDone(); }, 5000);
            return window.ServerList->topLevelItemCount() > 0;
        },
        10000);
    window.ServerList->topLevelItem(0)->setSelected(true);
    window.FileListBox1->item(0)->setSelected(true);
    window.Button1Click();
    window.ClosePanelBtnClick(); // leaves the session: serve --once ends after the last file
    server.waitForFinished(-1);
    return clock.nsecsElapsed() / 1e9;
}

// `ferrowarden send` into the window hosting a session.
double commandLineToWindow(TMainWindow& window, qint64 size)
{
    freshInbox();
    window.DirTree1->SelectPath(root + "/in");
    window.Button3Click();
    QElapsedTimer clock;
    clock.start();
    QProcess sender;
    startProcess(sender, {"send", "--host", "127.0.0.1", root + "/out/source.bin"});
    waitUntil(
        [&] { return listLinesContaining(window.DebugMsgList, "Transmission Complete!") > 0 && arrivedWhole(size); },
        600000);
    const double seconds = clock.nsecsElapsed() / 1e9;
    waitUntil([&] { return sender.state() == QProcess::NotRunning; }, 60000);
    window.ClosePanelBtnClick();
    window.DirTree1->SelectPath(root + "/out");
    return seconds;
}

// The window sends as above while a close request arrives midway; returns the milliseconds
// until the question shows.
double closeLatency(TMainWindow& window, int afterMilliseconds)
{
    std::atomic<qint64> posted{0};
    double latency = -1;
    QElapsedTimer clock;
    clock.start();
    struct Watch : QObject {
        std::function<void(QObject*)> shown;
        std::function<void()> closing;
        bool eventFilter(QObject* watched, QEvent* event) override
        {
            if (event->type() == QEvent::Show && qobject_cast<QMessageBox*>(watched))
                shown(watched);
            if (event->type() == QEvent::Close && qobject_cast<TMainWindow*>(watched))
                closing();
            return false;
        }
    } watch;
    double taken = -1;
    watch.closing = [&] {
        if (taken < 0 && posted > 0)
            taken = (clock.nsecsElapsed() - posted) / 1e6;
    };
    watch.shown = [&](QObject* box) {
        if (latency < 0 && posted > 0)
            latency = (clock.nsecsElapsed() - posted) / 1e6;
        QTimer::singleShot(0, box, [box] { static_cast<QMessageBox*>(box)->reject(); }); // Continue
    };
    qApp->installEventFilter(&watch);
    std::thread poster([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(afterMilliseconds));
        posted = clock.nsecsElapsed();
        QCoreApplication::postEvent(&window, new QCloseEvent);
    });
    windowToCommandLine(window);
    poster.join();
    qApp->removeEventFilter(&watch);
    std::fprintf(stderr, "close request taken after %.1f ms, ", taken);
    return latency;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

} // namespace

int main(int argc, char* argv[])
{
    int runs = 3;
    qint64 sizeMib = 1024;
    QByteArray only;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (QByteArray(argv[i]) == "--only")
            only = argv[i + 1];
        else if (QByteArray(argv[i]) == "--runs")
            runs = std::max(1, atoi(argv[i + 1]));
        else if (QByteArray(argv[i]) == "--size-mib")
            sizeMib = std::max(1, atoi(argv[i + 1]));
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir dir(QDir::tempPath() + "/windowcopy-XXXXXX");
    root = dir.path();
    for (const char* sub : {"work", "in", "out", "cfg"})
        QDir().mkpath(root + "/" + sub);
    qputenv("XDG_CONFIG_HOME", (root + "/cfg").toLocal8Bit());
    qputenv("FERROWARDEN_DISCOVERY_PORT", QByteArray::number(24000 + ::getpid() % 5000));
    QDir::setCurrent(root + "/work");

    QApplication app(argc, argv);
    binary = QCoreApplication::applicationDirPath() + "/../ferrowarden";

    const qint64 size = sizeMib << 20;
    {
        QFile source(root + "/out/source.bin");
        source.open(QIODevice::WriteOnly);
        std::vector<quint32> block(1 << 18);
        for (qint64 written = 0; written < size; written += qint64(block.size()) * 4) {
            QRandomGenerator::global()->fillRange(block.data(), block.size());
            source.write(reinterpret_cast<const char*>(block.data()),
                         std::min<qint64>(qint64(block.size()) * 4, size - written));
        }
    }

    TMainWindow window;
    window.AppSettings().CreateLog = false; // the benchmark measures copies, not the log
    window.DirTree1->SelectPath(root + "/out");

    // `--only receive` (or send, cli) measures one kind alone, e.g. under a profiler. Rounds
    // start with a different kind each time, so that no kind always follows the same one.
    std::vector<double> cli, windowSends, windowReceives;
    const QByteArray kinds[] = {"cli", "send", "receive"};
    for (int run = 0; run < runs; ++run) {
        for (int turn = 0; turn < 3; ++turn) {
            const QByteArray& kind = kinds[(run + turn) % 3];
            if (!only.isEmpty() && only != kind)
                continue;
            double seconds = 0;
            if (kind == "cli")
                cli.push_back(seconds = commandLineToCommandLine());
            else if (kind == "send")
                windowSends.push_back(seconds = windowToCommandLine(window));
            else
                windowReceives.push_back(seconds = commandLineToWindow(window, size));
            if (!arrivedWhole(size))
                std::fprintf(stderr, "%s: the copy did not arrive whole\n", kind.constData());
            std::fprintf(stderr, "round %d, %s: %.2f s\n", run + 1, kind.constData(), seconds);
        }
    }
    std::vector<double> latencies;
    if (only.isEmpty() || only == "close") {
        // Midway through the copy: the window's median send time, less its search.
        const int after = windowSends.empty() ? 500 : int(median(windowSends) * 1000 / 2);
        for (int run = 0; run < runs; ++run) {
            latencies.push_back(closeLatency(window, after));
            std::fprintf(stderr, "round %d, close: question after %.1f ms\n", run + 1, latencies.back());
        }
    }
    if (!only.isEmpty())
        return 0;

    const double mb = size / 1e6;
    const double base = mb / median(cli);
    std::printf("%lld MiB, %d runs, medians (min-max) in MB/s\n", sizeMib, runs);
    std::printf("| copy | MB/s | min-max | x command line |\n|---|---|---|---|\n");
    const auto row = [&](const char* name, const std::vector<double>& seconds) {
        const double rate = mb / median(seconds);
        const double slow = mb / *std::max_element(seconds.begin(), seconds.end());
        const double fast = mb / *std::min_element(seconds.begin(), seconds.end());
        std::printf("| %s | %.0f | %.0f-%.0f | %.2f |\n", name, rate, slow, fast, rate / base);
    };
    row("send -> serve", cli);
    row("window -> serve", windowSends);
    row("send -> window", windowReceives);
    std::printf("close request during a window send: question after %.1f ms median, %.1f ms at most\n",
                median(latencies), *std::max_element(latencies.begin(), latencies.end()));
    return 0;
}
