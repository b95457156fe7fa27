#pragma once

#include "settings/messagelistview.h"
#include "transfer/transferview.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <QString>

#include <cstdio>

// The command line's screen: log lines on stdout as they happen (a continued line stays one
// line), and, when stderr is a terminal, one progress line there: file n of N, bytes,
// speed and time left, fitted to the terminal's width so that it never wraps. Lines reach
// stdout within a few hundredths of a second rather than with a system call each, which
// matters when thousands of small files arrive.
class ConsoleOutput final : public QObject, public MessageListView {
public:
    explicit ConsoleOutput(std::FILE* out = stdout, std::FILE* err = stderr);
    ~ConsoleOutput() override;

    void AddLine(const QString& text) override;
    void AppendToLastLine(const QString& text) override;
    // Ends the open line: a program that waits leaves its last line whole.
    void EndLine();

    // Shown in front of the progress line's figures (the sender's address on a server).
    void SetProgressLabel(const QString& label) { m_progressLabel = label; }
    // Redrawn at most ten times a second.
    void ShowProgress(const TransferProgress& progress);
    // A lasting line on stdout in place of the progress line.
    void PrintSummary(const QString& text);
    // Ends the open line and removes the progress line.
    void Finish();
    // "ferrowarden: TEXT" on stderr.
    void PrintError(const QString& text);
    // "  TEXT" on stderr: a detail of the error before it.
    void PrintDetail(const QString& text);

    // Puts what is buffered on stdout now.
    void Flush();

private:
    void clearProgress();
    // Flushes when the last flush is older than kFlushInterval; otherwise leaves it to
    // the timer, which fires once the event loop runs again.
    void flushSoon();
    // Columns the progress line may take: one less than the terminal's width, since a
    // line that fills the last column wraps on some terminals.
    int progressWidth() const;

    static constexpr qint64 kFlushInterval = 30; // ms

    std::FILE* m_out;
    std::FILE* m_err;
    bool m_progressEnabled;
    bool m_progressShown = false;
    bool m_lineOpen = false;
    QString m_progressLabel;
    QElapsedTimer m_clock;
    qint64 m_lastDraw = -1;
    int m_startedFile = -1;
    QElapsedTimer m_sinceFlush;
    QTimer m_flushTimer;
};
