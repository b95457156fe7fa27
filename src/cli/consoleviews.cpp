#include "cli/consoleviews.h"

#include "platform/apperror.h"
#include "platform/signalwatch.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>

ConsoleSendingView::ConsoleSendingView(SessionLog& log, ConsoleOutput& output) : ConsoleTransferView(log, output)
{
    m_sinceEvents.start();
}

void ConsoleSendingView::ProcessEvents()
{
    QCoreApplication::processEvents();
}

void ConsoleSendingView::ShowProgress(const TransferProgress& progress)
{
    stopIfInterrupted();
    ConsoleTransferView::ShowProgress(progress);
    // The server's answers come in as events: a refusal stops a file early.
    if (m_sinceEvents.elapsed() >= 50) {
        QCoreApplication::processEvents();
        m_sinceEvents.restart();
    }
}

void ConsoleSendingView::WaitForAnswers(int milliseconds, const std::function<bool()>& done)
{
    QCoreApplication::processEvents();
    // Every answer comes as an event, and so does the end of the wait: each wakes this.
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.start(std::max(milliseconds, 0));
    while (!done() && deadline.isActive() && !SignalWatch::Interrupted())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    stopIfInterrupted();
}

void ConsoleSendingView::stopIfInterrupted()
{
    if (SignalWatch::Interrupted())
        throw AppError(QStringLiteral("Interrupted; the copy is incomplete"));
}
