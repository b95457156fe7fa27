#include "app/mainwindowcontrols.h"

#include "app/progresspanel.h"
#include "app/separatoraccessibility.h"
#include "settings/settings.h"
#include "widgets/designscale.h"
#include "widgets/filelistbox.h"
#include "widgets/tdirtree.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QToolButton>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSplitter>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace {

template <typename Widget>
Widget* named(Widget* widget, const char* objectName, const QString& accessibleName)
{
    widget->setObjectName(QLatin1String(objectName));
    widget->setAccessibleName(accessibleName);
    return widget;
}

// A button is named by its caption; what it does goes to its description.
QPushButton* commandButton(QWidget* parent, const char* name, const QString& caption, const QString& purpose)
{
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(QLatin1String(name));
    button->setAccessibleDescription(purpose);
    button->setAutoDefault(false);
    return button;
}

} // namespace

void MainWindowControls::BuildControls(QMainWindow* window)
{
    auto* central = new QWidget(window);
    central->setObjectName(QStringLiteral("MainWindowClient"));
    auto* layout = new QGridLayout(central);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->setHorizontalSpacing(6);
    layout->addWidget(buildButtonColumn(central), 0, 0);
    // The progress panel lies over the browsing panel and covers it while it is shown.
    layout->addWidget(buildBrowsePanel(central), 0, 1);
    Panel2 = new ProgressPanel(central);
    layout->addWidget(Panel2, 0, 1);
    adoptProgressControls();
    layout->setColumnStretch(1, 1);
    Panel2->raise();
    window->setCentralWidget(central);
    buildMenus(window);

    const QList<QWidget*> tabOrder = {Button1,    Button3,  Button8,      Button5,       Button6,     Button7,
                                      ServerList, DirTree1, FileListBox1, ClosePanelBtn, DebugMsgList};
    for (qsizetype i = 1; i < tabOrder.size(); ++i)
        QWidget::setTabOrder(tabOrder[i - 1], tabOrder[i]);
    fixSize(window);
}

QWidget* MainWindowControls::buildButtonColumn(QWidget* parent)
{
    auto* column = new QWidget(parent);
    column->setObjectName(QStringLiteral("ButtonColumn"));
    auto* layout = new QVBoxLayout(column);
    layout->setContentsMargins(0, 0, 0, 0);
    Button1 = commandButton(column, "Button1", QStringLiteral("Start &Copy..."),
                            QStringLiteral("Start copying the selected files to the selected session"));
    Button1->setEnabled(false);
    Button3 = commandButton(column, "Button3", QStringLiteral("Create &Server..."),
                            QStringLiteral("Host a session that receives files into the selected folder"));
    Button8 = commandButton(column, "Button8", QStringLiteral("&Refresh List..."),
                            QStringLiteral("Search the network for sessions again"));
    Button5 =
        commandButton(column, "Button5", QStringLiteral("View &Protocol..."), QStringLiteral("Show the log file"));
    Button6 = commandButton(column, "Button6", QStringLiteral("Start &Assistant..."),
                            QStringLiteral("Open the connection wizard"));
    Button7 = commandButton(column, "Button7", QStringLiteral("&Exit"), QStringLiteral("Close Ferrowarden"));
    for (QPushButton* button : {Button1, Button3, Button8})
        layout->addWidget(button);
    layout->addSpacing(12);
    for (QPushButton* button : {Button5, Button6})
        layout->addWidget(button);
    layout->addStretch(1);
    layout->addWidget(Button7);
    return column;
}

QWidget* MainWindowControls::buildBrowsePanel(QWidget* parent)
{
    Panel1 = named(new QWidget(parent), "Panel1", QStringLiteral("Sessions and files"));
    auto* layout = new QVBoxLayout(Panel1);
    layout->setContentsMargins(0, 0, 0, 0);

    Splitter2 = named(new QSplitter(Qt::Vertical, Panel1), "Splitter2", QStringLiteral("Sessions, folders and files"));
    Splitter2->setChildrenCollapsible(false);

    // The session list, with the searching note laid over its middle.
    auto* sessions = new QWidget(Splitter2);
    auto* sessionsLayout = new QGridLayout(sessions);
    sessionsLayout->setContentsMargins(0, 0, 0, 0);
    ServerList = named(new QTreeWidget(sessions), "ServerList", QStringLiteral("Sessions found on the network"));
    ServerList->setColumnCount(2);
    ServerList->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Target Directory")});
    ServerList->setRootIsDecorated(false);
    ServerList->setItemsExpandable(false);
    ServerList->setUniformRowHeights(true);
    ServerList->setAllColumnsShowFocus(true);
    ServerList->setSelectionMode(QAbstractItemView::SingleSelection);
    ServerList->setSelectionBehavior(QAbstractItemView::SelectRows);
    ServerList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ServerList->header()->setStretchLastSection(true);
    ServerList->header()->setSectionsMovable(false);
    sessionsLayout->addWidget(ServerList, 0, 0);
    Panel4 = new QLabel(QStringLiteral("  Searching sessions..."), sessions);
    Panel4->setObjectName(QStringLiteral("Panel4"));
    Panel4->setFrameShape(QFrame::Panel);
    Panel4->setFrameShadow(QFrame::Raised);
    Panel4->setAutoFillBackground(true);
    Panel4->setBackgroundRole(QPalette::Button);
    Panel4->setForegroundRole(QPalette::ButtonText);
    Panel4->setMargin(8);
    Panel4->hide();
    sessionsLayout->addWidget(Panel4, 0, 0, Qt::AlignCenter);

    Splitter1 = named(new QSplitter(Qt::Horizontal, Splitter2), "Splitter1", QStringLiteral("Folders and files"));
    Splitter1->setChildrenCollapsible(false);
    DirTree1 = named(new TDirTree(Splitter1), "DirTree1", QStringLiteral("Folders"));
    FileListBox1 = named(new FileListBox(Splitter1), "FileListBox1", QStringLiteral("Files of the selected folder"));
    FileListBox1->SetMultiSelect(true);
    Splitter1->setStretchFactor(0, 1);
    Splitter1->setStretchFactor(1, 1);
    Splitter2->setStretchFactor(0, 2);
    Splitter2->setStretchFactor(1, 3);
    layout->addWidget(Splitter2);
    NameSplitterHandles(Splitter2, {QStringLiteral("Divider under the session list")});
    NameSplitterHandles(Splitter1, {QStringLiteral("Divider between folders and files")});
    return Panel1;
}

void MainWindowControls::buildMenus(QMainWindow* window)
{
    QMenuBar* bar = window->menuBar();
    bar->setAccessibleName(QStringLiteral("Menu"));
    File1 = bar->addMenu(QStringLiteral("&File"));
    File1->setObjectName(QStringLiteral("File1"));
    File1->menuAction()->setObjectName(QStringLiteral("File1"));
    Preferences1 = File1->addAction(QStringLiteral("&Preferences..."));
    Preferences1->setObjectName(QStringLiteral("Preferences1"));
    File1->addSeparator();
    Exit1 = File1->addAction(QStringLiteral("&Exit"));
    Exit1->setObjectName(QStringLiteral("Exit1"));

    Help1 = bar->addMenu(QStringLiteral("&Help"));
    Help1->setObjectName(QStringLiteral("Help1"));
    Help1->menuAction()->setObjectName(QStringLiteral("Help1"));
    Contents1 = Help1->addAction(QStringLiteral("&Contents"));
    Contents1->setObjectName(QStringLiteral("Contents1"));
    Contents1->setShortcut(QKeySequence::HelpContents);
    Help1->addSeparator();
    About1 = Help1->addAction(QStringLiteral("&About"));
    About1->setObjectName(QStringLiteral("About1"));
}

void MainWindowControls::fixSize(QMainWindow* window)
{
    // The design's size at its 8-point font, grown in proportion to the platform font and,
    // where that is not enough, to what the laid-out captions need.
    const double scale = DesignScale(*window);
    QHeaderView* header = ServerList->header();
    header->resizeSection(0, int(std::lround(kServerNameColumnWidth * scale)));
    // The progress panel is hidden at start but must fit as well.
    window->centralWidget()->layout()->activate();
    const QSize needed =
        window->minimumSizeHint().expandedTo(QSize(Panel2->minimumSizeHint().width() + 160 * scale, 0));
    const QSize size = ScaledDesignSize(*window, QSize(kDesignWidth, kDesignHeight)).expandedTo(needed);
    window->setFixedSize(size);
    Splitter2->setSizes({size.height() * 2 / 5, size.height() * 3 / 5});
    Splitter1->setSizes({size.width() / 2, size.width() / 2});
}

void MainWindowControls::adoptProgressControls()
{
    Panel3 = Panel2->Panel3;
    ClosePanelBtn = Panel2->ClosePanelBtn;
    GroupBox1 = Panel2->GroupBox1;
    Label1 = Panel2->Label1;
    Label2 = Panel2->Label2;
    Label3 = Panel2->Label3;
    ThisFileProgBar = Panel2->ThisFileProgBar;
    Label4 = Panel2->Label4;
    TotalProgBar = Panel2->TotalProgBar;
    Label5 = Panel2->Label5;
    Label6 = Panel2->Label6;
    PacksSent = Panel2->PacksSent;
    Label9 = Panel2->Label9;
    PacksReceived = Panel2->PacksReceived;
    GroupBox2 = Panel2->GroupBox2;
    DebugMsgList = Panel2->DebugMsgList;
}

QList<QStringList> MainWindowControls::SessionRowTexts() const
{
    QList<QStringList> rows;
    for (int row = 0; row < ServerList->topLevelItemCount(); ++row) {
        const QTreeWidgetItem* found = ServerList->topLevelItem(row);
        rows.append({found->text(0), found->text(1)});
    }
    return rows;
}

void MainWindowControls::SetControlsEnabled(bool enabled)
{
    for (QWidget* control : std::initializer_list<QWidget*>{Button1, Button3, Button5, Button6, Button7, Button8,
                                                            DirTree1, FileListBox1, ServerList})
        control->setEnabled(enabled);
    File1->menuAction()->setEnabled(enabled);
    Help1->menuAction()->setEnabled(enabled);
}

void MainWindowControls::ApplyFileSettings(const Settings& settings)
{
    FileListBox1->SetShowHidden(settings.ExtFileList);
    TDirTree::TDirTypes types = TDirTree::TDirTypes(TDirTree::dtNormal) | TDirTree::dtAll;
    if (settings.ExtFileList)
        types |= TDirTree::TDirTypes(TDirTree::dtHidden) | TDirTree::dtSystem;
    DirTree1->SetDirTypes(types);
    GroupBox2->setVisible(settings.ShowMessages);
}
