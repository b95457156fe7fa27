#include "cli/consoleoutput.h"

#include <unistd.h>

namespace {

QString bytesText(qint64 bytes)
{
    if (bytes < 0)
        return QStringLiteral("?");
    if (bytes < 1024 * 1024)
        return QStringLiteral("%1 KiB").arg(bytes / 1024.0, 0, 'f', 1);
    return QStringLiteral("%1 MiB").arg(bytes / (1024.0 * 1024.0), 0, 'f', 1);
}

} // namespace

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

QString ConsoleOutput::ProgressText(const TransferProgress& p, double seconds)
{
    const double rate = seconds > 0 ? p.totalBytes / seconds : 0;
    QString left = QStringLiteral("--:--");
    if (rate > 0 && p.totalSize > p.totalBytes) {
        const auto remaining = static_cast<qint64>((p.totalSize - p.totalBytes) / rate);
        left = QStringLiteral("%1:%2").arg(remaining / 60).arg(remaining % 60, 2, 10, QLatin1Char('0'));
    } else if (p.totalSize >= 0 && p.totalBytes >= p.totalSize) {
        left = QStringLiteral("0:00");
    }
    return QStringLiteral("File %1/%2  %3 of %4  %5 MB/s  %6 left")
        .arg(p.fileNumber)
        .arg(p.fileCount)
        .arg(bytesText(p.totalBytes), bytesText(p.totalSize))
        .arg(rate / 1e6, 0, 'f', 1)
        .arg(left);
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
    std::fprintf(m_err, "\r%s\x1b[K", ProgressText(progress, now / 1000.0).toUtf8().constData());
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
