#include "app/tconwizard.h"

#include "app/dialoggeometry.h"
#include "app/ferrowardenapplication.h"
#include "app/helpbrowser.h"
#include "app/separatoraccessibility.h"
#include "app/wizardparts.h"
#include "app/wizardpicture.h"
#include "app/wizardsessions.h"
#include "net/sessionroles.h"
#include "widgets/designscale.h"
#include "widgets/filelistbox.h"
#include "widgets/tdirtree.h"
#include "widgets/tlsfilelistview.h"

#include <QButtonGroup>
#include <QEventLoop>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSplitter>
#include <QStackedWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

using namespace WizardParts;

namespace {

constexpr int kNameMinimum = 4;   // characters
constexpr int kNameMaximum = 126; // the edit box takes no more

const char* const kCaptions[TConWizard::kPageCount] = {
    "Choose your PC's role",           "Server - Choose session name",        "Server - Choose target directory",
    "Server - Ready for transmission", "Client - Search and choose a server", "Client - Select files",
    "Client - Ready for Transmission",
};
const int kHelpContexts[TConWizard::kPageCount] = {100, 111, 112, 113, 115, 116, 117};

} // namespace

QString TConWizard::PageCaption(int page)
{
    return QString::fromLatin1(kCaptions[page]);
}

int TConWizard::HelpContext(int page)
{
    return kHelpContexts[page];
}

TConWizard::TConWizard(WizardSessions& sessions, QWidget* parent) : QDialog(parent), m_sessions(sessions)
{
    setObjectName(QStringLiteral("ConWizard"));
    setWindowTitle(QStringLiteral("Ferrowarden Connection Wizard"));
    const QSize pictureSize = ScaledDesignSize(*this, QSize(105, 249));
    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setAccessibleName(QStringLiteral("Two PCs copying a file"));
    Image1->setPixmap(PaintWizardPicture(pictureSize, palette(), devicePixelRatioF()));
    Image1->setFixedSize(pictureSize);
    Image1->setFrameShape(QFrame::StyledPanel);

    Panel1 = new QLabel(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    QFont bold = Panel1->font();
    bold.setBold(true);
    Panel1->setFont(bold);
    Panel1->setAutoFillBackground(true);
    Panel1->setBackgroundRole(QPalette::Mid);
    Panel1->setMargin(4);

    Notebook1 = new QStackedWidget(this);
    Notebook1->setObjectName(QStringLiteral("Notebook1"));
    for (int page = 0; page < kPageCount; ++page)
        Notebook1->addWidget(buildPage(page));
    for (QTreeWidget* list : {ListView1, ListView2})
        list->header()->setStretchLastSection(true);

    Bevel1 = new QFrame(this);
    Bevel1->setObjectName(QStringLiteral("Bevel1"));
    Bevel1->setFrameShape(QFrame::HLine);
    Bevel1->setFrameShadow(QFrame::Sunken);

    Button1 = new QPushButton(QStringLiteral("< &Previous"), this);
    Button2 = new QPushButton(QStringLiteral("&Next >"), this);
    Button4 = new QPushButton(QStringLiteral("&Close"), this);
    Button3 = new QPushButton(QStringLiteral("&Help"), this);
    const char* buttonNames[] = {"Button1", "Button2", "Button4", "Button3"};
    int index = 0;
    for (QPushButton* button : {Button1, Button2, Button4, Button3}) {
        button->setObjectName(QLatin1String(buttonNames[index++]));
        button->setAutoDefault(false);
    }
    Button1->setEnabled(false);
    Button2->setDefault(true); // Enter goes on, as in any wizard

    auto* pageColumn = new QVBoxLayout;
    pageColumn->addWidget(Panel1);
    pageColumn->addWidget(Notebook1, 1);
    auto* top = new QHBoxLayout;
    top->addWidget(Image1, 0, Qt::AlignTop);
    top->addLayout(pageColumn, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    for (QPushButton* button : {Button1, Button2, Button4, Button3})
        buttons->addWidget(button);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top, 1);
    layout->addWidget(Bevel1);
    layout->addLayout(buttons);

    const auto guarded = [this](void (TConWizard::*handler)()) {
        return FerrowardenApplication::Guarded([this, handler] { (this->*handler)(); });
    };
    connect(Button1, &QPushButton::clicked, this, guarded(&TConWizard::Button1Click));
    connect(Button2, &QPushButton::clicked, this, guarded(&TConWizard::Button2Click));
    connect(Button3, &QPushButton::clicked, this, guarded(&TConWizard::Button3Click));
    connect(Button4, &QPushButton::clicked, this, &QDialog::reject);
    connect(Button5, &QPushButton::clicked, this, guarded(&TConWizard::Button5Click));
    connect(SessionNameEdit, &QLineEdit::textChanged, this, guarded(&TConWizard::SessionNameEditChange));
    connect(DirTree1, &TDirTree::OnChange, this, guarded(&TConWizard::DirTree1Change));
    connect(DirTree2, &TDirTree::OnChange, this, guarded(&TConWizard::DirTree2Change));
    connect(SourceFileList, &QListWidget::itemSelectionChanged, this, guarded(&TConWizard::SourceFileListClick));

    setFixedSize(ScaledDesignSize(*this, QSize(513, 311)).expandedTo(sizeHint()));
    CenterOnScreen(this);

    // Opening
    ConnectPressed = false;
    ShowPage(0);
}

QWidget* TConWizard::buildPage(int page)
{
    switch (page) {
    case 0:
        return rolePage();
    case 1:
        return namePage();
    case 2:
        return targetPage();
    case 3:
        return serverSummaryPage();
    case 4:
        return searchPage();
    case 5:
        return filesPage();
    default:
        return clientReadyPage();
    }
}

QWidget* TConWizard::rolePage()
{
    auto* page = new QWidget;
    Label1 = text(page, "Label1",
                  QStringLiteral("Before you start you have to choose what you want your PC to do. There are "
                                 "two possibilities:\n\n   - Server (receive data)\n   - Client (send date)\n\n"
                                 "To select the role please click on the corresponding box at the bottom."));
    ServerRadio = new QRadioButton(QStringLiteral("Server"), page);
    ServerRadio->setObjectName(QStringLiteral("ServerRadio"));
    ClientRadio = new QRadioButton(QStringLiteral("Client"), page);
    ClientRadio->setObjectName(QStringLiteral("ClientRadio"));
    ServerRadio->setChecked(true);
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(Label1);
    layout->addStretch(1);
    auto* radios = new QHBoxLayout;
    radios->addWidget(ServerRadio);
    radios->addWidget(ClientRadio);
    radios->addStretch(1);
    layout->addLayout(radios);
    return page;
}

QWidget* TConWizard::namePage()
{
    auto* page = new QWidget;
    Label3 = text(page, "Label3",
                  QStringLiteral("Now you have to choose a name for the Ferrowarden session that your computer "
                                 "will host. With this it can be identified by other PC's. The name must have at "
                                 "least 4 letters and can include up to 128 letters."));
    auto* caption = new QLabel(QStringLiteral("Sessionname:"), page);
    SessionNameEdit = new QLineEdit(page);
    SessionNameEdit->setObjectName(QStringLiteral("SessionNameEdit"));
    SessionNameEdit->setMaxLength(kNameMaximum);
    SessionNameEdit->setAccessibleName(QStringLiteral("Session name"));
    caption->setBuddy(SessionNameEdit);
    NameProblem = text(page, "NameProblem", QString());
    NameProblem->hide();
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(heading(page, true));
    layout->addWidget(Label3);
    auto* row = new QHBoxLayout;
    row->addWidget(caption);
    row->addWidget(SessionNameEdit, 1);
    layout->addLayout(row);
    layout->addWidget(NameProblem);
    layout->addStretch(1);
    return page;
}

QWidget* TConWizard::targetPage()
{
    auto* page = new QWidget;
    Label6 = text(page, "Label6",
                  QStringLiteral("Now you have to select the directory where the incoming files will be placed "
                                 "in. Please remember that there has to be enough available disk space on the "
                                 "drivve on which the directory is located and that existing files will be "
                                 "overwritten by ones with the same name."));
    auto* split = new QSplitter(Qt::Horizontal, page);
    DirTree1 = new TDirTree(split);
    DirTree1->setObjectName(QStringLiteral("DirTree1"));
    DirTree1->setAccessibleName(QStringLiteral("Target folder"));
    LsFileListView1 = new TLsFileListView(split);
    LsFileListView1->setObjectName(QStringLiteral("LsFileListView1"));
    LsFileListView1->setAccessibleName(QStringLiteral("Contents of the target folder"));
    LsFileListView1->SetViewStyle(TLsFileListView::vsSmallIcon);
    LsFileListView1->SetMultiSelect(false);
    split->setChildrenCollapsible(false);
    NameSplitterHandles(split, {QStringLiteral("Divider between folders and their contents")});
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(heading(page, true));
    layout->addWidget(Label6);
    layout->addWidget(split, 1);
    return page;
}

QWidget* TConWizard::serverSummaryPage()
{
    auto* page = new QWidget;
    Label9 = text(page, "Label9",
                  QStringLiteral("Your PC is now ready to await a data transmission. If you want to review the "
                                 "selected options please check in the box below. If there's anything wrong go "
                                 "back by using the \"< &Previous\" button and change whatever you want to. If "
                                 "everything is all right click on the \"Connect\" button to start the server."));
    // The button's name as the button shows it: its mnemonic underlined, not an "&".
    Label9->setTextFormat(Qt::RichText);
    Label9->setText(Label9->text().toHtmlEscaped().replace(QRegularExpression(QStringLiteral("&amp;(\\w)")),
                                                           QStringLiteral("<u>\\1</u>")));
    ListView1 = reportList(page, "ListView1", {QStringLiteral("Option"), QStringLiteral("Value")}, {100, 240},
                           DesignScale(*this));
    ListView1->setAccessibleName(QStringLiteral("Server settings"));
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(heading(page, true));
    layout->addWidget(Label9);
    layout->addWidget(ListView1, 1);
    return page;
}

QWidget* TConWizard::searchPage()
{
    auto* page = new QWidget;
    Label12 = text(page, "Label12",
                   QStringLiteral("Before you can start to copy files with Ferrowarden you have to select a server "
                                  "to which you want to transmit your data. In order to choose one you have to "
                                  "start a server session on the target PC. If the desired computer is in the "
                                  "list select it and click the \"Next >\"  button. If not, start a Ferrowarden "
                                  "server session on it and click on the refresh button."));
    ListView2 = reportList(page, "ListView2", {QStringLiteral("Name"), QStringLiteral("Target Directory")}, {160, 180},
                           DesignScale(*this));
    ListView2->setAccessibleName(QStringLiteral("Sessions found"));
    Label15 = new QLabel(QStringLiteral("Searching..."), page);
    Label15->setObjectName(QStringLiteral("Label15"));
    Label15->hide();
    Button5 = new QPushButton(QStringLiteral("&Refresh"), page);
    Button5->setObjectName(QStringLiteral("Button5"));
    Button5->setAutoDefault(false);
    Button5->setEnabled(false);
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(heading(page, false));
    layout->addWidget(Label12);
    layout->addWidget(ListView2, 1);
    auto* row = new QHBoxLayout;
    row->addWidget(Label15, 1);
    row->addWidget(Button5);
    layout->addLayout(row);
    return page;
}

QWidget* TConWizard::filesPage()
{
    auto* page = new QWidget;
    Label13 = text(page, "Label13",
                   QStringLiteral("Now that you have chosen a server you have to select the files you wish to copy. "
                                  "Choose the directory in which they are located in the directory treeview on the "
                                  "left and afterwards select the desired files."));
    auto* split = new QSplitter(Qt::Horizontal, page);
    DirTree2 = new TDirTree(split);
    DirTree2->setObjectName(QStringLiteral("DirTree2"));
    DirTree2->setAccessibleName(QStringLiteral("Folder of the files to send"));
    SourceFileList = new FileListBox(split);
    SourceFileList->setObjectName(QStringLiteral("SourceFileList"));
    SourceFileList->setAccessibleName(QStringLiteral("Files to send"));
    SourceFileList->SetMultiSelect(true);
    split->setChildrenCollapsible(false);
    NameSplitterHandles(split, {QStringLiteral("Divider between folders and files")});
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(heading(page, false));
    layout->addWidget(Label13);
    layout->addWidget(split, 1);
    return page;
}

QWidget* TConWizard::clientReadyPage()
{
    auto* page = new QWidget;
    Label14 = text(page, "Label14",
                   QStringLiteral("You have completed the configuration. By clicking on the \"Connect\" button you "
                                  "can now establish a connection to the selected server and commence the copy "
                                  "progress."));
    auto* caption = new QLabel(QStringLiteral("Pairing code (only if the server asks for one):"), page);
    PairingCodeEdit = new QLineEdit(page);
    PairingCodeEdit->setObjectName(QStringLiteral("PairingCodeEdit"));
    PairingCodeEdit->setAccessibleName(QStringLiteral("Pairing code"));
    PairingCodeEdit->setPlaceholderText(QStringLiteral("such as 4829-1375"));
    caption->setBuddy(PairingCodeEdit);
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(heading(page, false));
    layout->addWidget(Label14);
    layout->addStretch(1);
    auto* row = new QHBoxLayout;
    row->addWidget(caption);
    row->addWidget(PairingCodeEdit, 1);
    layout->addLayout(row);
    return page;
}

void TConWizard::addPairingRow()
{
    if (!m_sessions.HostRequiresPairing())
        return;
    m_hostCode = m_hostCode ? m_hostCode : PairingCode::Make();
    new QTreeWidgetItem(ListView1, {QStringLiteral("Pairing Code"), m_hostCode->text()});
}

bool TConWizard::pairingCodeUsable()
{
    if (PairingCodeEdit->text().trimmed().isEmpty() || PairingCode::FromTyped(PairingCodeEdit->text()))
        return true;
    QMessageBox::information(
        this, QStringLiteral("Ferrowarden"),
        QStringLiteral("That is no pairing code: give the "
                       "eight digits the server shows (such as 4829-1375), or leave the field empty."));
    PairingCodeEdit->setFocus();
    return false;
}

void TConWizard::setNextCaption(const QString& caption)
{
    Button2->setText(caption);
    // "&Connect" and "&Close" share their mnemonic, which would only move the focus between
    // them: Alt+C presses Connect, the page's action; Close keeps Tab and Escape.
    const bool connect = caption == QLatin1String("&Connect");
    Button4->setShortcut(connect ? QKeySequence() : QKeySequence::mnemonic(Button4->text()));
}

void TConWizard::ShowPage(int page)
{
    Notebook1->setCurrentIndex(page);
    Panel1->setText(QLatin1Char(' ') + PageCaption(page));
    if (page == 4)
        Button5Click();
}

void TConWizard::Button2Click()
{
    switch (Notebook1->currentIndex()) {
    case 0:
        Button1->setEnabled(true);
        if (ServerRadio->isChecked()) {
            ShowPage(1);
            Button2->setEnabled(false);
            SessionNameEdit->setFocus();
        } else if (ClientRadio->isChecked()) {
            ShowPage(4);
        }
        break;
    case 1:
        ShowPage(2);
        break;
    case 2: {
        ListView1->clear();
        const QString folder = DirTree1->SelectedPath();
        if (folder.isEmpty() || folder == QLatin1String("?"))
            break; // no folder: the page stays, without a word
        const QString problem = SessionRoles::LabelProblem(SessionNameEdit->text(), folder);
        if (!problem.isEmpty()) {
            QMessageBox::information(this, QStringLiteral("Ferrowarden"), problem);
            break;
        }
        new QTreeWidgetItem(ListView1, {QStringLiteral("Server Name"), SessionNameEdit->text()});
        new QTreeWidgetItem(ListView1, {QStringLiteral("Target Directory"), folder});
        addPairingRow();
        setNextCaption(QStringLiteral("&Connect"));
        ShowPage(3);
        break;
    }
    case 6:
        if (!pairingCodeUsable())
            break;
        [[fallthrough]];
    case 3:
        ConnectPressed = true;
        accept();
        break;
    case 4:
        Button2->setEnabled(false);
        ShowPage(5);
        break;
    case 5: {
        const QStringList names = SourceFileList->SelectedNames();
        if (!names.isEmpty()) {
            const QString folder = DirTree2->SelectedPath();
            m_choice.files = QStringList();
            for (const QString& name : names)
                *m_choice.files << folder + name;
        }
        setNextCaption(QStringLiteral("&Connect"));
        ShowPage(6);
        break;
    }
    }
}

void TConWizard::Button1Click()
{
    switch (Notebook1->currentIndex()) {
    case 1:
    case 4:
        Button1->setEnabled(false);
        Button2->setEnabled(true);
        ShowPage(0);
        break;
    case 2:
        ShowPage(1);
        SessionNameEdit->setFocus();
        break;
    case 3:
        setNextCaption(QStringLiteral("&Next >"));
        ShowPage(2);
        break;
    case 5:
        ShowPage(4);
        break;
    case 6:
        setNextCaption(QStringLiteral("&Next >"));
        ShowPage(5);
        break;
    default:
        break;
    }
}

void TConWizard::Button3Click()
{
    HelpBrowser::ShowContext(HelpContext(Notebook1->currentIndex()), this);
}

void TConWizard::Button5Click()
{
    if (m_searching)
        return; // one search at a time: "Refresh" waits for the running one
    m_searching = true;
    Button2->setEnabled(false);
    Button5->setEnabled(false);
    Label15->setText(QStringLiteral("Searching..."));
    Label15->show();
    try {
        m_sessions.SearchSessions();
    } catch (...) {
        // A search that cannot start has ended: say why, then show what there is.
        FerrowardenApplication::ShowException(std::current_exception());
    }
    // The window stays live while the search runs. The wait ends however the search does,
    // and when the wizard or the main window closes (a search may never end then).
    const QPointer<QWidget> owner = parentWidget();
    const bool ownerShown = owner && owner->isVisible();
    const auto ownerGone = [&] { return ownerShown && (!owner || !owner->isVisible()); };
    QEventLoop wait;
    while (!m_sessions.SearchDone() && !m_closing && !ownerGone())
        wait.processEvents(QEventLoop::WaitForMoreEvents);
    if (ownerGone())
        reject(); // nothing left to drive

    ListView2->clear();
    for (const QStringList& row : m_sessions.SessionRows())
        new QTreeWidgetItem(ListView2, row);
    if (ListView2->topLevelItemCount() == 0) {
        Label15->setText(QStringLiteral("No session found"));
    } else {
        ListView2->setCurrentItem(ListView2->topLevelItem(0));
        ListView2->topLevelItem(0)->setSelected(true);
        Label15->setText(QStringLiteral("%1 sessions found").arg(ListView2->topLevelItemCount()));
        Button2->setEnabled(true);
    }
    Button5->setEnabled(true);
    m_searching = false;
}

void TConWizard::SessionNameEditChange()
{
    const QString name = SessionNameEdit->text();
    const QString problem = SessionRoles::LabelProblem(name, QString());
    NameProblem->setText(problem);
    NameProblem->setVisible(!problem.isEmpty());
    Button2->setEnabled(name.size() >= kNameMinimum && name.size() <= kNameMaximum && problem.isEmpty());
}

void TConWizard::DirTree1Change()
{
    const QString folder = DirTree1->SelectedPath();
    if (folder.isEmpty() || folder == QLatin1String("?"))
        return;
    LsFileListView1->SetDirectory(folder);
}

void TConWizard::DirTree2Change()
{
    const QString folder = DirTree2->SelectedPath();
    if (folder.isEmpty() || folder == QLatin1String("?"))
        return;
    SourceFileList->SetDirectory(folder);
}

void TConWizard::SourceFileListClick()
{
    if (!SourceFileList->SelectedNames().isEmpty())
        Button2->setEnabled(true);
}

void TConWizard::done(int result)
{
    m_closing = true;
    const int page = Notebook1->currentIndex();
    if (page == 3 && ServerRadio->isChecked() && ConnectPressed) {
        m_choice.action = WizardChoice::Action::Host;
        m_choice.label = SessionNameEdit->text();
        m_choice.directory = DirTree1->SelectedPath();
        m_choice.code = m_sessions.HostRequiresPairing() ? m_hostCode : std::nullopt;
    } else if (page == 6 && ClientRadio->isChecked() && ConnectPressed) {
        const QList<QTreeWidgetItem*> selected = ListView2->selectedItems();
        m_choice.action = WizardChoice::Action::Copy;
        m_choice.sessionRow = selected.isEmpty() ? -1 : ListView2->indexOfTopLevelItem(selected.first());
        m_choice.code = PairingCode::FromTyped(PairingCodeEdit->text());
    } else {
        m_choice.action = WizardChoice::Action::None;
    }
    QDialog::done(result);
}

WizardChoice RunWizard(WizardSessions& sessions, QWidget* parent)
{
    TConWizard wizard(sessions, parent);
    wizard.exec();
    return wizard.Choice();
}
