// The browsing widgets with one big folder: how long until the list is painted with entries,
// how long until it holds them all, and the longest time the event loop did not answer while
// it filled. The folder (100,000 empty files by default, and one folder holding it for the
// tree) is made once under /tmp; the widgets run in this process on the offscreen platform
// unless QT_QPA_PLATFORM says otherwise.
//
//   build/bench/biglist [--files N] [--runs R] [--only box|view|tree]
//
// The stall is measured with a timer due every 2 ms: the longest gap between two of its ticks,
// from the moment the folder is asked for until the list is complete.
#include "widgets/filelistbox.h"
#include "widgets/tdirtree.h"
#include "widgets/tlsfilelistview.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEvent>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <sys/resource.h>
#include <vector>

namespace {

struct Run {
    double paintedMs = -1;  // first paint with entries in the list
    double completeMs = -1; // every entry in the list
    double stallMs = 0;     // longest gap between two ticks of the 2 ms timer
    int entries = 0;
    double cpuMs = 0; // of the whole process (all threads), user and system
};

double ProcessCpuMs()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3
           + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// Notes the first paint of a widget's viewport once its list holds entries.
class PaintWatch : public QObject {
public:
    PaintWatch(QWidget* viewport, std::function<int()> count, const QElapsedTimer& clock, Run& run)
        : m_count(std::move(count)), m_clock(clock), m_run(run)
    {
        viewport->installEventFilter(this);
    }
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && m_run.paintedMs < 0 && m_count() > 0)
            m_run.paintedMs = m_clock.nsecsElapsed() / 1e6;
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<int()> m_count;
    const QElapsedTimer& m_clock;
    Run& m_run;
};

// Opens the folder with `open`, then runs the event loop until `count` reaches `expected` (or
// a minute passes), timing the ticks of a 2 ms timer meanwhile.
Run Measure(QWidget* widget, QWidget* viewport, const std::function<void()>& open, const std::function<int()>& count,
            int expected)
{
    Run run;
    QElapsedTimer clock;
    PaintWatch watch(viewport, count, clock, run);
    widget->resize(600, 400);
    widget->show();
    QApplication::processEvents();

    qint64 lastTick = 0;
    QTimer ticker;
    ticker.setInterval(2);
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        run.stallMs = std::max(run.stallMs, (now - lastTick) / 1e6);
        lastTick = now;
    });
    const double cpuStart = ProcessCpuMs();
    clock.start();
    ticker.start();
    // The request itself runs from the event loop, as a click would, so that its own time
    // counts as a stall.
    QTimer::singleShot(0, widget, open);
    while (clock.elapsed() < 60000) {
        QApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (count() >= expected && run.completeMs < 0)
            run.completeMs = clock.nsecsElapsed() / 1e6;
        if (run.completeMs >= 0 && run.paintedMs >= 0)
            break;
    }
    // the gap up to the end counts too
    run.stallMs = std::max(run.stallMs, (clock.nsecsElapsed() - lastTick) / 1e6);
    run.entries = count();
    run.cpuMs = ProcessCpuMs() - cpuStart;
    widget->hide();
    return run;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void Report(const char* name, const std::vector<Run>& runs, int expected)
{
    std::vector<double> painted, complete, stall, cpu;
    int entries = expected;
    for (const Run& run : runs) {
        painted.push_back(run.paintedMs);
        complete.push_back(run.completeMs);
        stall.push_back(run.stallMs);
        cpu.push_back(run.cpuMs);
        entries = std::min(entries, run.entries);
    }
    auto spread = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return QStringLiteral("%1-%2").arg(v.front(), 0, 'f', 0).arg(v.back(), 0, 'f', 0).toStdString();
    };
    std::printf("| %-16s | %9.0f (%s) | %9.0f (%s) | %9.0f (%s) | %9.0f | %8d |\n", name, Median(painted),
                spread(painted).c_str(), Median(complete), spread(complete).c_str(), Median(stall),
                spread(stall).c_str(), Median(cpu), entries);
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    int files = 100000, runs = 3;
    QString only;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--files"))
            files = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--runs"))
            runs = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--only"))
            only = args[i + 1];
    }

    // /tmp/fw-biglist-N/big holds the files; the tree is opened on /tmp/fw-biglist-N, whose
    // one child folder is scanned for subfolders as the tree lists it.
    const QString root = QStringLiteral("/tmp/fw-biglist-%1").arg(files);
    const QString big = root + QStringLiteral("/big");
    if (QDir(big).entryList(QDir::Files).size() != files) {
        QDir().mkpath(big);
        const char* suffixes[] = {".txt", ".jpg", ".dat", ".pdf", ""};
        for (int i = 0; i < files; ++i) {
            QFile file(
                big + QStringLiteral("/file%1%2").arg(i, 6, 10, QLatin1Char('0')).arg(QLatin1String(suffixes[i % 5])));
            file.open(QIODevice::WriteOnly);
        }
    }
    std::printf("%d files in %s\n", files, qPrintable(big));
    QFile load(QStringLiteral("/proc/loadavg"));
    if (load.open(QIODevice::ReadOnly))
        std::printf("load average: %s", load.readAll().constData());
    std::printf("| %-16s | %-20s | %-20s | %-20s | %9s | %8s |\n", "widget", "painted ms (spread)",
                "complete ms (spread)", "stall ms (spread)", "CPU ms", "entries");

    if (only.isEmpty() || only == QLatin1String("box")) {
        std::vector<Run> results;
        for (int r = 0; r < runs; ++r) {
            FileListBox box;
            results.push_back(Measure(
                &box, box.viewport(), [&] { box.SetDirectory(big); }, [&] { return box.count(); }, files));
        }
        Report("FileListBox", results, files);
    }
    if (only.isEmpty() || only == QLatin1String("view")) {
        std::vector<Run> results;
        for (int r = 0; r < runs; ++r) {
            TLsFileListView view;
            results.push_back(Measure(
                &view, view.viewport(), [&] { view.SetDirectory(big); }, [&] { return view.topLevelItemCount(); },
                files));
        }
        Report("TLsFileListView", results, files);
    }
    if (only.isEmpty() || only == QLatin1String("tree")) {
        std::vector<Run> results;
        for (int r = 0; r < runs; ++r) {
            TDirTree tree;
            tree.SetReadOnStart(false);
            // Selecting the parent lists it, which looks into the big folder for subfolders;
            // expanding the big folder then lists it.
            results.push_back(Measure(
                &tree, tree.viewport(),
                [&] {
                    tree.SelectPath(root);
                    if (QTreeWidgetItem* node = tree.currentItem())
                        node->setExpanded(true);
                },
                [&] {
                    const QTreeWidgetItem* node = tree.currentItem();
                    return node && tree.SelectedPath() == root + QLatin1Char('/') && node->isExpanded() ? 1 : 0;
                },
                1));
        }
        Report("TDirTree", results, 1);
    }
    return 0;
}
