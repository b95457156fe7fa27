// The help: each context number opens its topic in the one help window, links between the
// pages work with Back and Forward, the window stays usable beside a modal dialog, and F1
// on the main window opens the main window's topic.
#include "app/helpbrowser.h"
#include "app/helptopics.h"
#include "app/helpwindow.h"
#include "app/tmainwindow.h"
#include "widgets/filelistbox.h"

#include <QDialog>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextDocument>
#include <QToolButton>
#include <QTreeWidget>
#include <QtTest>

#include <unistd.h>

namespace {

HelpWindow* helpWindow()
{
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* help = qobject_cast<HelpWindow*>(widget))
            return help;
    }
    return nullptr;
}

QUrl helpPage(const char* name)
{
    return QUrl(QStringLiteral("qrc:/help/") + QLatin1String(name));
}

QString heading(const QTextBrowser* browser)
{
    return browser->document()->firstBlock().text();
}

// Clicks the first link that shows `text`, as a user would.
void clickLink(QTextBrowser* browser, const QString& text)
{
    const QTextCursor found = browser->document()->find(text);
    QVERIFY2(!found.isNull(), qPrintable(text));
    QTextCursor inside(browser->document());
    inside.setPosition(found.selectionStart() + 1);
    QVERIFY2(inside.charFormat().isAnchor(), qPrintable(text));
    browser->setTextCursor(inside);
    browser->ensureCursorVisible();
    QTest::mouseClick(browser->viewport(), Qt::LeftButton, {}, browser->cursorRect(inside).center());
}

QStringList linksOf(const QTextDocument& document)
{
    QStringList links;
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat format = it.fragment().charFormat();
            if (format.isAnchor() && !links.contains(format.anchorHref()))
                links << format.anchorHref();
        }
    }
    return links;
}

} // namespace

class TestHelpBrowser : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        qputenv("XDG_CONFIG_HOME", m_dir.filePath("cfg").toLocal8Bit());
        qputenv("FERROWARDEN_DISCOVERY_PORT", QByteArray::number(10000 + (::getpid() * 19) % 12000));
        QVERIFY(QDir::setCurrent(m_dir.path()));
    }

    void cleanup()
    {
        if (HelpWindow* help = helpWindow())
            help->close();
    }

    void eachContextOpensItsTopic_data()
    {
        QTest::addColumn<int>("context");
        QTest::addColumn<QUrl>("page");
        QTest::addColumn<QString>("title");
        QTest::newRow("main window") << 10 << helpPage("main-window.md") << "The main window";
        QTest::newRow("wizard: role") << 100 << helpPage("wizard-role.md")
                                      << "Connection wizard: choose your PC's role";
        QTest::newRow("wizard: session name")
            << 111 << helpPage("wizard-session-name.md") << "Server: choose a session name";
        QTest::newRow("wizard: target directory")
            << 112 << helpPage("wizard-target-folder.md") << "Server: choose the target directory";
        QTest::newRow("wizard: server ready")
            << 113 << helpPage("wizard-server-ready.md") << "Server: ready for transmission";
        QTest::newRow("wizard: find a session")
            << 115 << helpPage("wizard-find-session.md") << "Client: search and choose a server";
        QTest::newRow("wizard: select files") << 116 << helpPage("wizard-select-files.md") << "Client: select files";
        QTest::newRow("wizard: client ready")
            << 117 << helpPage("wizard-client-ready.md") << "Client: ready for transmission";
        QTest::newRow("preferences") << 200 << helpPage("preferences.md") << "Preferences";
        QTest::newRow("a number without a topic") << 114 << helpPage("main-window.md") << "The main window";
    }

    void eachContextOpensItsTopic()
    {
        QFETCH(int, context);
        QFETCH(QUrl, page);
        QFETCH(QString, title);
        HelpBrowser::ShowContext(context);
        HelpWindow* help = helpWindow();
        QVERIFY(help);
        QVERIFY(help->isVisible());
        QCOMPARE(help->windowTitle(), QStringLiteral("Ferrowarden Help"));
        QCOMPARE(help->Browser->source(), page);
        QCOMPARE(heading(help->Browser), title);
        // The contents follow the page shown.
        QVERIFY(help->Contents->currentItem());
        QCOMPARE(help->Contents->currentItem()->data(0, Qt::UserRole).toUrl(), page);
    }

    void oneHelpWindowServesEveryCall()
    {
        HelpBrowser::ShowContext(10);
        HelpWindow* first = helpWindow();
        HelpBrowser::ShowContext(200);
        QCOMPARE(helpWindow(), first);
        int windows = 0;
        for (QWidget* widget : QApplication::topLevelWidgets())
            windows += qobject_cast<HelpWindow*>(widget) ? 1 : 0;
        QCOMPARE(windows, 1);
    }

    void linksBackAndForward()
    {
        HelpBrowser::ShowContext(10);
        HelpWindow* help = helpWindow();
        QTextBrowser* browser = help->Browser;
        browser->clearHistory(); // the pages of the tests before
        QVERIFY(!help->BackButton->isEnabled());
        QVERIFY(!help->ForwardButton->isEnabled());

        clickLink(browser, QStringLiteral("When no session is found"));
        QCOMPARE(browser->source(), helpPage("no-session-found.md"));
        QCOMPARE(heading(browser), QStringLiteral("When no session is found"));
        HelpBrowser::ShowContext(115);
        QCOMPARE(browser->source(), helpPage("wizard-find-session.md"));
        QVERIFY(help->BackButton->isEnabled());

        const QList<QUrl> backwards = {helpPage("no-session-found.md"), helpPage("main-window.md")};
        for (const QUrl& page : backwards) {
            QTest::mouseClick(help->BackButton, Qt::LeftButton);
            QCOMPARE(browser->source(), page);
            QCOMPARE(help->Contents->currentItem()->data(0, Qt::UserRole).toUrl(), page);
        }
        QVERIFY(!help->BackButton->isEnabled());
        QVERIFY(help->ForwardButton->isEnabled());
        QTest::mouseClick(help->ForwardButton, Qt::LeftButton);
        QCOMPARE(browser->source(), helpPage("no-session-found.md"));
        // Markdown again after going back and forth, not shown as raw text.
        QCOMPARE(heading(browser), QStringLiteral("When no session is found"));
        QTest::mouseClick(help->ForwardButton, Qt::LeftButton);
        QCOMPARE(browser->source(), helpPage("wizard-find-session.md"));
        QVERIFY(!help->ForwardButton->isEnabled());

        // A topic picked in the contents is shown, and Back returns from it.
        const auto found =
            help->Contents->findItems(QStringLiteral("Preferences"), Qt::MatchExactly | Qt::MatchRecursive);
        QCOMPARE(found.size(), 1);
        help->Contents->setCurrentItem(found.first());
        QCOMPARE(browser->source(), helpPage("preferences.md"));
        QTest::mouseClick(help->BackButton, Qt::LeftButton);
        QCOMPARE(browser->source(), helpPage("wizard-find-session.md"));
    }

    void everyPageHasATitleAndItsLinksLead_data()
    {
        QTest::addColumn<QUrl>("page");
        HelpBrowser::ShowContext(10); // registers the pages
        for (const HelpTopic& topic : HelpTopics())
            QTest::newRow(qPrintable(topic.page.fileName())) << topic.page;
    }

    void everyPageHasATitleAndItsLinksLead()
    {
        QFETCH(QUrl, page);
        QFile file(QLatin1Char(':') + page.path());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QTextDocument document;
        document.setMarkdown(QString::fromUtf8(file.readAll()));
        QVERIFY(document.firstBlock().blockFormat().headingLevel() == 1);
        for (const QString& link : linksOf(document)) {
            const QUrl target = page.resolved(QUrl(link));
            if (target.scheme() != QLatin1String("qrc"))
                continue;
            QVERIFY2(QFile::exists(QLatin1Char(':') + target.path()), qPrintable(link));
        }
    }

    void theNoSessionTopicNamesWhatToCheck()
    {
        HelpBrowser::ShowContext(10);
        HelpWindow* help = helpWindow();
        help->Browser->setSource(helpPage("no-session-found.md"), QTextDocument::MarkdownResource);
        const QString text = help->Browser->toPlainText();
        for (const char* words : {"same local network", "31847", "FERROWARDEN_DISCOVERY_PORT", "firewall", "--host"})
            QVERIFY2(text.contains(QLatin1String(words), Qt::CaseInsensitive), words);
    }

    void helpStaysUsableBesideAModalDialog()
    {
        QDialog dialog;
        QUrl shownAfterClick;
        QTimer::singleShot(0, &dialog, [&] {
            HelpBrowser::ShowContext(100, &dialog);
            HelpWindow* help = helpWindow();
            QVERIFY(QTest::qWaitForWindowExposed(help));
            const auto found =
                help->Contents->findItems(QStringLiteral("Preferences"), Qt::MatchExactly | Qt::MatchRecursive);
            QTreeWidget* contents = help->Contents;
            const QPoint where = contents->viewport()->mapTo(help, contents->visualItemRect(found.first()).center());
            // Through the window system, where a modal dialog blocks the windows it does
            // not own.
            QTest::mouseClick(help->windowHandle(), Qt::LeftButton, {}, where);
            shownAfterClick = help->Browser->source();
            dialog.reject();
        });
        dialog.exec();
        QCOMPARE(shownAfterClick, helpPage("preferences.md"));
    }

    void f1OnTheMainWindowOpensItsTopic()
    {
        TMainWindow window;
        window.AppSettings().AutoSearch = false;
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        window.FileListBox1->setFocus();
        QTest::keyClick(window.windowHandle(), Qt::Key_F1);
        HelpWindow* help = helpWindow();
        QVERIFY(help && help->isVisible());
        QCOMPARE(help->Browser->source(), helpPage("main-window.md"));
    }
};

QTEST_MAIN(TestHelpBrowser)
#include "tst_helpbrowser.moc"
