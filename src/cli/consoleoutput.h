#pragma once

#include "settings/messagelistview.h"
#include "transfer/transferview.h"

#include <QElapsedTimer>
#include <QString>

#include <cstdio>

// The command line's screen: log lines on stdout as they happen (a continued line stays one
// line), and, when stderr is a terminal, one progress line there: file n of N, bytes,
// speed and time left.
class ConsoleOutput final : public MessageListView {
public:
    explicit ConsoleOutput(std::FILE* out = stdout, std::FILE* err = stderr);
    ~ConsoleOutput() override;

    void AddLine(const QString& text) override;
    void AppendToLastLine(const QString& text) override;

    // Redrawn at most ten times a second.
    void ShowProgress(const TransferProgress& progress);
    // Ends the open line and removes the progress line.
    void Finish();
    void PrintError(const QString& text);

    static QString ProgressText(const TransferProgress& progress, double seconds);

private:
    void clearProgress();

    std::FILE* m_out;
    std::FILE* m_err;
    bool m_progressEnabled;
    bool m_progressShown = false;
    bool m_lineOpen = false;
    QElapsedTimer m_clock;
    qint64 m_lastDraw = -1;
    int m_startedFile = -1;
};
