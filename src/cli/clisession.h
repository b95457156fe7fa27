#pragma once

#include "cli/cliarguments.h"
#include "cli/consoleoutput.h"
#include "net/sessionroles.h"
#include "net/sessionrolesview.h"
#include "platform/registry/registry.h"
#include "settings/sessionlog.h"
#include "settings/settings.h"
#include "settings/settingsregistry.h"

#include <QEventLoop>
#include <QObject>
#include <QStringList>

#include <functional>
#include <utility>
#include <vector>

// One run of the command line: `serve`, `list` or `send` over the same settings, log
// file, session roles and engines as the desktop program, reporting on stdout/stderr.
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
    void SystemMessageArrived(DWORD type) override;

    ConsoleOutput& Output() { return m_output; }
    SessionLog& Log() { return m_log; }

private:
    int serve();
    int list();
    int send();
    bool bringUp(const QString& host);
    bool search();
    int fail(const QString& message);

    CliArguments m_arguments;
    Registry m_registry;
    SettingsRegistry m_store;
    Settings m_settings;
    ConsoleOutput m_output;
    SessionLog m_log;
    SessionRoles m_roles;
    QEventLoop m_loop;
    std::vector<std::pair<QString, QString>> m_rows;
    std::function<void(DWORD)> m_onSystemMessage;
    // What a run's event loop returns when a signal ends it.
    int m_interruptedExitCode = 1;
};
