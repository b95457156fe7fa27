#include "app/tmainwindow.h"

#include "app/about.h"
#include "app/ferrowardenapplication.h"
#include "app/helpbrowser.h"
#include "app/logview.h"
#include "app/tconwizard.h"
#include "bridge/computername.h"
#include "bridge/outgoingcopy.h"
#include "platform/apperror.h"
#include "settings/ui/preferences.h"
#include "transfer/sendingengine.h"
#include "widgets/filelistbox.h"
#include "widgets/tdirtree.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QScreen>
#include <QPushButton>
#include <QScopeGuard>
#include <QToolButton>
#include <QTreeWidget>

namespace {

// A frame of the display: repaints wait at most this long.
constexpr int kFrameMilliseconds = 16;

// The copy stops because the window is being closed.
struct CopyCancelled {};

} // namespace

TMainWindow::TMainWindow(QWidget* parent)
    : QMainWindow(parent),
      m_computerName(ReadComputerName()),
      m_store(m_registry),
      m_settings(LoadSettings(m_store)),
      m_log(m_settings, m_computerName, this),
      m_roles(this, *this, m_computerName)
{
    setObjectName(QStringLiteral("MainWindow"));
    setWindowTitle(QStringLiteral("Ferrowarden 2.0"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                   | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    BuildControls(this);
    PaintStatusStrip();
    moveOntoScreen(QPoint(368, 268));
    FormPosition1.Depot = TFormPosition::dpRegistry;
    FormPosition1.RestoreBeforeShow(); // on the frame, where it was stored from
    applyFileSettings();

    m_frameTimer.setSingleShot(true);
    m_frameTimer.setInterval(kFrameMilliseconds);
    connect(&m_frameTimer, &QTimer::timeout, this, &TMainWindow::PaintFrame);
    m_frameClock.start();
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

    // FormCreate
    m_log.OpenLogFile();
    if (!InitNetworking())
        m_roles.ShowTransportHint();
    FilesToSend.clear();
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
}

void TMainWindow::applyFileSettings()
{
    FileListBox1->SetShowHidden(m_settings.ExtFileList);
    TDirTree::TDirTypes types = TDirTree::TDirTypes(TDirTree::dtNormal) | TDirTree::dtAll;
    if (m_settings.ExtFileList)
        types |= TDirTree::TDirTypes(TDirTree::dtHidden) | TDirTree::dtSystem;
    DirTree1->SetDirTypes(types);
    GroupBox2->setVisible(m_settings.ShowMessages);
}

// ---------------------------------------------------------------------------------------
// Shared operations

void TMainWindow::DisableControls()
{
    for (QWidget* control : std::initializer_list<QWidget*>{Button1, Button3, Button5, Button6, Button7,
                                                            Button8, DirTree1, FileListBox1, ServerList})
        control->setEnabled(false);
    File1->menuAction()->setEnabled(false);
    Help1->menuAction()->setEnabled(false);
}

void TMainWindow::EnableControls()
{
    for (QWidget* control : std::initializer_list<QWidget*>{Button1, Button3, Button5, Button6, Button7,
                                                            Button8, DirTree1, FileListBox1, ServerList})
        control->setEnabled(true);
    File1->menuAction()->setEnabled(true);
    Help1->menuAction()->setEnabled(true);
}

void TMainWindow::ResetTransferView()
{
    FilesToSend.clear();
    m_frame = Frame{};
    ThisFileProgBar->setValue(0);
    TotalProgBar->setValue(0);
    PacksSent->setText(QStringLiteral("0"));
    PacksReceived->setText(QStringLiteral("0"));
    Label2->clear();
    DebugMsgList->clear();
}

// ---------------------------------------------------------------------------------------
// Networking and roles

bool TMainWindow::InitNetworking()
{
    m_roles.SetTransport(m_settings.Transport);
    return m_roles.InitNetworking();
}

void TMainWindow::SearchSessions()
{
    m_roles.SearchSessions();
}

void TMainWindow::HostSession(const QString& label, const QString& directory)
{
    HostOptions options{label, directory, DirTree1->SelectedPath()};
    options.keepPartials = m_settings.KeepPartials;
    m_hosted.Host(options);
}

void TMainWindow::StartCopy(int selectedRow)
{
    // The panel's close button stays disabled while the copy is prepared and sent: the
    // copy needs the endpoint that closing the panel would free.
    m_copyRunning = true;
    m_closeRequested = false;
    ClosePanelBtn->setEnabled(false);
    const auto finished = qScopeGuard([this] {
        m_copyRunning = false;
        ClosePanelBtn->setEnabled(true);
        PaintFrame();
        if (m_closeRequested)
            QTimer::singleShot(0, this, &QWidget::close);
    });

    OutgoingCopy copy(m_roles, *this);
    if (!copy.Join(selectedRow))
        return;
    sendCopy(copy.Start(m_settings.Blocksize, m_settings.Encrypt));
}

void TMainWindow::sendCopy(SendingEngine& engine)
{
    engine.FilesToSend() = FilesToSend;
    const auto keepList = qScopeGuard([&] { FilesToSend = engine.FilesToSend(); });

    QString folder = DirTree1->SelectedPath();
    if (folder == QLatin1String("?"))
        folder.clear();
    QStringList selected;
    for (const QString& name : FileListBox1->SelectedNames())
        selected << folder + name;

    try {
        engine.StartCopy(selected);
    } catch (const CopyCancelled&) {
        engine.CloseCurrentFile();
        LogMessage(QStringLiteral("Copy cancelled: the window is closing"));
    } catch (...) {
        engine.CloseCurrentFile();
        throw;
    }
}

// The session is left and its receiving side ends; a file cut off is discarded.
void TMainWindow::endServing()
{
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

void TMainWindow::Button8Click()
{
    SearchSessions();
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
    RunWizard(*this);
}

void TMainWindow::Button7Click()
{
    close();
}

void TMainWindow::Exit1Click()
{
    close();
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
    applyFileSettings();
    if (m_settings.Transport != before) {
        m_roles.ReleaseNetworking();
        if (!InitNetworking())
            m_roles.ShowTransportHint();
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
    endServing();
    EnableControls();
    ResetTransferView();
    Panel2->hide();
    InitNetworking(); // a failure is in the log; no box here
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
        PaintStatusStrip();
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
        PaintStatusStrip();
}

void TMainWindow::FormDeactivate()
{
    if (Panel2->isVisible())
        PaintStatusStrip();
}

void TMainWindow::closeEvent(QCloseEvent* event)
{
    if (m_copyRunning) {
        // The copy that runs inside a handler stops at its next chance; the window closes
        // as soon as it has.
        m_closeRequested = true;
        event->ignore();
        return;
    }
    try {
        m_log.CloseLogFile();
    } catch (const AppError& error) {
        QMessageBox::critical(this, QStringLiteral("Ferrowarden"), error.message());
    }
    // The session is left before the window goes, so that a client sees it lost at once.
    endServing();
    event->accept();
}

// Opens at `position`, moved in as far as needed for the whole window to be on the screen.
void TMainWindow::moveOntoScreen(QPoint position)
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) {
        move(position);
        return;
    }
    // Room for the window manager's frame and title bar, which are not known before showing.
    const QRect available = screen->availableGeometry().adjusted(0, 0, -8, -32);
    position.setX(std::max(available.left(), std::min(position.x(), available.right() + 1 - width())));
    position.setY(std::max(available.top(), std::min(position.y(), available.bottom() + 1 - height())));
    move(position);
}

void TMainWindow::showInformation(const QString& text)
{
    QMessageBox::information(this, QStringLiteral("Ferrowarden"), text);
}

// ---------------------------------------------------------------------------------------
// Views

void TMainWindow::LogMessage(const QString& text)
{
    m_log.LogMessage(text);
}

void TMainWindow::LogError(const QString& text)
{
    m_log.LogError(text);
}

void TMainWindow::LogAppend(const QString& text)
{
    m_log.LogAppend(text);
}

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

void TMainWindow::ShowStatus(const QString& caption)
{
    m_frame.status = caption;
    frameChanged();
}

void TMainWindow::ShowError(const QString& text)
{
    QMessageBox::critical(this, QStringLiteral("Ferrowarden"), text);
}

void TMainWindow::ShowMessage(const QString& text)
{
    QMessageBox::information(this, QStringLiteral("Ferrowarden"), text);
}

void TMainWindow::SystemMessageArrived(DWORD)
{
    // The copy under way has closed its file or ended its wait already.
    PaintFrame();
}

void TMainWindow::ShowFileName(const QString& name)
{
    m_frame.fileName = name;
    frameChanged();
}

void TMainWindow::ShowFileCounter(const QString& caption)
{
    m_frame.fileCounter = caption;
    frameChanged();
}

void TMainWindow::SetFileProgress(int percent)
{
    m_frame.filePercent = percent;
    frameChanged();
}

void TMainWindow::SetTotalProgress(int percent)
{
    m_frame.totalPercent = percent;
    frameChanged();
}

void TMainWindow::ShowReceivedPackets(qint64 count)
{
    m_frame.receivedPackets = count;
    frameChanged();
}

void TMainWindow::ShowSentPackets(qint64 count)
{
    m_frame.sentPackets = count;
    frameChanged();
}

void TMainWindow::ShowCaption(const QString& text)
{
    setWindowTitle(text);
}

void TMainWindow::ProcessEvents()
{
    PaintFrame();
    QCoreApplication::processEvents();
    if (m_closeRequested)
        throw CopyCancelled{};
}

void TMainWindow::WaitForAnswers(int milliseconds, const std::function<bool()>& done)
{
    // Between files only what has come in; repaints keep to the frame rate.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    if (!done() && milliseconds > 0 && !m_closeRequested) {
        PaintFrame();
        // Every answer comes as an event, and so does the end of the wait: each wakes this.
        QTimer deadline;
        deadline.setSingleShot(true);
        deadline.start(milliseconds);
        while (!done() && deadline.isActive() && !m_closeRequested)
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents | QEventLoop::WaitForMoreEvents);
        PaintFrame();
    }
    if (m_closeRequested)
        throw CopyCancelled{};
}

void TMainWindow::AddLine(const QString& text)
{
    DebugMsgList->addItem(text);
    m_frame.newLines = true;
    frameChanged();
}

void TMainWindow::AppendToLastLine(const QString& text)
{
    if (DebugMsgList->count() == 0)
        return;
    QListWidgetItem* last = DebugMsgList->item(DebugMsgList->count() - 1);
    last->setText(last->text() + text);
}

// A change waits for the next frame; a copy sent inside a handler lets the window repaint
// itself once a frame, without taking user input.
void TMainWindow::frameChanged()
{
    if (m_frameClock.elapsed() >= kFrameMilliseconds) {
        PaintFrame();
        if (m_copyRunning) {
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
            if (m_closeRequested)
                throw CopyCancelled{};
        }
    } else if (!m_frameTimer.isActive()) {
        m_frameTimer.start();
    }
}

void TMainWindow::PaintFrame()
{
    m_frameTimer.stop();
    m_frameClock.restart();
    Frame frame = std::exchange(m_frame, Frame{});
    if (frame.fileName)
        Label2->setText(*frame.fileName);
    if (frame.fileCounter)
        Label5->setText(*frame.fileCounter);
    if (frame.status)
        Panel3->setText(*frame.status);
    if (frame.filePercent)
        ThisFileProgBar->setValue(*frame.filePercent);
    if (frame.totalPercent)
        TotalProgBar->setValue(*frame.totalPercent);
    if (frame.sentPackets)
        PacksSent->setText(QString::number(*frame.sentPackets));
    if (frame.receivedPackets)
        PacksReceived->setText(QString::number(*frame.receivedPackets));
    if (frame.newLines && DebugMsgList->count() > 0) {
        DebugMsgList->setCurrentRow(DebugMsgList->count() - 1);
        DebugMsgList->scrollToBottom();
    }
}
