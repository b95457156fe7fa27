#include "cli/consoleoutput.h"

#include "cli/consoletext.h"

#include <sys/ioctl.h>
#include <unistd.h>

ConsoleOutput::ConsoleOutput(std::FILE* out, std::FILE* err)
    : m_out(out), m_err(err), m_progressEnabled(::isatty(::fileno(err)) != 0)
{
    m_clock.start();
    m_sinceFlush.start();
    m_flushTimer.setSingleShot(true);
    m_flushTimer.setInterval(int(kFlushInterval));
    connect(&m_flushTimer, &QTimer::timeout, this, &ConsoleOutput::Flush);
}

void ConsoleOutput::Flush()
{
    m_flushTimer.stop();
    std::fflush(m_out);
    m_sinceFlush.restart();
}

void ConsoleOutput::flushSoon()
{
    if (m_sinceFlush.elapsed() >= kFlushInterval)
        Flush();
    else if (!m_flushTimer.isActive())
        m_flushTimer.start();
}

ConsoleOutput::~ConsoleOutput()
{
    Finish();
}

void ConsoleOutput::AddLine(const QString& text)
{
    clearProgress();
    if (m_lineOpen)
        std::fputc('\n', m_out);
    std::fputs(text.toUtf8().constData(), m_out);
    m_lineOpen = true;
    flushSoon();
}

void ConsoleOutput::AppendToLastLine(const QString& text)
{
    if (!m_lineOpen)
        return;
    std::fputs(text.toUtf8().constData(), m_out);
    flushSoon();
}

void ConsoleOutput::EndLine()
{
    if (!m_lineOpen)
        return;
    std::fputc('\n', m_out);
    m_lineOpen = false;
    flushSoon();
}

int ConsoleOutput::progressWidth() const
{
    winsize size{};
    if (::ioctl(::fileno(m_err), TIOCGWINSZ, &size) != 0 || size.ws_col == 0)
        return 79;
    return size.ws_col - 1;
}

void ConsoleOutput::ShowProgress(const TransferProgress& progress)
{
    if (!m_progressEnabled) {
        // Runs while a copy keeps the event loop from the flush timer.
        if (m_flushTimer.isActive())
            flushSoon();
        return;
    }
    if (m_startedFile < 0 || progress.totalBytes == 0) {
        m_clock.restart();
        m_startedFile = progress.fileNumber;
    }
    const qint64 now = m_clock.elapsed();
    if (m_lastDraw >= 0 && now - m_lastDraw < 100 && progress.totalBytes < progress.totalSize)
        return;
    m_lastDraw = now;
    if (m_lineOpen) {
        // The progress line must not overwrite a log line that is still open.
        std::fputc('\n', m_out);
        m_lineOpen = false;
    }
    Flush();
    const QString line = ProgressLine(progress, now / 1000.0, m_progressLabel, progressWidth());
    std::fprintf(m_err, "\r%s\x1b[K", line.toUtf8().constData());
    std::fflush(m_err);
    m_progressShown = true;
}

void ConsoleOutput::clearProgress()
{
    if (!m_progressShown)
        return;
    std::fputs("\r\x1b[K", m_err);
    std::fflush(m_err);
    m_progressShown = false;
}

void ConsoleOutput::Finish()
{
    clearProgress();
    if (m_lineOpen) {
        std::fputc('\n', m_out);
        m_lineOpen = false;
    }
    Flush();
}

void ConsoleOutput::PrintError(const QString& text)
{
    Finish();
    std::fprintf(m_err, "ferrowarden: %s\n", text.toUtf8().constData());
    std::fflush(m_err);
}

void ConsoleOutput::PrintDetail(const QString& text)
{
    Finish();
    std::fprintf(m_err, "  %s\n", text.toUtf8().constData());
    std::fflush(m_err);
}

void ConsoleOutput::PrintSummary(const QString& text)
{
    Finish();
    std::fprintf(m_out, "%s\n", text.toUtf8().constData());
    Flush();
    // The next copy's progress line measures from its own start.
    m_startedFile = -1;
    m_lastDraw = -1;
}
