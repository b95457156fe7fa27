#include "cli/clisession.h"

#include "bridge/endpointsink.h"
#include "net/sessionaddress.h"
#include "platform/apperror.h"
#include "transfer/receivingengine.h"
#include "transfer/receivingview.h"
#include "transfer/sendingengine.h"
#include "transfer/sendingview.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSocketNotifier>
#include <QSysInfo>

#include <csignal>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Set by SIGINT, SIGTERM and SIGHUP; a copy in progress checks it as it goes.
volatile std::sig_atomic_t interrupted = 0;

// The engines' views: log lines into the session log, progress onto the console, boxes
// onto stderr. Labels and bars have no place on a terminal.
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
    void ShowMessage(const QString& text) override { m_output.PrintError(text); }
    void ShowError(const QString& text) override { m_output.PrintError(text); }
    void ShowProgress(const TransferProgress& progress) override
    {
        m_output.ShowProgress(progress);
        // A long copy keeps the event loop, and with it the log's timer, waiting.
        m_log.FlushIfDue();
    }

protected:
    SessionLog& m_log;
    ConsoleOutput& m_output;
};

class ConsoleReceivingView final : public ConsoleTransferView<ReceivingView> {
public:
    using ConsoleTransferView::ConsoleTransferView;
    void ShowReceivedPackets(qint64) override {}
};

class ConsoleSendingView final : public ConsoleTransferView<SendingView> {
public:
    using ConsoleTransferView::ConsoleTransferView;
    void ShowSentPackets(qint64) override {}
    void ShowCaption(const QString& text) override { m_output.AddLine(text); }
    void ProcessEvents() override { QCoreApplication::processEvents(); }
    void ShowProgress(const TransferProgress& progress) override
    {
        if (interrupted)
            throw AppError(QStringLiteral("Interrupted; the copy is incomplete"));
        ConsoleTransferView::ShowProgress(progress);
    }
};

// SIGINT, SIGTERM and SIGHUP (the terminal closed) end a run through the event loop, so
// that the log is closed properly; a copy in progress stops at its next packet. SIGPIPE is
// ignored: a reader of stdout that went away must not end a server.
class SignalWatch {
public:
    SignalWatch()
    {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s_pipe) != 0)
            return;
        m_notifier = std::make_unique<QSocketNotifier>(s_pipe[0], QSocketNotifier::Read);
        struct sigaction action {};
        action.sa_handler = onSignal;
        for (const int signal : kSignals)
            ::sigaction(signal, &action, nullptr);
        std::signal(SIGPIPE, SIG_IGN);
    }
    ~SignalWatch()
    {
        for (const int signal : kSignals)
            std::signal(signal, SIG_DFL);
        std::signal(SIGPIPE, SIG_DFL);
        m_notifier.reset();
        if (s_pipe[0] >= 0) {
            ::close(s_pipe[0]);
            ::close(s_pipe[1]);
            s_pipe[0] = s_pipe[1] = -1;
        }
    }
    SignalWatch(const SignalWatch&) = delete;
    SignalWatch& operator=(const SignalWatch&) = delete;

    QSocketNotifier* Notifier() const { return m_notifier.get(); }

private:
    static void onSignal(int)
    {
        interrupted = 1;
        const char byte = 1;
        [[maybe_unused]] const auto written = ::write(s_pipe[1], &byte, 1);
    }

    static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
    static inline int s_pipe[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> m_notifier;
};

} // namespace

CliSession::CliSession(CliArguments arguments)
    : m_arguments(std::move(arguments)),
      m_store(m_registry),
      m_settings(LoadSettings(m_store)),
      m_log(m_settings, QSysInfo::machineHostName(), &m_output),
      m_roles(this, *this, QSysInfo::machineHostName())
{
    m_roles.SetTransport(m_settings.Transport);
}

CliSession::~CliSession()
{
    m_roles.ReleaseNetworking();
    try {
        m_log.CloseLogFile();
    } catch (const AppError& error) {
        m_output.PrintError(error.message());
    }
    m_output.Finish();
}

int CliSession::Run()
{
    for (const QString& problem : m_store.Problems())
        m_output.PrintError(problem);
    // A port that nobody else would use either: say so rather than search or host elsewhere.
    if (m_settings.Transport == trTCPIP) {
        const QString portProblem = DiscoveryPortProblem();
        if (!portProblem.isEmpty()) {
            m_output.PrintError(portProblem);
            return 2;
        }
    }
    const SignalWatch watch;
    if (QSocketNotifier* notifier = watch.Notifier())
        connect(notifier, &QSocketNotifier::activated, &m_loop, [this, notifier] {
            char byte;
            [[maybe_unused]] const auto read = ::read(int(notifier->socket()), &byte, 1);
            m_loop.exit(m_interruptedExitCode);
        });
    try {
        switch (m_arguments.command) {
        case CliArguments::Command::Serve:
            return serve();
        case CliArguments::Command::List:
            return list();
        case CliArguments::Command::Send:
            return send();
        default:
            return 2;
        }
    } catch (const AppError& error) {
        return fail(error.message());
    } catch (const std::exception& error) {
        return fail(QString::fromLocal8Bit(error.what()));
    }
}

int CliSession::fail(const QString& message)
{
    // A failure belongs to the run's record, too.
    if (m_log.LogOpen())
        m_log.LogError(message);
    m_output.PrintError(message);
    return 1;
}

void CliSession::LogMessage(const QString& text)
{
    m_log.LogMessage(text);
}

void CliSession::LogError(const QString& text)
{
    m_log.LogError(text);
}

void CliSession::SearchEnded()
{
    m_loop.quit();
}

void CliSession::AddSessionRow(const QString& name, const QString& directory)
{
    m_rows.emplace_back(name, directory);
}

void CliSession::ShowError(const QString& text)
{
    m_output.PrintError(text);
}

void CliSession::SystemMessageArrived(DWORD type)
{
    if (m_onSystemMessage)
        m_onSystemMessage(type);
}

bool CliSession::bringUp(const QString& host)
{
    m_log.OpenLogFile();
    if (m_roles.InitNetworking(host))
        return true;
    m_roles.ShowTransportHint();
    return false;
}

bool CliSession::search()
{
    m_roles.SearchSessions();
    if (!m_roles.SearchDone() && !interrupted)
        m_loop.exec();
    return m_roles.SearchDone();
}

int CliSession::serve()
{
    const QFileInfo directory(m_arguments.directory);
    if (!directory.isDir())
        return fail(QStringLiteral("\"%1\" is not a directory").arg(m_arguments.directory));
    QString receiveDirectory = directory.absoluteFilePath();
    if (!receiveDirectory.endsWith(QLatin1Char('/')))
        receiveDirectory += QLatin1Char('/');

    if (!m_arguments.label.isEmpty()) {
        const QString problem = SessionRoles::LabelProblem(m_arguments.label, receiveDirectory);
        if (!problem.isEmpty()) {
            m_output.PrintError(problem);
            return 2;
        }
    }
    // A signal ends serving as the end of its event loop, with success (--once: see below).
    m_interruptedExitCode = 0;

    if (!bringUp(QString()))
        return 1;
    ConsoleReceivingView view(m_log, m_output);
    ReceivingEngine engine(view);
    engine.SetReceiveDirectory(receiveDirectory);
    engine.SetTransportName(TransportText(m_settings.Transport));
    m_roles.SetTransferHandler(
        [&engine](void* data, qsizetype size) { engine.HandleTransferMessage(data, size); });
    m_roles.SetBatchEndHandler([&engine] { engine.Flush(); });
    // Whatever way serving ends, the session goes before the engine its handlers use.
    const auto leave = qScopeGuard([&] {
        m_onSystemMessage = nullptr;
        m_roles.SetTransferHandler(nullptr);
        m_roles.SetBatchEndHandler(nullptr);
        m_roles.ReleaseNetworking();
        engine.CloseCurrentFile();
    });

    const QString label = m_arguments.label.isEmpty()
                              ? SessionRoles::DefaultLabel(m_roles.ComputerName())
                              : m_arguments.label;
    if (!m_roles.HostSession(label, receiveDirectory))
        return 1;
    engine.RemoveLeftovers();

    m_onSystemMessage = [&](DWORD type) {
        if (type != DPSYS_DESTROYPLAYERORGROUP && type != DPSYS_SESSIONLOST)
            return;
        // A file cut off by the client leaving is discarded; a complete one stays.
        engine.CloseCurrentFile();
        if (m_arguments.once)
            m_loop.exit(engine.CopySucceeded() ? 0 : 1);
    };

    const int code = m_loop.exec();
    if (m_arguments.once && interrupted) {
        // Stopped before the client left: only a copy that already arrived whole succeeded.
        m_roles.ReleaseNetworking();
        engine.CloseCurrentFile();
        return engine.CopySucceeded() ? 0 : 1;
    }
    return code;
}

int CliSession::list()
{
    if (!bringUp(m_arguments.host))
        return 1;
    if (!search())
        return fail(interrupted ? QStringLiteral("Interrupted") : QStringLiteral("The search did not end"));
    for (const auto& [name, directory] : m_rows)
        m_output.AddLine(name + QLatin1Char('\t') + directory);
    return 0;
}

int CliSession::send()
{
    QStringList paths;
    for (const QString& file : m_arguments.files) {
        const QFileInfo info(file);
        if (!info.isFile())
            return fail(QStringLiteral("\"%1\" is not a file").arg(file));
        paths << info.absoluteFilePath();
    }
    if (m_arguments.blockSize)
        m_settings.Blocksize = *m_arguments.blockSize;
    if (m_arguments.encrypt)
        m_settings.Encrypt = *m_arguments.encrypt;

    if (!bringUp(m_arguments.host))
        return 1;
    if (!search())
        return fail(interrupted ? QStringLiteral("Interrupted") : QStringLiteral("The search did not end"));

    std::vector<int> candidates;
    QStringList found;
    for (int row = 0; row < int(m_rows.size()); ++row) {
        found << QStringLiteral("\"%1\" (%2)").arg(m_rows[row].first, m_rows[row].second);
        if (m_arguments.label.isEmpty() || m_rows[row].first == m_arguments.label)
            candidates.push_back(row);
    }
    if (m_rows.empty())
        return fail(QStringLiteral("No session found"));
    if (candidates.empty())
        return fail(QStringLiteral("No session \"%1\" found; found %2")
                        .arg(m_arguments.label, found.join(QStringLiteral(", "))));
    if (candidates.size() > 1)
        return fail(QStringLiteral("Several sessions found: %1; choose one with --session")
                        .arg(found.join(QStringLiteral(", "))));

    if (!m_roles.JoinSession(candidates.front()))
        return fail(QStringLiteral("The session is no longer listed"));
    EndpointSink sink(*m_roles.Player());
    ConsoleSendingView view(m_log, m_output);
    SendingEngine engine(sink, view);
    engine.SetBlocksize(m_settings.Blocksize);
    engine.SetEncrypt(m_settings.Encrypt);
    engine.SetTransportName(TransportText(m_settings.Transport));
    try {
        engine.StartCopy(paths);
    } catch (const AppError& error) {
        engine.CloseCurrentFile();
        return fail(error.message());
    }
    // Leaving the session hands over what is still queued before the connection closes.
    m_roles.ReleaseNetworking();
    return 0;
}
