#pragma once

#include "app/desktopnotifier.h"
#include "app/mainwindowcontrols.h"
#include "app/copyresume.h"
#include "app/wizardsessions.h"
#include "bridge/hostedcopy.h"
#include "net/sessionroles.h"
#include "net/sessionrolesview.h"
#include "platform/registry/registry.h"
#include "settings/messagelistview.h"
#include "settings/sessionlog.h"
#include "settings/ui/formpos.h"
#include "settings/settings.h"
#include "settings/settingsregistry.h"
#include "transfer/receivingview.h"
#include "transfer/sendingview.h"

#include <QMainWindow>
#include <QStringList>
#include <QTimer>

#include <memory>

class FileChooser;
class SendControl;
class SendingEngine;
struct WizardChoice;

// The program's one window and the hub of the system: it finds sessions, hosts one as the
// server, starts copies as the client, and shows what every part reports. It owns the
// settings, the session log, the networking (one endpoint at a time), the list of files to
// send and the receiving side of a hosted session.
//
// States: Idle (all controls usable, "Start Copy" only once a search found sessions or the
// progress panel was closed), Searching (controls disabled, Panel4 shown, busy cursor),
// Serving and Sending (controls disabled, the progress panel Panel2 shown). Only the
// panel's close button returns to Idle from the last two, and it always rebuilds the
// networking.
//
// A copy runs to its end inside the click handler that starts it. Labels, bars and the
// message list are repainted at most once a frame; while a copy is sent, each frame also
// lets the window repaint itself, but takes no user input; so does the wait for the
// server's answers at the end of an extended copy. A process never hosts and sends at
// once: the receiving side runs from the event loop, the sending side inside a handler, so
// one thread never waits on both ends of a session.
class TMainWindow final : public QMainWindow,
                          public MainWindowControls,
                          public SessionRolesView,
                          public ReceivingView,
                          public SendingView,
                          public MessageListView,
                          public WizardSessions {
    Q_OBJECT

public:
    // Start-up: the computer name, the settings, the log header, the networking (with a
    // hint box when it cannot be brought up) and an empty list of files to send.
    explicit TMainWindow(QWidget* parent = nullptr);
    ~TMainWindow() override;

    // Shared operations
    void DisableControls() { SetControlsEnabled(false); }
    void EnableControls() { SetControlsEnabled(true); }
    void ResetTransferView();

    // Networking and roles
    bool InitNetworking();
    void SearchSessions() override { m_roles.SearchSessions(); }
    // Hosts a session: with an empty label and directory, the default label and the folder
    // selected in DirTree1. `firstCode`: the pairing code already shown (by the wizard).
    void HostSession(const QString& label, const QString& directory,
                     std::optional<PairingCode> firstCode = std::nullopt);
    // Joins the session of row `selectedRow` of the latest search and sends FilesToSend and
    // the files selected in FileListBox1. Throws AppError when the copy fails. `code`: the
    // pairing code given beforehand (the wizard's), used when the host asks for one.
    void StartCopy(int selectedRow, const std::optional<PairingCode>& code = std::nullopt);

    // Handlers
    void Button1Click();
    void Button3Click();
    void Button8Click() { SearchSessions(); }
    void Button5Click();
    void Button6Click();
    void Button7Click() { close(); }
    void Exit1Click() { close(); }
    void Preferences1Click();
    void Contents1Click();
    void About1Click();
    void DirTree1Change();
    void ClosePanelBtnClick();
    // After a copy that lost its server: finds the session again and sends the same again.
    void ResumeBtnClick();

    // Closes as the close box does, but stops a copy under way without asking (a signal).
    void CloseWithoutAsking();

    // Chooses files for sending (absolute paths of files or folders): those the program was
    // started with, and files dropped onto the window.
    void ChooseFiles(const QStringList& paths);

    // Full paths of the files to send, in order; the wizard fills it, StartCopy appends.
    QStringList FilesToSend;
    bool FirstActivation = true;

    const QString& ComputerName() const { return m_computerName; }
    const QString& ReceiveDirectory() const { return m_roles.ReceiveDirectory(); }
    bool SearchDone() const override { return m_roles.SearchDone(); }
    QList<QStringList> SessionRows() const override { return SessionRowTexts(); }
    bool HostRequiresPairing() const override
    {
        return static_cast<AcceptPolicy>(m_settings.AcceptPolicy) == AcceptPolicy::Paired;
    }
    // Hosts or starts the copy as the user chose in the wizard, after taking its files.
    void ActOnWizard(const WizardChoice& choice);
    ::Settings& AppSettings() { return m_settings; }
    SessionLog& Log() { return m_log; }
    SessionRoles& Roles() { return m_roles; }
    // Puts every change that waits for the next frame on the screen now.
    void PaintFrame();

    // SessionRolesView, ReceivingView, SendingView
    void LogMessage(const QString& text) override { m_log.LogMessage(text); }
    void LogError(const QString& text) override { m_log.LogError(text); }
    void LogAppend(const QString& text) override { m_log.LogAppend(text); }
    void SearchStarted() override;
    void SearchEnded() override;
    void ClearSessionRows() override;
    void AddSessionRow(const QString& name, const QString& directory) override;
    void SetCopyEnabled(bool enabled) override;
    void ShowStatus(const QString& caption) override { frameChanged(Panel2->ShowStatus(caption)); }
    void ShowError(const QString& text) override;
    void ShowMessage(const QString& text) override;
    void SessionEventArrived(const SessionEvent& event) override;
    const DesktopNotifier& Notifier() const { return m_notifier; }
    void ShowFileName(const QString& name) override { frameChanged(Panel2->ShowFileName(name)); }
    void ShowFileCounter(const QString& caption) override { frameChanged(Panel2->ShowFileCounter(caption)); }
    void SetFileProgress(int percent) override { frameChanged(Panel2->SetFileProgress(percent)); }
    void SetTotalProgress(int percent) override { frameChanged(Panel2->SetTotalProgress(percent)); }
    void ShowReceivedPackets(qint64 count) override { frameChanged(Panel2->ShowReceivedPackets(count)); }
    void ShowSentPackets(qint64 count) override { frameChanged(Panel2->ShowSentPackets(count)); }
    void ShowCaption(const QString& text) override;
    void ShowProgress(const TransferProgress& progress) override { frameChanged(Panel2->ShowProgress(progress)); }
    void ProcessEvents() override;
    void WaitForAnswers(int milliseconds, const std::function<bool()>& done) override;

    // MessageListView
    void AddLine(const QString& text) override { frameChanged(Panel2->AddLine(text)); }
    void AppendToLastLine(const QString& text) override;

protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void FormActivate();
    void FormDeactivate();
    void connectHandlers();
    void showInformation(const QString& text);
    void frameChanged(bool painted);
    void endServing();
    void selectOnlySession();
    void sendCopy(SendingEngine& engine, const QStringList& selected);
    // Joins row `selectedRow` and sends FilesToSend and `selected`.
    void sendTo(int selectedRow, const std::optional<PairingCode>& code, const QStringList& selected);
    void resumeSearchEnded();

    QString m_computerName;
    Registry m_registry;
    SettingsRegistry m_store;
    ::Settings m_settings;
    SessionLog m_log;
    SessionRoles m_roles;
    HostedCopy m_hosted{m_roles, *this}; // the receiving side of a hosted session
    TFormPosition FormPosition1{this, m_registry};
    FileChooser* m_chooser = nullptr;

    SendControl* m_send = nullptr;
    DesktopNotifier m_notifier{this};
    QString m_client; // the address of the hosted session's latest client
    bool m_closeWithoutAsking = false;
    bool m_copyComplete = false;          // the copy under way said "Transmission complete!"
    std::unique_ptr<CopyResume> m_resume; // the panel's Resume
    QTimer m_logFlushTimer;
};
