#include "cli/clisession.h"

#include "platform/signalwatch.h"

#include "bridge/computername.h"
#include "bridge/hostedcopy.h"
#include "bridge/outgoingcopy.h"
#include "net/sessionaddress.h"
#include "cli/consoletext.h"
#include "cli/consoleviews.h"
#include "cli/hostlookup.h"
#include "cli/sendrounds.h"
#include "net/joinerror.h"
#include "net/resulttext.h"
#include "net/searchfindings.h"
#include "platform/apperror.h"
#include "text/printable.h"
#include "transfer/extensionmessages.h"
#include "transfer/receivingengine.h"
#include "transfer/receivingview.h"
#include "transfer/sendingengine.h"
#include "transfer/sendingview.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QTimer>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSocketNotifier>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <memory>
#include <unistd.h>

namespace {

// "session "Lab PC"", or "the session" for one without a label.
QString sessionName(const QString& label)
{
    return label.isEmpty() ? QStringLiteral("the session") : QStringLiteral("session \"%1\"").arg(label);
}

QString foundText(const std::vector<std::pair<QString, QString>>& rows)
{
    QStringList found;
    for (const auto& [name, directory] : rows)
        found << QStringLiteral("\"%1\" (%2)").arg(name, directory);
    return found.join(QStringLiteral(", "));
}

} // namespace

CliSession::CliSession(CliArguments arguments)
    : m_arguments(std::move(arguments)),
      m_store(m_registry),
      m_settings(LoadSettings(m_store)),
      m_log(m_settings, ReadComputerName(), &m_output),
      m_roles(this, *this, ReadComputerName())
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
    // Ctrl-C, SIGTERM and SIGHUP end a run through the event loop, so that the log is
    // closed properly; a copy in progress stops at its next packet.
    const SignalWatch watch;
    connect(&watch, &SignalWatch::Raised, &m_loop, [this] { m_loop.exit(m_interruptedExitCode); });
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

int CliSession::fail(const QString& text, const QString& logText)
{
    // A failure belongs to the run's record, too; the terminal gets it once, on stderr.
    if (m_log.LogOpen()) {
        m_log.SetView(nullptr);
        m_log.LogError(logText.isEmpty() ? text : logText);
        m_log.SetView(m_echo ? &m_output : nullptr);
    }
    m_output.PrintError(text);
    return 1;
}

void CliSession::LogMessage(const QString& text)
{
    m_log.LogMessage(text);
}

void CliSession::LogError(const QString& text)
{
    m_lastError = text;
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
    // Boxes of the desktop program: their texts belong to the log; the command line tells
    // what they mean where it knows. During a search, one means the search failed.
    LogError(text);
    m_searchFailed = true;
}

void CliSession::SessionEventArrived(const SessionEvent& event)
{
    if (m_onSessionEvent)
        m_onSessionEvent(event);
}

std::optional<QString> CliSession::searchAddress()
{
    if (m_arguments.host.isEmpty())
        return QString();
    const HostLookup found = LookUpHost(m_arguments.host);
    if (found.address.isEmpty()) {
        m_output.PrintError(QStringLiteral("cannot find host \"%1\": %2").arg(m_arguments.host, found.error));
        m_output.PrintDetail(QStringLiteral("check the name, or give the server's IPv4 address: --host 192.168.1.20"));
        return std::nullopt;
    }
    if (m_arguments.hostPort)
        return found.address + QLatin1Char(':') + QString::number(*m_arguments.hostPort);
    return found.address;
}

bool CliSession::bringUp(const QString& host)
{
    if (m_roles.InitNetworking(host))
        return true;
    // The desktop program's hint names another system's control panel: the log keeps it,
    // the terminal gets what it means here.
    const QString hint = SessionRoles::TransportHintText(m_settings.Transport);
    if (m_log.LogOpen())
        m_log.LogError(hint);
    if (m_settings.Transport == trIPX)
        m_output.PrintError(QStringLiteral("the settings choose the IPX protocol, which this system does not "
                                           "have; choose TCP/IP in the desktop program's preferences"));
    else
        m_output.PrintError(QStringLiteral("cannot start networking (%1); is the network up?").arg(m_lastError));
    return false;
}

bool CliSession::search()
{
    if (SignalWatch::Interrupted())
        return false;
    m_searchFailed = false;
    // A command that waits searches again and again: the log records each search, the
    // terminal is told once.
    if (m_searches++ > 0)
        m_log.SetView(nullptr);
    m_roles.SearchSessions();
    m_log.SetView(m_echo ? &m_output : nullptr);
    if (!m_roles.SearchDone() && !SignalWatch::Interrupted())
        m_loop.exec();
    return m_roles.SearchDone() && !SignalWatch::Interrupted() && !m_searchFailed;
}

int CliSession::waitLeft() const
{
    const qint64 left = qint64(m_arguments.waitSeconds) * 1000 - m_waited.elapsed();
    return left > 0 ? int((left + 999) / 1000) : 0;
}

void CliSession::tellWaiting(const QString& what)
{
    if (what == m_waitingFor)
        return;
    m_waitingFor = what;
    m_output.PrintError(QStringLiteral("%1; waiting up to %2 s (Ctrl-C stops)").arg(what).arg(waitLeft()));
}

int CliSession::serve()
{
    const QFileInfo directory(m_arguments.directory);
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

    if (!directory.exists() && m_arguments.makeDirectory) {
        std::error_code error;
        std::filesystem::create_directories(QFile::encodeName(receiveDirectory).toStdString(), error);
        if (error)
            return fail(QStringLiteral("cannot create %1: %2")
                            .arg(m_arguments.directory, QString::fromLocal8Bit(error.message().c_str())));
    } else if (!directory.exists()) {
        return fail(QStringLiteral("%1: no such directory; create it, or add --mkdir").arg(m_arguments.directory));
    } else if (!directory.isDir()) {
        return fail(QStringLiteral("%1: not a directory").arg(m_arguments.directory));
    }
    if (::access(QFile::encodeName(receiveDirectory).constData(), W_OK | X_OK) != 0)
        return fail(QStringLiteral("%1: cannot write there (%2)")
                        .arg(m_arguments.directory, QString::fromLocal8Bit(std::strerror(errno))));

    // A signal ends serving as the end of its event loop, with success (--once: see below).
    m_interruptedExitCode = 0;

    m_log.OpenLogFile();
    if (!bringUp(QString()))
        return 1;
    ConsoleReceivingView view(m_log, m_output);
    HostedCopy hosted(m_roles, view);
    // Whatever way serving ends, the session goes before the engine its handlers use.
    const auto leave = qScopeGuard([&] {
        m_onSessionEvent = nullptr;
        hosted.End();
    });

    const QString label =
        m_arguments.label.isEmpty() ? SessionRoles::DefaultLabel(m_roles.ComputerName()) : m_arguments.label;
    HostOptions options{label, receiveDirectory, QString(), m_arguments.existing, m_arguments.accept, {}, {}};
    options.keepPartials = m_settings.KeepPartials && !m_arguments.noResume;
    bool hosting = false;
    options.codeShown = [&](const PairingCode& code) {
        if (hosting)
            m_output.AddLine(QStringLiteral("Three wrong pairing codes: the old code is no longer valid"));
        m_output.AddLine(QStringLiteral("Pairing code: ") + code.text());
        m_output.EndLine();
    };
    bool up = false;
    try {
        up = hosted.Host(options);
    } catch (const AppError& error) {
        return fail(error.message());
    }
    hosting = true;
    if (!up) {
        // The log has the reason already.
        m_output.PrintError(QStringLiteral("cannot host a session (%1); is UDP port %2 taken by another program?")
                                .arg(m_lastError)
                                .arg(m_roles.DiscoveryPort()));
        return 1;
    }
    const ReceivingEngine& engine = *hosted.Engine();
    if (m_roles.HostPort() != 0) {
        m_output.AddLine(QStringLiteral("Serving \"%1\" into %2: UDP port %3 finds it, copies come in on TCP port %4")
                             .arg(label, receiveDirectory)
                             .arg(m_roles.DiscoveryPort())
                             .arg(m_roles.HostPort()));
    }
    if (!hosted.Fingerprint().isEmpty())
        m_output.AddLine(QStringLiteral("Secure copies accepted from %1; this device's fingerprint: %2")
                             .arg(m_arguments.accept == AcceptPolicy::Open ? QStringLiteral("anyone (open)")
                                  : m_arguments.accept == AcceptPolicy::Paired
                                      ? QStringLiteral("trusted devices and senders with the pairing code")
                                      : QStringLiteral("trusted devices only"),
                                  hosted.Fingerprint()));
    m_output.EndLine();

    QString client;
    QElapsedTimer copyClock;
    m_onSessionEvent = [&](const SessionEvent& event) {
        if (event.kind == SessionEvent::Kind::ClientJoined) {
            client = event.client.isEmpty() ? QStringLiteral("a client") : event.client;
            m_output.SetProgressLabel(QStringLiteral("from ") + client);
            view.ForgetProgress();
            copyClock.start();
            m_output.EndLine();
            return;
        }
        // The copy has closed its file: a file cut off by the client leaving is discarded, a
        // complete one stays.
        if (event.kind == SessionEvent::Kind::ClientLeft)
            m_output.PrintSummary(ReceivedSummary(engine.Summary(), view.LastProgress(),
                                                  copyClock.isValid() ? copyClock.elapsed() / 1000.0 : 0, client));
        if (m_arguments.once)
            m_loop.exit(engine.CopySucceeded() ? 0 : 1);
    };

    const int code = m_loop.exec();
    if (m_arguments.once && SignalWatch::Interrupted()) {
        // Stopped before the client left: only a copy that already arrived whole succeeded.
        hosted.End();
        return engine.CopySucceeded() ? 0 : 1;
    }
    return code;
}

int CliSession::list()
{
    const auto host = searchAddress();
    if (!host)
        return 1;
    // Listing leaves no record: no log file, and stdout holds the sessions only.
    m_echo = false;
    m_log.SetView(nullptr);
    if (!bringUp(*host))
        return 1;

    m_waited.start();
    std::vector<BusySession> busy;
    for (;;) {
        if (!search())
            return fail(SignalWatch::Interrupted() ? QStringLiteral("interrupted")
                                                   : QStringLiteral("the search failed: ") + m_lastError);
        busy = BusySessions(m_roles.LastSearch(), FerrowardenApplicationGuid);
        if (!m_rows.empty() || waitLeft() == 0)
            break;
        tellWaiting(busy.empty()
                        ? QStringLiteral("no session yet")
                        : QStringLiteral("%1 is busy: another client is sending").arg(sessionName(busy.front().label)));
    }

    for (const auto& [name, directory] : m_rows)
        m_output.AddLine(name + QLatin1Char('\t') + directory);
    for (const BusySession& session : busy)
        m_output.AddLine(session.label + QLatin1Char('\t') + session.directory + QStringLiteral("\tbusy"));
    m_output.EndLine();
    if (!m_rows.empty())
        return 0;
    if (!busy.empty())
        return fail(QStringLiteral("no free session: %1 is busy, another client is sending")
                        .arg(sessionName(busy.front().label)));
    m_output.PrintError(QStringLiteral("no session found"));
    for (const QString& line : EmptySearchLines(m_roles.LastSearch(), FerrowardenApplicationGuid))
        m_output.PrintDetail(line);
    return 1;
}

QString CliSession::joinFailure(const JoinError& error, int row) const
{
    const QString name = sessionName(m_rows[row].first);
    switch (error.Why()) {
    case JoinError::Reason::Full:
        return QStringLiteral("%1 is full: another client joined it first; try again, or wait for it "
                              "with --wait SECONDS")
            .arg(name);
    case JoinError::Reason::Ended:
        return QStringLiteral("%1 has ended: its server stopped hosting it").arg(name);
    case JoinError::Reason::Unreachable:
    case JoinError::Reason::TimedOut: {
        const QString where = error.Host().isEmpty()
                                  ? QString()
                                  : QStringLiteral(" at %1, TCP port %2").arg(error.Host()).arg(error.Port());
        return QStringLiteral("cannot reach %1%2: %3; check that a firewall there lets TCP in")
            .arg(name, where,
                 error.Why() == JoinError::Reason::TimedOut ? QStringLiteral("no answer in time")
                                                            : QStringLiteral("no connection"));
    }
    case JoinError::Reason::Other:
        break;
    }
    return QStringLiteral("cannot join %1: %2").arg(name, error.Detail());
}

int CliSession::findAndJoin(OutgoingCopy& copy)
{
    const QString& wanted = m_arguments.label;
    for (;;) {
        if (!search())
            return fail(SignalWatch::Interrupted() ? QStringLiteral("interrupted")
                                                   : QStringLiteral("the search failed: ") + m_lastError);
        std::vector<int> candidates;
        for (int row = 0; row < int(m_rows.size()); ++row)
            if (wanted.isEmpty() || m_rows[row].first == wanted)
                candidates.push_back(row);
        if (candidates.size() > 1)
            return fail(
                QStringLiteral("several sessions found: %1; choose one with --session LABEL").arg(foundText(m_rows)));
        if (candidates.size() == 1) {
            try {
                if (copy.Join(candidates.front()))
                    return -1;
                return fail(QStringLiteral("the session is no longer listed"));
            } catch (const JoinError& error) {
                if (error.Why() != JoinError::Reason::Full || waitLeft() == 0)
                    return fail(joinFailure(error, candidates.front()), error.message());
                m_log.LogError(error.message());
                tellWaiting(QStringLiteral("%1 is busy: another client is sending")
                                .arg(sessionName(m_rows[candidates.front()].first)));
                continue;
            }
        }

        std::vector<BusySession> busy;
        for (const BusySession& session : BusySessions(m_roles.LastSearch(), FerrowardenApplicationGuid))
            if (wanted.isEmpty() || session.label == wanted)
                busy.push_back(session);
        if (waitLeft() > 0) {
            tellWaiting(
                !busy.empty()
                    ? QStringLiteral("%1 is busy: another client is sending").arg(sessionName(busy.front().label))
                : wanted.isEmpty() ? QStringLiteral("no session yet")
                                   : QStringLiteral("no session \"%1\" yet").arg(wanted));
            continue;
        }
        if (!busy.empty())
            return fail(m_arguments.waitSeconds > 0
                            ? QStringLiteral("%1 is still busy after %2 s: another client is sending")
                                  .arg(sessionName(busy.front().label))
                                  .arg(m_arguments.waitSeconds)
                            : QStringLiteral("%1 is busy: another client is sending; try again when it is "
                                             "done, or wait for it with --wait SECONDS")
                                  .arg(sessionName(busy.front().label)));
        if (!m_rows.empty())
            return fail(QStringLiteral("no session \"%1\" found; found %2").arg(wanted, foundText(m_rows)));
        fail(QStringLiteral("no session found"));
        for (const QString& line : EmptySearchLines(m_roles.LastSearch(), FerrowardenApplicationGuid))
            m_output.PrintDetail(line);
        return 1;
    }
}

int CliSession::send()
{
    // Checked first, then walked again as it is sent: the tree is never held whole.
    SendRounds rounds(m_arguments.files);
    const SourceFiles sources = rounds.Check();
    if (!sources.problems.empty()) {
        for (const SourceFiles::Problem& problem : sources.problems)
            m_output.PrintError(QStringLiteral("%1: %2").arg(problem.file, problem.reason));
        m_output.PrintDetail(QStringLiteral("nothing was sent"));
        return 1;
    }
    if (m_arguments.blockSize)
        m_settings.Blocksize = *m_arguments.blockSize;
    if (m_arguments.encrypt)
        m_settings.Encrypt = *m_arguments.encrypt;

    const auto host = searchAddress();
    if (!host)
        return 1;
    m_log.OpenLogFile();
    if (!bringUp(*host))
        return 1;

    ConsoleSendingView view(m_log, m_output);
    auto copy = std::make_unique<OutgoingCopy>(m_roles, view);
    m_waited.start();
    if (const int code = findAndJoin(*copy); code >= 0)
        return code;

    for (const QString& line : sources.skipped)
        m_log.LogMessage(line);
    if (copy->Extension() == 0 && !sources.needExtension.empty()) {
        for (const SourceFiles::Problem& problem : sources.needExtension)
            m_output.PrintError(QStringLiteral("%1: %2").arg(problem.file, problem.reason));
        m_output.PrintDetail(QStringLiteral("nothing was sent; send files under 2 GiB only, or update the server"));
        if (m_log.LogOpen())
            m_log.LogError(
                QStringLiteral("%1: %2").arg(sources.needExtension.front().file, sources.needExtension.front().reason));
        return 1;
    }

    // After a lost link the copy goes on where it stopped, when the server can resume.
    const std::uint16_t extension = copy->Extension();
    const int retry = m_arguments.retrySeconds.value_or(CarriesResume(extension) ? 30 : 0);
    const int fileCount = sources.fileCount;
    QElapsedTimer clock;
    clock.start();
    QList<EntryProblem> notStored;
    for (;;) {
        copy->SetPairingCode(m_arguments.code);
        SendingEngine* started = nullptr;
        try {
            started = &copy->Start(m_settings.Blocksize, m_settings.Encrypt);
        } catch (const AppError& error) {
            return fail(error.message());
        }
        SendingEngine& engine = *started;
        try {
            engine.StartCopy(rounds.Entries());
            rounds.Ended(engine);
            notStored = engine.Problems();
            break;
        } catch (const AppError& error) {
            engine.CloseCurrentFile();
            const TransferProgress& at = view.LastProgress();
            const bool stopped = SignalWatch::Interrupted();
            const bool lost = engine.ConnectionWasLost() || IsConnectionLost(error);
            if (lost && !stopped && retry > 0 && CarriesResume(engine.Extension())) {
                if (const auto problems = rounds.Cut(engine); !problems.empty())
                    return fail(QStringLiteral("%1: %2; the copy stopped there")
                                    .arg(problems.front().file, problems.front().reason),
                                error.message());
                m_log.LogError(error.message());
                m_output.PrintError(QStringLiteral("the connection to the server was lost; looking for the session "
                                                   "again for up to %1 s")
                                        .arg(retry));
                copy.reset();
                m_roles.ReleaseNetworking();
                if (!bringUp(*host))
                    return 1;
                copy = std::make_unique<OutgoingCopy>(m_roles, view);
                m_arguments.waitSeconds = retry;
                m_waited.start();
                if (const int code = findAndJoin(*copy); code >= 0)
                    return code;
                continue;
            }
            m_output.PrintSummary(SentSummary(rounds.FilesDone() + qMax(0, at.fileNumber - 1), fileCount,
                                              rounds.BytesDone() + at.totalBytes, sources.totalBytes,
                                              clock.elapsed() / 1000.0,
                                              stopped ? QStringLiteral("interrupted") : QStringLiteral("failed"),
                                              extension != 0 ? rounds.WireBytes() + engine.BytesSent() : -1,
                                              rounds.AlreadyThere() + engine.FilesAlreadyThere()));
            if (stopped)
                return fail(CarriesResume(extension)
                                ? QStringLiteral("interrupted; the same copy again goes on where this one stopped")
                                : QStringLiteral("interrupted; the server keeps only the files that arrived whole"),
                            error.message());
            if (lost)
                return fail(CarriesResume(extension)
                                ? QStringLiteral("the connection to the server was lost; the same copy again goes on "
                                                 "where this one stopped")
                                : QStringLiteral("the connection to the server was lost; it keeps only the files "
                                                 "that arrived whole"),
                            error.message());
            // A file that changed since it was checked is named as the checks name it.
            const SourceFiles now = CheckSourceFiles(m_arguments.files);
            if (!now.problems.empty())
                return fail(QStringLiteral("%1: %2; the copy stopped there")
                                .arg(now.problems.front().file, now.problems.front().reason),
                            error.message());
            return fail(QStringLiteral("the copy stopped: ") + error.message());
        }
    }
    // Leaving the session hands over what is still queued before the connection closes.
    m_roles.ReleaseNetworking();
    m_output.PrintSummary(SentSummary(fileCount, fileCount, sources.totalBytes, sources.totalBytes,
                                      clock.elapsed() / 1000.0,
                                      notStored.isEmpty() ? QStringLiteral("done") : QStringLiteral("not all stored"),
                                      extension != 0 ? rounds.WireBytes() : -1, rounds.AlreadyThere()));
    if (notStored.isEmpty())
        return 0;
    const int entryCount = sources.fileCount + sources.folderCount;
    m_output.PrintError(
        QStringLiteral("the server did not store %1 of %2 %3:")
            .arg(notStored.size())
            .arg(entryCount)
            .arg(sources.folderCount > 0 ? QStringLiteral("files and folders") : QStringLiteral("files")));
    for (const EntryProblem& problem : notStored)
        m_output.PrintDetail(QStringLiteral("%1: %2").arg(problem.name, problem.reason));
    return 1;
}
