#include "app/mainwindowcontrols.h"

#include "widgets/designscale.h"
#include "widgets/filelistbox.h"
#include "widgets/tdirtree.h"

#include <QApplication>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QMainWindow>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QSplitter>
#include <QStyle>
#include <QToolButton>
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

QPushButton* commandButton(QWidget* parent, const char* name, const QString& caption,
                           const QString& purpose)
{
    auto* button = named(new QPushButton(caption, parent), name, purpose);
    button->setAutoDefault(false);
    return button;
}

QLabel* label(QWidget* parent, const char* name, const QString& caption)
{
    QString spoken = caption;
    spoken.remove(QLatin1Char('&'));
    return named(new QLabel(caption, parent), name, spoken);
}

QProgressBar* progressBar(QWidget* parent, const char* name, const QString& purpose)
{
    auto* bar = named(new QProgressBar(parent), name, purpose);
    bar->setRange(0, 100);
    bar->setValue(0);
    bar->setTextVisible(false);
    return bar;
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
    layout->addWidget(buildProgressPanel(central), 0, 1);
    layout->setColumnStretch(1, 1);
    Panel2->raise();
    window->setCentralWidget(central);
    buildMenus(window);

    const QList<QWidget*> tabOrder = {Button1, Button3, Button8, Button5, Button6, Button7,
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
    Button8 = commandButton(column, "Button8", QStringLiteral("Refresh List..."),
                            QStringLiteral("Search the network for sessions again"));
    Button5 = commandButton(column, "Button5", QStringLiteral("View &Protocol..."),
                            QStringLiteral("Show the log file"));
    Button6 = commandButton(column, "Button6", QStringLiteral("Start &Assistant..."),
                            QStringLiteral("Open the connection wizard"));
    Button7 = commandButton(column, "Button7", QStringLiteral("&Exit"),
                            QStringLiteral("Close Ferrowarden"));
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

    Splitter2 = named(new QSplitter(Qt::Vertical, Panel1), "Splitter2",
                      QStringLiteral("Divider under the session list"));
    Splitter2->setChildrenCollapsible(false);

    // The session list, with the searching note laid over its middle.
    auto* sessions = new QWidget(Splitter2);
    auto* sessionsLayout = new QGridLayout(sessions);
    sessionsLayout->setContentsMargins(0, 0, 0, 0);
    ServerList = named(new QTreeWidget(sessions), "ServerList",
                       QStringLiteral("Sessions found on the network"));
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
    Panel4 = named(new QLabel(QStringLiteral("  Searching sessions..."), sessions), "Panel4",
                   QStringLiteral("Searching sessions"));
    Panel4->setFrameShape(QFrame::Panel);
    Panel4->setFrameShadow(QFrame::Raised);
    Panel4->setAutoFillBackground(true);
    Panel4->setBackgroundRole(QPalette::Button);
    Panel4->setForegroundRole(QPalette::ButtonText);
    Panel4->setMargin(8);
    Panel4->hide();
    sessionsLayout->addWidget(Panel4, 0, 0, Qt::AlignCenter);

    Splitter1 = named(new QSplitter(Qt::Horizontal, Splitter2), "Splitter1",
                      QStringLiteral("Divider between folders and files"));
    Splitter1->setChildrenCollapsible(false);
    DirTree1 = named(new TDirTree(Splitter1), "DirTree1", QStringLiteral("Folders"));
    FileListBox1 = named(new FileListBox(Splitter1), "FileListBox1",
                         QStringLiteral("Files of the selected folder"));
    FileListBox1->SetMultiSelect(true);
    Splitter1->setStretchFactor(0, 1);
    Splitter1->setStretchFactor(1, 1);
    Splitter2->setStretchFactor(0, 2);
    Splitter2->setStretchFactor(1, 3);
    layout->addWidget(Splitter2);
    return Panel1;
}

QWidget* MainWindowControls::buildProgressPanel(QWidget* parent)
{
    Panel2 = named(new QWidget(parent), "Panel2", QStringLiteral("Transfer progress"));
    Panel2->setAutoFillBackground(true);
    Panel2->hide();
    auto* layout = new QVBoxLayout(Panel2);
    layout->setContentsMargins(0, 0, 0, 0);

    Panel3 = named(new QLabel(QStringLiteral(" Waiting..."), Panel2), "Panel3",
                   QStringLiteral("Session status"));
    Panel3->setAutoFillBackground(true);
    QFont strong = Panel3->font();
    strong.setBold(true);
    Panel3->setFont(strong);
    Panel3->setMargin(2);
    ClosePanelBtn = named(new QToolButton(Panel3), "ClosePanelBtn",
                          QStringLiteral("Close the progress panel"));
    ClosePanelBtn->setToolTip(QStringLiteral("Close the progress panel"));
    ClosePanelBtn->setIcon(Panel3->style()->standardIcon(QStyle::SP_TitleBarCloseButton));
    ClosePanelBtn->setAutoRaise(false);
    ClosePanelBtn->setFocusPolicy(Qt::StrongFocus);
    auto* strip = new QHBoxLayout(Panel3);
    strip->setContentsMargins(0, 0, 2, 0);
    strip->addStretch(1);
    strip->addWidget(ClosePanelBtn);
    const int side = ClosePanelBtn->sizeHint().height();
    ClosePanelBtn->setFixedSize(side, side);
    Panel3->setMinimumHeight(side + 4);
    layout->addWidget(Panel3);

    GroupBox1 = named(new QGroupBox(QStringLiteral("Progress:"), Panel2), "GroupBox1",
                      QStringLiteral("Progress"));
    auto* grid = new QGridLayout(GroupBox1);
    Label1 = label(GroupBox1, "Label1", QStringLiteral("Just Copying::"));
    Label2 = named(new QLabel(GroupBox1), "Label2", QStringLiteral("Current file"));
    Label2->setTextFormat(Qt::PlainText);
    Label2->setMinimumWidth(1); // a long name is cut, never widens the fixed window
    Label2->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    Label3 = label(GroupBox1, "Label3", QStringLiteral("This file:"));
    ThisFileProgBar = progressBar(GroupBox1, "ThisFileProgBar", QStringLiteral("Progress of this file"));
    Label4 = label(GroupBox1, "Label4", QStringLiteral("Total:"));
    TotalProgBar = progressBar(GroupBox1, "TotalProgBar", QStringLiteral("Progress of the whole transfer"));
    Label5 = named(new QLabel(QStringLiteral("File X/X"), GroupBox1), "Label5",
                   QStringLiteral("File counter"));
    Label6 = label(GroupBox1, "Label6", QStringLiteral("Packets sent:"));
    PacksSent = named(new QLabel(QStringLiteral("0"), GroupBox1), "PacksSent",
                      QStringLiteral("Packets sent"));
    Label9 = label(GroupBox1, "Label9", QStringLiteral("Packets received:"));
    PacksReceived = named(new QLabel(QStringLiteral("0"), GroupBox1), "PacksReceived",
                          QStringLiteral("Packets received"));
    for (QLabel* counter : {PacksSent, PacksReceived, Label5})
        counter->setTextInteractionFlags(Qt::TextSelectableByMouse);
    Label3->setBuddy(ThisFileProgBar);
    Label4->setBuddy(TotalProgBar);
    Label6->setBuddy(PacksSent);
    Label9->setBuddy(PacksReceived);

    grid->addWidget(Label1, 0, 0);
    grid->addWidget(Label2, 0, 1, 1, 3);
    grid->addWidget(Label3, 1, 0);
    grid->addWidget(ThisFileProgBar, 1, 1, 1, 3);
    grid->addWidget(Label4, 2, 0);
    grid->addWidget(TotalProgBar, 2, 1, 1, 3);
    grid->addWidget(Label5, 3, 0);
    auto* counters = new QHBoxLayout;
    counters->addWidget(Label6);
    counters->addWidget(PacksSent);
    counters->addSpacing(16);
    counters->addWidget(Label9);
    counters->addWidget(PacksReceived);
    counters->addStretch(1);
    grid->addLayout(counters, 3, 1, 1, 3);
    grid->setColumnStretch(1, 1);
    layout->addWidget(GroupBox1);

    GroupBox2 = named(new QGroupBox(QStringLiteral("Messages:"), Panel2), "GroupBox2",
                      QStringLiteral("Messages"));
    auto* messages = new QVBoxLayout(GroupBox2);
    DebugMsgList = named(new QListWidget(GroupBox2), "DebugMsgList",
                         QStringLiteral("Session messages"));
    DebugMsgList->setUniformItemSizes(true);
    DebugMsgList->setSelectionMode(QAbstractItemView::SingleSelection);
    messages->addWidget(DebugMsgList);
    layout->addWidget(GroupBox2, 1);
    return Panel2;
}

void MainWindowControls::buildMenus(QMainWindow* window)
{
    QMenuBar* bar = window->menuBar();
    File1 = bar->addMenu(QStringLiteral("&File"));
    File1->setObjectName(QStringLiteral("File1"));
    File1->menuAction()->setObjectName(QStringLiteral("File1"));
    Preferences1 = File1->addAction(QStringLiteral("Preferences..."));
    Preferences1->setObjectName(QStringLiteral("Preferences1"));
    File1->addSeparator();
    Exit1 = File1->addAction(QStringLiteral("&Exit"));
    Exit1->setObjectName(QStringLiteral("Exit1"));

    Help1 = bar->addMenu(QStringLiteral("&Help"));
    Help1->setObjectName(QStringLiteral("Help1"));
    Help1->menuAction()->setObjectName(QStringLiteral("Help1"));
    Contents1 = Help1->addAction(QStringLiteral("Contents"));
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
    const QSize needed = window->minimumSizeHint().expandedTo(
        QSize(Panel2->minimumSizeHint().width() + 160 * scale, 0));
    const QSize size = ScaledDesignSize(*window, QSize(kDesignWidth, kDesignHeight)).expandedTo(needed);
    window->setFixedSize(size);
    Splitter2->setSizes({size.height() * 2 / 5, size.height() * 3 / 5});
    Splitter1->setSizes({size.width() / 2, size.width() / 2});
}

void MainWindowControls::PaintStatusStrip()
{
    QPalette palette = Panel3->palette();
    const QPalette& system = QApplication::palette(Panel3);
    palette.setColor(QPalette::Window, system.color(QPalette::Active, QPalette::Highlight));
    palette.setColor(QPalette::WindowText, system.color(QPalette::Active, QPalette::HighlightedText));
    Panel3->setPalette(palette);
}
