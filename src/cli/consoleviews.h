#pragma once

#include "cli/consoleoutput.h"
#include "settings/sessionlog.h"
#include "transfer/receivingview.h"
#include "transfer/sendingview.h"

#include <QElapsedTimer>

#include <functional>

// The engines' views: log lines into the session log, progress onto the console. Labels and
// bars have no place on a terminal; the engines' boxes repeat lines that the log already
// has, and the command line says in its own words how a copy ended.
template <typename Base>
class ConsoleTransferView : public Base {
public:
    ConsoleTransferView(SessionLog& log, ConsoleOutput& output) : m_log(log), m_output(output) {}
    void LogMessage(const QString& text) override { m_log.LogMessage(text); }
    void LogError(const QString& text) override { m_log.LogError(text); }
    void LogAppend(const QString& text) override { m_log.LogAppend(text); }
    void ShowFileName(const QString&) override {}
    void ShowFileCounter(const QString&) override {}
    void ShowStatus(const QString&) override {}
    void SetFileProgress(int) override {}
    void SetTotalProgress(int) override {}
    void ShowMessage(const QString&) override {}
    void ShowError(const QString&) override {}
    void ShowProgress(const TransferProgress& progress) override
    {
        m_last = progress;
        m_output.ShowProgress(progress);
        // A long copy keeps the event loop, and with it the log's timer, waiting.
        m_log.FlushIfDue();
    }

    // Where the copy stood at its last report.
    const TransferProgress& LastProgress() const { return m_last; }
    void ForgetProgress() { m_last = TransferProgress{}; }

protected:
    SessionLog& m_log;
    ConsoleOutput& m_output;
    TransferProgress m_last;
};

class ConsoleReceivingView final : public ConsoleTransferView<ReceivingView> {
public:
    using ConsoleTransferView::ConsoleTransferView;
    void ShowReceivedPackets(qint64) override {}
};

// The sending engine's view: a copy that blocks the caller still lets the server's answers
// in, and stops at its next packet once a signal asked it to.
class ConsoleSendingView final : public ConsoleTransferView<SendingView> {
public:
    ConsoleSendingView(SessionLog& log, ConsoleOutput& output);
    void ShowSentPackets(qint64) override {}
    void ShowFileNumber(int, int) override {}
    void ShowCaption(const QString& text) override { m_output.AddLine(text); }
    void ProcessEvents() override;
    void ShowProgress(const TransferProgress& progress) override;
    void WaitForAnswers(int milliseconds, const std::function<bool()>& done) override;

private:
    static void stopIfInterrupted();

    QElapsedTimer m_sinceEvents;
};
