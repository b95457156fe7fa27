#pragma once

#include "cli/cliarguments.h"
#include "cli/consoleoutput.h"
#include "net/sessionroles.h"
#include "net/sessionrolesview.h"
#include "platform/registry/registry.h"
#include "settings/sessionlog.h"
#include "settings/settings.h"
#include "settings/settingsregistry.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QObject>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

class JoinError;
class OutgoingCopy;

// One run of the command line: `serve`, `list` or `send` over the same settings, log
// file, session roles and engines as the desktop program, reporting on stdout/stderr. The
// log keeps the design's texts; stderr says in plain words what happened and what to do.
class CliSession final : public QObject, public SessionRolesView {
    Q_OBJECT

public:
    explicit CliSession(CliArguments arguments);
    ~CliSession() override;

    // The process's exit code: 0 success, 1 failure, 2 a bad argument. Problems of the
    // settings store are told once on stderr first.
    int Run();

    // SessionRolesView
    void LogMessage(const QString& text) override;
    void LogError(const QString& text) override;
    void SearchStarted() override {}
    void SearchEnded() override;
    void ClearSessionRows() override { m_rows.clear(); }
    void AddSessionRow(const QString& name, const QString& directory) override;
    void SetCopyEnabled(bool) override {}
    void ShowStatus(const QString&) override {}
    void ShowError(const QString& text) override;
    void SessionEventArrived(const SessionEvent& event) override;

    SessionLog& Log() { return m_log; }

private:
    int serve();
    int list();
    int send();
    // The text InitNetworking takes for --host: the address looked up before any
    // networking, with the port given. nullopt (after telling why) when the name does not
    // resolve.
    std::optional<QString> searchAddress();
    // Brings networking up; on failure tells why in plain words and returns false.
    bool bringUp(const QString& host);
    bool search();
    // Searches (for --wait) and joins the session asked for: -1 when joined, else the exit
    // code, after telling why.
    int findAndJoin(OutgoingCopy& copy);
    // Seconds of --wait still left, or 0.
    int waitLeft() const;
    // Tells on stderr that the command waits, once per change of what it waits for.
    void tellWaiting(const QString& what);
    // The message for a join that failed, by its reason.
    QString joinFailure(const JoinError& error, int row) const;
    // Prints `text` on stderr (and the log's text, `logText` when given, into the log);
    // returns 1.
    int fail(const QString& text, const QString& logText = QString());

    CliArguments m_arguments;
    Registry m_registry;
    SettingsRegistry m_store;
    Settings m_settings;
    ConsoleOutput m_output;
    SessionLog m_log;
    SessionRoles m_roles;
    QEventLoop m_loop;
    std::vector<std::pair<QString, QString>> m_rows;
    std::function<void(const SessionEvent&)> m_onSessionEvent;
    QString m_lastError; // the latest failure line of the networking layer
    bool m_searchFailed = false;
    int m_searches = 0;
    bool m_echo = true;   // log lines are shown on stdout
    QString m_waitingFor; // what the latest notice of waiting told
    QElapsedTimer m_waited;
    // What a run's event loop returns when a signal ends it.
    int m_interruptedExitCode = 1;
};
