#include "app/helpwindow.h"

#include "app/dialoggeometry.h"
#include "app/helptopics.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QShortcut>
#include <QSplitter>
#include <QStyle>
#include <QTextBrowser>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QWindow>

namespace {

constexpr int kWidth = 720;
constexpr int kHeight = 500;
constexpr int kContentsWidth = 190;
constexpr int kPageMargin = 10;

QToolButton* historyButton(QWidget* parent, const char* name, const QString& caption, QStyle::StandardPixmap icon,
                           const QKeySequence& keys)
{
    auto* button = new QToolButton(parent);
    button->setObjectName(QLatin1String(name));
    button->setText(caption);
    button->setIcon(parent->style()->standardIcon(icon));
    button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    button->setShortcut(keys);
    button->setToolTip(QStringLiteral("%1 (%2)").arg(QString(caption).remove(QLatin1Char('&')),
                                                     keys.toString(QKeySequence::NativeText)));
    button->setEnabled(false);
    return button;
}

} // namespace

HelpWindow::HelpWindow(QWidget* parent) : QWidget(parent, Qt::Window)
{
    setObjectName(QStringLiteral("HelpWindow"));
    setWindowTitle(QStringLiteral("Ferrowarden Help"));
    // The help never keeps the program running once its main window has closed.
    setAttribute(Qt::WA_QuitOnClose, false);

    BackButton = historyButton(this, "BackButton", QStringLiteral("&Back"), QStyle::SP_ArrowBack, QKeySequence::Back);
    ForwardButton = historyButton(this, "ForwardButton", QStringLiteral("&Forward"), QStyle::SP_ArrowForward,
                                  QKeySequence::Forward);
    auto* bar = new QHBoxLayout;
    bar->addWidget(BackButton);
    bar->addWidget(ForwardButton);
    bar->addStretch(1);

    auto* splitter = new QSplitter(Qt::Horizontal, this);
    splitter->setChildrenCollapsible(false);
    Contents = new QTreeWidget(splitter);
    Contents->setObjectName(QStringLiteral("Contents"));
    Contents->setAccessibleName(QStringLiteral("Help contents"));
    Contents->setHeaderLabel(QStringLiteral("Contents"));
    Contents->header()->setSectionsClickable(false);
    QTreeWidgetItem* parentItem = nullptr;
    for (const HelpTopic& topic : HelpTopics()) {
        auto* item =
            topic.underPrevious && parentItem ? new QTreeWidgetItem(parentItem) : new QTreeWidgetItem(Contents);
        if (!topic.underPrevious)
            parentItem = item;
        item->setText(0, topic.title);
        item->setData(0, Qt::UserRole, topic.page);
    }
    Contents->expandAll();

    Browser = new QTextBrowser(splitter);
    Browser->setObjectName(QStringLiteral("Browser"));
    Browser->setAccessibleName(QStringLiteral("Help page"));
    Browser->setOpenExternalLinks(true);
    Browser->document()->setDocumentMargin(Scaled(kPageMargin, DesignScale(*this)));

    const double scale = DesignScale(*this);
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({Scaled(kContentsWidth, scale), Scaled(kWidth - kContentsWidth, scale)});

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(bar);
    layout->addWidget(splitter, 1);
    resize(Scaled(kWidth, scale), Scaled(kHeight, scale));

    connect(BackButton, &QToolButton::clicked, Browser, &QTextBrowser::backward);
    connect(ForwardButton, &QToolButton::clicked, Browser, &QTextBrowser::forward);
    connect(Browser, &QTextBrowser::backwardAvailable, BackButton, &QToolButton::setEnabled);
    connect(Browser, &QTextBrowser::forwardAvailable, ForwardButton, &QToolButton::setEnabled);
    connect(Browser, &QTextBrowser::sourceChanged, this, &HelpWindow::selectInContents);
    connect(Contents, &QTreeWidget::itemSelectionChanged, this, &HelpWindow::contentsClicked);
    auto* close = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(close, &QShortcut::activated, this, &QWidget::close);
}

void HelpWindow::ShowPage(const QUrl& page, const QWidget* asking)
{
    if (Browser->source() != page)
        Browser->setSource(page, QTextDocument::MarkdownResource);
    bringToFront(asking);
}

void HelpWindow::bringToFront(const QWidget* asking)
{
    // A modal dialog blocks every window that is not its own; the help opened from it
    // must stay usable, so it becomes the dialog's for as long as the dialog is up.
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == this)
        modal = nullptr;
    if (!isVisible())
        CenterOnScreen(this, asking ? asking->screen() : nullptr);
    winId(); // the native window exists from here on
    windowHandle()->setTransientParent(modal ? modal->windowHandle() : nullptr);
    showNormal();
    raise();
    activateWindow();
}

void HelpWindow::contentsClicked()
{
    const QList<QTreeWidgetItem*> selected = Contents->selectedItems();
    if (selected.isEmpty())
        return;
    const QUrl page = selected.first()->data(0, Qt::UserRole).toUrl();
    if (Browser->source() != page)
        Browser->setSource(page, QTextDocument::MarkdownResource);
}

void HelpWindow::selectInContents(const QUrl& page)
{
    const QUrl shown = page.adjusted(QUrl::RemoveFragment);
    QTreeWidgetItemIterator it(Contents);
    for (; *it; ++it) {
        if ((*it)->data(0, Qt::UserRole).toUrl() == shown)
            break;
    }
    const QSignalBlocker quiet(Contents);
    Contents->clearSelection();
    if (*it) {
        Contents->setCurrentItem(*it);
        (*it)->setSelected(true);
    }
}
