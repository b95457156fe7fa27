#include "app/tmainwindow.h"

#include "app/about.h"
#include "app/dialoggeometry.h"
#include "app/ferrowardenapplication.h"
#include "app/filechooser.h"
#include "app/helpbrowser.h"
#include "ferrowardenversion.h"
#include "app/logview.h"
#include "app/progresspanel.h"
#include "app/pairingprompt.h"
#include "app/sendcontrol.h"
#include "app/tconwizard.h"
#include "bridge/computername.h"
#include "bridge/outgoingcopy.h"
#include "net/joinerror.h"
#include "net/resulttext.h"
#include "platform/apperror.h"
#include "settings/ui/preferences.h"
#include "transfer/extensionmessages.h"
#include "transfer/receivingengine.h"
#include "transfer/sendingengine.h"
#include "widgets/filelistbox.h"
#include "widgets/tdirtree.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QEventLoop>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QScreen>
#include <QPushButton>
#include <QScopeGuard>
#include <QToolButton>
#include <QTreeWidget>
#include <QUrl>

TMainWindow::TMainWindow(QWidget* parent)
    : QMainWindow(parent),
      m_computerName(ReadComputerName()),
      m_store(m_registry),
      m_settings(LoadSettings(m_store)),
      m_log(m_settings, m_computerName, this),
      m_roles(this, *this, m_computerName)
{
    setObjectName(QStringLiteral("MainWindow"));
    setWindowTitle(QStringLiteral("Ferrowarden " FERROWARDEN_VERSION));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
                   | Qt::WindowCloseButtonHint);
    BuildControls(this);
    MoveOntoScreen(this, QPoint(368, 268));
    FormPosition1.Depot = TFormPosition::dpRegistry;
    FormPosition1.RestoreBeforeShow(); // on the frame, where it was stored from
    ApplyFileSettings(m_settings);

    // Log lines reach the file within a second, so a killed program loses no record.
    m_logFlushTimer.setInterval(1000);
    connect(&m_logFlushTimer, &QTimer::timeout, this, [this] { m_log.Flush(); });
    m_logFlushTimer.start();

    connectHandlers();

    // What the user should hear once about the settings store (cannot be written, a damaged
    // file set aside), told when the window is up.
    if (const QStringList problems = m_store.Problems(); !problems.isEmpty()) {
        QTimer::singleShot(0, this, [this, problems] {
            QMessageBox::warning(this, QStringLiteral("Ferrowarden"), problems.join(QLatin1Char('\n')));
        });
    }

    m_send = new SendControl(this, Panel2, ClosePanelBtn);
    m_resume = std::make_unique<CopyResume>(Panel2->ResumeBtn);
    connect(Panel2->OpenFolderBtn, &QPushButton::clicked, this,
            [this] { QDesktopServices::openUrl(QUrl::fromLocalFile(Panel2->HostedFolder())); });
    m_chooser = new FileChooser(this, DirTree1, FileListBox1);
    m_chooser->Accepting = [this] { return DirTree1->isEnabled() && Panel2->isHidden(); };
    m_chooser->OnDropped = [this](const QStringList& paths) {
        FerrowardenApplication::Guarded([this, paths] { ChooseFiles(paths); })();
    };

    // FormCreate
    m_log.OpenLogFile();
    if (!InitNetworking())
        m_roles.ShowTransportHint();
    FilesToSend.clear();
    // Once the log file is open where the program started: the tree opens at the folder
    // used last.
    m_chooser->RestoreFolder(m_registry, FormPosition1.KeyPath());
}

TMainWindow::~TMainWindow()
{
    // FormDestroy: the session goes before the receiving side its handlers use.
    m_hosted.End();
    FilesToSend.clear();
}

void TMainWindow::connectHandlers()
{
    const auto on = [this](auto* sender, auto signal, void (TMainWindow::*handler)()) {
        connect(sender, signal, this, FerrowardenApplication::Guarded([this, handler] { (this->*handler)(); }));
    };
    on(Button1, &QPushButton::clicked, &TMainWindow::Button1Click);
    on(Button3, &QPushButton::clicked, &TMainWindow::Button3Click);
    on(Button8, &QPushButton::clicked, &TMainWindow::Button8Click);
    on(Button5, &QPushButton::clicked, &TMainWindow::Button5Click);
    on(Button6, &QPushButton::clicked, &TMainWindow::Button6Click);
    on(Button7, &QPushButton::clicked, &TMainWindow::Button7Click);
    on(Exit1, &QAction::triggered, &TMainWindow::Exit1Click);
    on(Preferences1, &QAction::triggered, &TMainWindow::Preferences1Click);
    on(Contents1, &QAction::triggered, &TMainWindow::Contents1Click);
    on(About1, &QAction::triggered, &TMainWindow::About1Click);
    on(DirTree1, &TDirTree::OnChange, &TMainWindow::DirTree1Change);
    on(ClosePanelBtn, &QToolButton::clicked, &TMainWindow::ClosePanelBtnClick);
    on(Panel2->ResumeBtn, &QPushButton::clicked, &TMainWindow::ResumeBtnClick);
}

// ---------------------------------------------------------------------------------------
// Shared operations

void TMainWindow::ResetTransferView()
{
    FilesToSend.clear();
    Panel2->ClearProgress();
}

// ---------------------------------------------------------------------------------------
// Networking and roles

bool TMainWindow::InitNetworking()
{
    m_roles.SetTransport(m_settings.Transport);
    return m_roles.InitNetworking();
}

void TMainWindow::HostSession(const QString& label, const QString& directory, std::optional<PairingCode> firstCode)
{
    HostOptions options{.label = label, .directory = directory, .selectedFolder = DirTree1->SelectedPath()};
    options.firstCode = std::move(firstCode);
    options.keepPartials = m_settings.KeepPartials;
    options.accept = static_cast<AcceptPolicy>(m_settings.AcceptPolicy);
    options.codeShown = [this](const PairingCode& code) {
        LogMessage(QStringLiteral("Pairing code: ") + code.text());
        ShowStatus(QStringLiteral(" Server Waiting... Pairing code: ") + code.text());
    };
    if (m_hosted.Host(options))
        Panel2->ShowHosting(QDir(HostedCopy::ReceiveDirectory(options)).absolutePath(), m_roles.HostedAt());
}

void TMainWindow::StartCopy(int selectedRow, const std::optional<PairingCode>& code)
{
    QString folder = DirTree1->SelectedPath();
    if (folder == QLatin1String("?"))
        folder.clear();
    QStringList selected;
    for (const QString& name : FileListBox1->SelectedNames())
        selected << folder + name;
    sendTo(selectedRow, code, selected);
}

void TMainWindow::sendTo(int selectedRow, const std::optional<PairingCode>& code, const QStringList& selected)
{
    // While the copy is prepared and sent the panel's close button is its Cancel: it asks,
    // and a confirmed stop ends the copy cleanly before the endpoint goes.
    // A Resume that cannot join, or is refused before it sends, stays on offer.
    const std::optional<CopyResume::Copy> before = m_resume->Offered();
    m_resume->Withdraw();
    CopyResume::Copy cut = CopyResume::CopyTo(m_roles.SessionList().get(), selectedRow);
    cut.files = FilesToSend;
    cut.selected = selected;
    m_send->Begin();
    m_copyComplete = false;
    bool failed = true;
    bool sending = false;
    bool lost = false; // the server went part way, and keeps what arrived
    const auto finished = qScopeGuard([&] {
        const SendControl::Reason stopped = m_send->StopReason();
        m_send->End();
        // The strip tells how the copy ended, never " Client Sending..." after it.
        Panel2->ShowStatus(SendControl::EndStatus(stopped, failed, m_copyComplete));
        if (lost) {
            m_resume->Offer(std::move(cut));
            LogMessage(QStringLiteral("The copy was cut off; once the server is back, Resume sends the rest"));
        } else if (!sending && before) {
            m_resume->Offer(*before);
        }
        PaintFrame();
        if (stopped == SendControl::Reason::None)
            m_notifier.CopySent(m_copyComplete, SessionRows().value(selectedRow).value(0));
        if (stopped == SendControl::Reason::Closing)
            QTimer::singleShot(0, this, &QWidget::close);
    });
    OutgoingCopy copy(m_roles, *this);
    try {
        if (!copy.Join(selectedRow))
            return;
    } catch (const JoinError& error) {
        // The log keeps the service's words; the user reads plain ones.
        LogMessage(error.message());
        ShowError(JoinFailureText(error, SessionRows().value(selectedRow).value(0))
                  + QStringLiteral("\n\nClose this panel to search the network again, or press Refresh List."));
        return;
    }
    if (!AskForPairingCode(this, copy, code))
        return;
    SendingEngine& engine = copy.Start(m_settings.Blocksize, m_settings.Encrypt);
    sending = true;
    try {
        sendCopy(engine, selected);
    } catch (const AppError& error) {
        lost = CarriesResume(engine.Extension()) && (engine.ConnectionWasLost() || IsConnectionLost(error));
        throw;
    }
    failed = false;
}

void TMainWindow::sendCopy(SendingEngine& engine, const QStringList& selected)
{
    engine.FilesToSend() = FilesToSend;
    const auto keepList = qScopeGuard([&] { FilesToSend = engine.FilesToSend(); });
    try {
        engine.StartCopy(selected);
    } catch (const SendControl::Stopped& stopped) {
        engine.CloseCurrentFile();
        LogMessage(stopped.reason == SendControl::Reason::Closing
                       ? QStringLiteral("Copy cancelled: the window is closing")
                       : QStringLiteral("Copy stopped by the user"));
        // The server hears at once that the client has gone and discards the cut-off file.
        m_roles.ReleaseNetworking();
    } catch (...) {
        engine.CloseCurrentFile();
        throw;
    }
}

void TMainWindow::CloseWithoutAsking()
{
    m_closeWithoutAsking = true;
    close();
}

void TMainWindow::ChooseFiles(const QStringList& paths)
{
    FilesToSend = m_chooser->Choose(paths);
    FileListBox1->setFocus();
}

// The session is left and its receiving side ends; a file cut off is discarded.
void TMainWindow::endServing()
{
    Panel2->ShowHosting(QString(), QString());
    const bool serving = m_hosted.Serving();
    m_hosted.End();
    if (serving)
        PaintFrame();
}

// ---------------------------------------------------------------------------------------
// Handlers

void TMainWindow::Button1Click()
{
    if (ServerList->selectedItems().isEmpty()) {
        showInformation(QStringLiteral("Please select a server to connect to!"));
        return;
    }
    if (FileListBox1->SelectedNames().isEmpty()) {
        showInformation(QStringLiteral("You have to select a file to copy!"));
        return;
    }
    const QString folder = DirTree1->SelectedPath();
    if (folder.isEmpty() || folder == QLatin1String("?")) {
        showInformation(QStringLiteral("You have to select a destination folder!"));
        return;
    }
    DisableControls();
    Panel2->show();
    StartCopy(ServerList->indexOfTopLevelItem(ServerList->selectedItems().constFirst()));
}

void TMainWindow::Button3Click()
{
    DisableControls();
    Panel2->show();
    HostSession(QString(), QString());
}

void TMainWindow::Button5Click()
{
    // A viewer that cannot load the log is not shown; its error box says why.
    auto viewer = std::make_unique<TProtocolViewer>(this);
    viewer->LoadLog(m_log, m_settings);
    viewer->exec();
}

void TMainWindow::Button6Click()
{
    ActOnWizard(RunWizard(*this, this));
}

void TMainWindow::ActOnWizard(const WizardChoice& choice)
{
    if (choice.files)
        FilesToSend = *choice.files;
    switch (choice.action) {
    case WizardChoice::Action::Host:
        DisableControls();
        Panel2->show();
        HostSession(choice.label, choice.directory, choice.code);
        break;
    case WizardChoice::Action::Copy:
        DisableControls();
        Panel2->show();
        StartCopy(choice.sessionRow, choice.code);
        break;
    case WizardChoice::Action::None:
        break;
    }
}

void TMainWindow::Preferences1Click()
{
    const TTransport before = m_settings.Transport;
    {
        TPreferencesDlg dialog(m_settings, m_store, this);
        dialog.OnConnectionSettingsChanged = [this] { ResetTransferView(); };
        dialog.OnHelp = [&dialog] { HelpBrowser::ShowContext(200, &dialog); };
        dialog.exec();
    }
    ApplyFileSettings(m_settings);
    if (m_settings.Transport != before) {
        m_roles.ReleaseNetworking();
        if (!InitNetworking())
            m_roles.ShowTransportHint();
        else
            SearchSessions(); // the rows of the old transport cannot be joined
    }
}

void TMainWindow::Contents1Click()
{
    HelpBrowser::ShowContext(10, this);
}

void TMainWindow::About1Click()
{
    auto about = std::make_unique<TAboutDlg>(this);
    about->exec();
}

void TMainWindow::DirTree1Change()
{
    const QString folder = DirTree1->SelectedPath();
    if (folder.isEmpty() || folder == QLatin1String("?"))
        return;
    FileListBox1->SetDirectory(folder);
}

void TMainWindow::ClosePanelBtnClick()
{
    if (m_send->Running()) {
        m_send->AskToStop(SendControl::Reason::User);
        return;
    }
    m_resume->Withdraw();
    endServing();
    EnableControls();
    ResetTransferView();
    Panel2->hide();
    // A failure is in the log; no box here. The new endpoint searches again, so that the
    // list offers only sessions it can join.
    if (InitNetworking())
        SearchSessions();
}

void TMainWindow::ResumeBtnClick()
{
    if (!m_resume->Offered() || m_send->Running() || !SearchDone())
        return;
    // The endpoint that lost its session is made anew, searching where the copy's search did:
    // the server knows what it kept by the address the copy comes from.
    LogMessage(QStringLiteral("Looking for \"%1\" again").arg(m_resume->Offered()->label));
    m_roles.SetTransport(m_settings.Transport);
    if (!m_roles.InitNetworking(m_roles.SearchHost())) {
        m_roles.ShowTransportHint();
        return;
    }
    m_resume->SearchStarted();
    SearchSessions();
}

void TMainWindow::resumeSearchEnded()
{
    // The panel stays up: the search gave the window's controls back for a moment only.
    DisableControls();
    if (!m_resume->Offered())
        return;
    const CopyResume::Copy cut = *m_resume->Offered();
    const int row = m_resume->FindRow(m_roles.SessionList().get());
    if (row < 0) {
        const QString text = QStringLiteral("The session \"%1\" was not found. Start its server again, then press "
                                            "Resume; or close this panel.")
                                 .arg(cut.label);
        LogMessage(text);
        ShowError(text);
        Panel2->ResumeBtn->setFocus();
        return;
    }
    ServerList->setCurrentItem(ServerList->topLevelItem(row));
    FilesToSend = cut.files;
    sendTo(row, std::nullopt, cut.selected);
}

// ---------------------------------------------------------------------------------------
// Window events

bool TMainWindow::event(QEvent* event)
{
    if (event->type() == QEvent::WindowActivate)
        FerrowardenApplication::Guarded([this] { FormActivate(); })();
    else if (event->type() == QEvent::WindowDeactivate)
        FormDeactivate();
    else if (event->type() == QEvent::ApplicationPaletteChange)
        Panel2->PaintStatusStrip();
    return QMainWindow::event(event);
}

void TMainWindow::FormActivate()
{
    if (FirstActivation && m_settings.AutoSearch) {
        FirstActivation = false;
        SearchSessions();
        if (ServerList->topLevelItemCount() == 0)
            Button1->setEnabled(false);
        return;
    }
    if (Panel2->isVisible())
        Panel2->PaintStatusStrip();
}

void TMainWindow::FormDeactivate()
{
    if (Panel2->isVisible())
        Panel2->PaintStatusStrip();
}

void TMainWindow::closeEvent(QCloseEvent* event)
{
    if (m_send->Running()) {
        // The copy that runs inside a handler stops at its next chance, once the user has
        // confirmed it (a signal does not ask); the window closes as soon as it has.
        if (m_closeWithoutAsking)
            m_send->Stop(SendControl::Reason::Closing);
        else
            m_send->AskToStop(SendControl::Reason::Closing);
        event->ignore();
        return;
    }
    try {
        m_log.CloseLogFile();
    } catch (const AppError& error) {
        QMessageBox::critical(this, QStringLiteral("Ferrowarden"), error.message());
    }
    m_chooser->StoreFolder(m_registry, FormPosition1.KeyPath());
    // The session is left before the window goes, so that a client sees it lost at once.
    endServing();
    event->accept();
}

void TMainWindow::showInformation(const QString& text)
{
    QMessageBox::information(this, QStringLiteral("Ferrowarden"), text);
}

// ---------------------------------------------------------------------------------------
// Views

void TMainWindow::SearchStarted()
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
    DisableControls();
    Panel4->show();
    Panel4->raise();
}

void TMainWindow::SearchEnded()
{
    EnableControls();
    QApplication::restoreOverrideCursor();
    Panel4->hide();
    // The rows follow this call: once they are in, the list takes the focus and a session
    // found alone is selected, so that Start Copy is one key away; or Resume goes on.
    if (m_resume->SearchEnded())
        QTimer::singleShot(0, this, FerrowardenApplication::Guarded([this] { resumeSearchEnded(); }));
    else
        QTimer::singleShot(0, this, &TMainWindow::selectOnlySession);
}

void TMainWindow::selectOnlySession()
{
    if (!ServerList->isEnabled())
        return;
    if (ServerList->topLevelItemCount() == 1)
        ServerList->setCurrentItem(ServerList->topLevelItem(0));
    ServerList->setFocus();
}

void TMainWindow::ClearSessionRows()
{
    ServerList->clear();
}

void TMainWindow::AddSessionRow(const QString& name, const QString& directory)
{
    auto* row = new QTreeWidgetItem(ServerList, {name, directory});
    row->setToolTip(1, directory);
}

void TMainWindow::SetCopyEnabled(bool enabled)
{
    Button1->setEnabled(enabled);
}

void TMainWindow::ShowError(const QString& text)
{
    QMessageBox::critical(this, QStringLiteral("Ferrowarden"), text);
}

void TMainWindow::ShowMessage(const QString& text)
{
    QMessageBox::information(this, QStringLiteral("Ferrowarden"), text);
}

void TMainWindow::SessionEventArrived(const SessionEvent& event)
{
    // The copy under way has closed its file or ended its wait already.
    PaintFrame();
    if (event.kind == SessionEvent::Kind::ClientJoined)
        m_client = event.client;
    else if (const ReceivingEngine* engine = m_hosted.Engine(); engine && event.kind == SessionEvent::Kind::ClientLeft)
        m_notifier.CopyArrived(engine->Summary(), m_client, Panel2->HostedFolder());
}

void TMainWindow::ShowCaption(const QString& text)
{
    setWindowTitle(text);
    m_copyComplete = text == QLatin1String("Transmission complete!");
}

void TMainWindow::ProcessEvents()
{
    PaintFrame();
    if (m_send->Running())
        m_send->Poll();
    else
        QCoreApplication::processEvents();
}

void TMainWindow::WaitForAnswers(int milliseconds, const std::function<bool()>& done)
{
    m_send->Wait(milliseconds, done, [this] { PaintFrame(); });
}

void TMainWindow::AppendToLastLine(const QString& text)
{
    Panel2->AppendToLastLine(text);
}

// A copy sent inside a handler lets the window repaint itself once a frame and take the
// close request and Cancel.
void TMainWindow::frameChanged(bool painted)
{
    if (painted && m_send->Running())
        m_send->Poll();
}

void TMainWindow::PaintFrame()
{
    Panel2->PaintFrame();
}
