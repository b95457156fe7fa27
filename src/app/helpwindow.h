#pragma once

#include <QUrl>
#include <QWidget>

class QTextBrowser;
class QToolButton;
class QTreeWidget;

// The help window: the contents on the left, the page on the right, Back and Forward
// above. Pages are the program's own, shipped as resources; links between them stay in
// the window, links to the web open in the desktop's browser.
class HelpWindow final : public QWidget {
    Q_OBJECT

public:
    explicit HelpWindow(QWidget* parent = nullptr);

    // Shows `page` (a no-op when it is shown already) and brings the window to the front,
    // opening it on the screen of `asking` if it was closed. While a modal dialog is up,
    // the window belongs to that dialog, so that it can be used alongside it.
    void ShowPage(const QUrl& page, const QWidget* asking = nullptr);

    QTreeWidget* Contents = nullptr;
    QTextBrowser* Browser = nullptr;
    QToolButton* BackButton = nullptr;
    QToolButton* ForwardButton = nullptr;

private:
    void contentsClicked();
    void selectInContents(const QUrl& page);
    void bringToFront(const QWidget* asking);
};
