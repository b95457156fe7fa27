// The main window driven as a user would, on the offscreen platform: start-up, the checks
// and states of its handlers, and real copies to and from `ferrowarden` processes on
// loopback.
#include "app/tmainwindow.h"
#include "platform/registry/registry.h"
#include "settings/settingsregistry.h"
#include "net/support/fakedirectplay.h"
#include "support/boxcatcher.h"
#include "support/testdata.h"
#include "widgets/filelistbox.h"
#include "widgets/tdirtree.h"

#include <QAccessible>
#include <QAction>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QProcess>
#include <QStandardPaths>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QUrl>
#include <QtTest>

#include <unistd.h>

namespace {

QStringList listLines(const QListWidget* list)
{
    QStringList lines;
    for (int i = 0; i < list->count(); ++i)
        lines << list->item(i)->text();
    return lines;
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

void selectFiles(FileListBox* list, const QStringList& names)
{
    list->clearSelection();
    for (const QString& name : names) {
        const auto found = list->findItems(name, Qt::MatchExactly);
        QVERIFY2(!found.isEmpty(), qPrintable(name));
        found.first()->setSelected(true);
    }
}

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_port;

    QString path(const QString& name) const { return m_dir.filePath(name); }

    // A ferrowarden process of the same configuration and discovery port.
    // The server may take a moment to come up: search until its session is listed.
    static void searchUntilFound(TMainWindow& window)
    {
        // A search the window started itself (closing the panel searches again) may still run
        // and list a server that has gone since: let it end before searching afresh.
        QTRY_VERIFY_WITH_TIMEOUT(window.SearchDone(), 5000);
        for (int attempt = 0; attempt < 40; ++attempt) {
            window.SearchSessions();
            QTRY_VERIFY_WITH_TIMEOUT(window.SearchDone(), 5000);
            if (window.ServerList->topLevelItemCount() == 1)
                return;
            QTest::qWait(250);
        }
        QFAIL("no session found");
    }

    // Finds the one session, selects it and starts a copy of `files`. A row heard from a
    // server that has just ended (a search may overlap its going) cannot be joined: the
    // window says so in a box, and the copy is tried again after a fresh search.
    static void copyToTheSessionFound(TMainWindow& window, BoxCatcher& boxes, const QStringList& files)
    {
        for (int attempt = 0; attempt < 3; ++attempt) {
            searchUntilFound(window);
            window.ServerList->topLevelItem(0)->setSelected(true);
            selectFiles(window.FileListBox1, files);
            boxes.texts.clear();
            window.Button1Click();
            if (boxes.texts.isEmpty() || !boxes.texts.first().contains("cannot be reached"))
                return;
            window.ClosePanelBtnClick();
        }
    }

    void startProcess(QProcess& process, const QStringList& arguments, const QStringList& wrapper = {})
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(path("work"));
        process.setProcessChannelMode(QProcess::MergedChannels);
        QStringList all = wrapper;
        all << FERROWARDEN_BIN << arguments;
        process.start(all.takeFirst(), all);
        QVERIFY(process.waitForStarted(5000));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        // Every window and process of this test reads its own settings and discovers on a
        // port of its own, below the ephemeral range.
        qputenv("XDG_CONFIG_HOME", path("cfg").toLocal8Bit());
        qputenv("XDG_DATA_HOME", path("data").toLocal8Bit()); // where a sender remembers a cut copy
        m_port = QString::number(10000 + (::getpid() * 11) % 12000);
        qputenv("FERROWARDEN_DISCOVERY_PORT", m_port.toLatin1());
        for (const char* sub : {"work", "in", "out"})
            QDir(m_dir.path()).mkpath(sub);
        QVERIFY(QDir::setCurrent(path("work")));
    }

    void init()
    {
        QFile::remove(path("work/fwd.txt"));
        QVERIFY(QDir::setCurrent(path("work")));
    }

    void startUpShowsTheIdleWindowAndWritesTheLogHeader()
    {
        TMainWindow window;
        QCOMPARE(window.windowTitle(), QStringLiteral("Ferrowarden 2.0"));
        QVERIFY(window.minimumSize() == window.maximumSize());
        QVERIFY(window.width() >= 570 && window.height() >= 380);
        QVERIFY(!window.Button1->isEnabled());
        QVERIFY(window.Button3->isEnabled());
        QVERIFY(window.Panel2->isHidden());
        QVERIFY(window.Panel4->isHidden());
        QCOMPARE(window.Panel3->text(), QStringLiteral(" Waiting..."));
        QCOMPARE(window.Label5->text(), QStringLiteral("File X/X"));
        QVERIFY(window.FilesToSend.isEmpty());
        QCOMPARE(window.ServerList->headerItem()->text(0), QStringLiteral("Name"));
        QCOMPARE(window.ServerList->headerItem()->text(1), QStringLiteral("Target Directory"));

        // Every control by its designer name, each with a name a screen reader can say (the
        // current file's label has none until a file is named).
        const char* names[] = {"Button1",       "Button3",      "Button8",         "Button5",       "Button6",
                               "Button7",       "Panel1",       "Panel2",          "Panel3",        "Panel4",
                               "ServerList",    "DirTree1",     "FileListBox1",    "ClosePanelBtn", "GroupBox1",
                               "GroupBox2",     "Label1",       "Label3",          "Label4",        "Label5",
                               "Label6",        "Label9",       "ThisFileProgBar", "TotalProgBar",  "PacksSent",
                               "PacksReceived", "DebugMsgList", "Splitter1",       "Splitter2"};
        for (const char* name : names) {
            auto* control = window.findChild<QWidget*>(QLatin1String(name));
            QVERIFY2(control, name);
            QAccessibleInterface* spoken = QAccessible::queryAccessibleInterface(control);
            QVERIFY2(spoken && !spoken->text(QAccessible::Name).isEmpty(), name);
        }
        // Captions fit: no button is narrower than its caption needs. (No search at first
        // activation: it would ask the whole network.)
        window.AppSettings().AutoSearch = false;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        for (QPushButton* button : window.findChildren<QPushButton*>())
            QVERIFY2(button->width() >= button->sizeHint().width(), qPrintable(button->text()));

        window.Log().Flush();
        const QByteArray log = readFile(path("work/fwd.txt"));
        QVERIFY2(log.contains("[New Entry]\r\n"), log.constData());
        QVERIFY(log.contains(": Ferrowarden session on " + window.ComputerName().toUtf8()));
        QVERIFY(log.contains("Networking subsystem established succesfully!"));
    }

    void startCopyChecksItsSelectionsInOrder_data()
    {
        QTest::addColumn<bool>("row");
        QTest::addColumn<bool>("file");
        QTest::addColumn<bool>("folder");
        QTest::addColumn<QString>("box");
        QTest::newRow("nothing") << false << false << true << "Please select a server to connect to!";
        QTest::newRow("no file, no folder") << false << false << false << "Please select a server to connect to!";
        QTest::newRow("row only") << true << false << true << "You have to select a file to copy!";
        QTest::newRow("no folder") << true << true << false << "You have to select a destination folder!";
    }

    // The stored place is the frame's: it is applied before the window is first shown (when
    // it still places the frame, not the client area), and a close without a move keeps it.
    void theStoredPlaceIsTakenBeforeTheFirstShowAndKeptByAClose()
    {
        const QString key = "Software\\Brindlecraft\\" + QCoreApplication::applicationName() + "\\MainWindow";
        Registry registry;
        const QSize size = TMainWindow().size();
        for (const auto& [name, value] :
             {std::pair{"XPos", 200}, {"YPos", 150}, {"XSize", size.width()}, {"YSize", size.height()}})
            registry.writeNumber(key, name, value);
        {
            TMainWindow window;
            QVERIFY(!window.testAttribute(Qt::WA_WState_Created));
            QCOMPARE(window.pos(), QPoint(200, 150));
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            registry.writeText(key, "State", "Sentinel");
            QVERIFY(window.close());
        }
        QCOMPARE(registry.readText(key, "State"), std::optional<QString>("Sentinel"));
        for (const char* name : {"XPos", "YPos", "XSize", "YSize", "State"})
            registry.deleteValue(key, name);
    }

    void startCopyChecksItsSelectionsInOrder()
    {
        QFETCH(bool, row);
        QFETCH(bool, file);
        QFETCH(bool, folder);
        QFETCH(QString, box);
        writeFile(path("work/a.txt"), "abc");
        TMainWindow window;
        window.DirTree1->SelectPath(path("work"));
        window.FileListBox1->Refill();
        window.AddSessionRow("First", "/a/");
        if (row)
            window.ServerList->topLevelItem(0)->setSelected(true);
        if (file)
            selectFiles(window.FileListBox1, {"a.txt"});
        if (!folder)
            window.DirTree1->clearSelection();
        BoxCatcher boxes;
        window.Button1Click();
        QCOMPARE(boxes.texts, QStringList{box});
        QVERIFY(window.Panel2->isHidden());
        QVERIFY(window.Button3->isEnabled());
    }

    void disableEnableAndResetTouchOnlyTheirControls()
    {
        TMainWindow window;
        const QList<QWidget*> controls = {window.Button1,  window.Button3,      window.Button5,
                                          window.Button6,  window.Button7,      window.Button8,
                                          window.DirTree1, window.FileListBox1, window.ServerList};
        window.ShowStatus(" Receiving...");
        window.ShowFileCounter("File 2/3");
        window.ShowFileName("b.bin");
        window.SetTotalProgress(40);
        window.ShowSentPackets(12);
        window.ShowCaption("Transmission complete!");
        window.LogMessage("a line");
        window.FilesToSend << "/x/a";
        window.PaintFrame();

        window.DisableControls();
        for (QWidget* control : controls)
            QVERIFY2(!control->isEnabled(), qPrintable(control->objectName()));
        QVERIFY(!window.File1->menuAction()->isEnabled());
        QVERIFY(!window.Help1->menuAction()->isEnabled());
        QVERIFY(window.ClosePanelBtn->isEnabled());
        QVERIFY(window.Panel3->text() == " Receiving...");

        window.EnableControls(); // "Start Copy" too, with an empty session list
        for (QWidget* control : controls)
            QVERIFY2(control->isEnabled(), qPrintable(control->objectName()));
        QVERIFY(window.File1->menuAction()->isEnabled());

        const QByteArray logBefore = (window.Log().Flush(), readFile(path("work/fwd.txt")));
        window.ResetTransferView();
        QVERIFY(window.FilesToSend.isEmpty());
        QCOMPARE(window.TotalProgBar->value(), 0);
        QCOMPARE(window.PacksSent->text(), QStringLiteral("0"));
        QCOMPARE(window.PacksReceived->text(), QStringLiteral("0"));
        QVERIFY(window.Label2->text().isEmpty());
        QCOMPARE(window.DebugMsgList->count(), 0);
        QCOMPARE(window.Label5->text(), QStringLiteral("File 2/3"));
        QCOMPARE(window.Panel3->text(), QStringLiteral(" Receiving..."));
        QCOMPARE(window.windowTitle(), QStringLiteral("Transmission complete!"));
        window.Log().Flush();
        QCOMPARE(readFile(path("work/fwd.txt")), logBefore);
    }

    void searchStates()
    {
        TMainWindow window;
        auto fake = std::make_shared<FakeDirectPlay>();
        window.Roles().SetDirectPlayFactory([&] { return fake; });
        QVERIFY(window.InitNetworking());

        // Nothing found: an empty list, "Start Copy" disabled, the searching state left.
        window.EnableControls();
        window.Button8Click();
        QTRY_VERIFY_WITH_TIMEOUT(window.SearchDone(), 5000);
        QCOMPARE(window.ServerList->topLevelItemCount(), 0);
        QVERIFY(!window.Button1->isEnabled());
        QVERIFY(window.Button8->isEnabled());
        QVERIFY(window.Panel4->isHidden());
        QVERIFY(!QApplication::overrideCursor());

        // Two found: one row each, split at the first "#"; a name without "#" is all
        // directory.
        fake->sessions = {{"Lab PC#/srv/in/#1", FilledGuid(1)}, {"no hash", FilledGuid(2)}};
        window.SearchSessions();
        QTRY_VERIFY_WITH_TIMEOUT(window.SearchDone(), 5000);
        QCOMPARE(window.ServerList->topLevelItemCount(), 2);
        QCOMPARE(window.ServerList->topLevelItem(0)->text(0), QStringLiteral("Lab PC"));
        QCOMPARE(window.ServerList->topLevelItem(0)->text(1), QStringLiteral("/srv/in/#1"));
        QCOMPARE(window.ServerList->topLevelItem(1)->text(0), QString());
        QCOMPARE(window.ServerList->topLevelItem(1)->text(1), QStringLiteral("no hash"));
        QVERIFY(window.Button1->isEnabled());
        QVERIFY(window.Panel4->isHidden());

        // Enter on a selected row starts nothing: copying is for "Start Copy" alone.
        window.ServerList->setCurrentItem(window.ServerList->topLevelItem(0));
        QTest::keyClick(window.ServerList, Qt::Key_Return);
        QTest::keyClick(window.ServerList, Qt::Key_Enter);
        QVERIFY(window.Panel2->isHidden());
        QVERIFY(fake->opens.empty());
    }

    // Files from the desktop: the program's arguments and drops choose them; files of
    // another folder are sent too; a drop is refused while the window is busy.
    void filesFromTheDesktopAreChosen()
    {
        QDir(path("pick")).removeRecursively();
        QDir().mkpath(path("pick/other"));
        for (const char* name : {"pick/a.txt", "pick/b.txt", "pick/c.txt", "pick/other/d.txt"})
            writeFile(path(name), "x");
        TMainWindow window;
        window.ChooseFiles({path("pick/a.txt"), path("pick/c.txt"), path("pick/other/d.txt")});
        QCOMPARE(window.DirTree1->SelectedPath(), QDir(path("pick")).canonicalPath() + "/");
        QCOMPARE(window.FileListBox1->SelectedNames(), (QStringList{"a.txt", "c.txt"}));
        QCOMPARE(window.FilesToSend, QStringList{path("pick/other/d.txt")});

        // A folder stands for all its files.
        const auto drop = [&](const QString& folder) {
            QMimeData data;
            data.setUrls({QUrl::fromLocalFile(folder)});
            QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(&window, &enter);
            QDropEvent dropped(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(&window, &dropped);
            return enter.isAccepted() && dropped.isAccepted();
        };
        QVERIFY(drop(path("pick/other")));
        QCOMPARE(window.FileListBox1->SelectedNames(), QStringList{"d.txt"});
        QVERIFY(window.FilesToSend.isEmpty());

        window.DisableControls();
        QVERIFY(!drop(path("pick")));
        QCOMPARE(window.FileListBox1->SelectedNames(), QStringList{"d.txt"});
    }

    // The tree opens at the folder used last; a search that finds one session selects it
    // and gives the list the focus.
    void theWindowRemembersAndSelectsWhatItCan()
    {
        QDir().mkpath(path("last"));
        {
            TMainWindow window;
            window.AppSettings().AutoSearch = false;
            window.DirTree1->SelectPath(path("last"));
            window.close();
        }
        QVERIFY(QDir::setCurrent(path("work")));
        TMainWindow window;
        window.AppSettings().AutoSearch = false;
        auto fake = std::make_shared<FakeDirectPlay>();
        fake->sessions = {{"Lab PC#/in/", FilledGuid(1)}};
        window.Roles().SetDirectPlayFactory([&] { return fake; });
        QVERIFY(window.InitNetworking());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.DirTree1->SelectedPath(), QDir(path("last")).canonicalPath() + "/");
        QCOMPARE(QDir::currentPath(), QDir(path("last")).canonicalPath());

        window.Button8Click();
        QTRY_VERIFY_WITH_TIMEOUT(window.SearchDone(), 5000);
        QTRY_VERIFY(window.ServerList->hasFocus() || QApplication::focusWidget() == window.ServerList);
        QCOMPARE(window.ServerList->selectedItems().size(), 1);
        QVERIFY(window.Button1->isEnabled());
        window.close();
        QVERIFY(QDir::setCurrent(path("work")));
    }

    void hostingUsesTheDefaultDescriptorAndClosingThePanelRebuildsNetworking()
    {
        TMainWindow window;
        auto fake = std::make_shared<FakeDirectPlay>();
        window.Roles().SetDirectPlayFactory([&] { return fake; });
        QVERIFY(window.InitNetworking());
        window.DirTree1->SelectPath(path("in"));
        window.Button3Click();
        QVERIFY(window.Panel2->isVisible() || !window.Panel2->isHidden());
        QVERIFY(!window.Button3->isEnabled());
        QCOMPARE(fake->opens.size(), std::size_t(1));
        const QString descriptor =
            "Ferrowarden 2.0 Session on " + window.ComputerName() + "#" + QDir(path("in")).canonicalPath() + "/";
        QCOMPARE(QString::fromStdString(fake->opens[0].name), descriptor);
        window.PaintFrame();
        QCOMPARE(window.Panel3->text(), QStringLiteral(" Server Waiting..."));
        QVERIFY(listLines(window.DebugMsgList).contains("Server started succesfully!"));

        // The panel's close button: a new endpoint that searches again, the idle window, the
        // counter kept.
        window.ShowFileCounter("File 1/1");
        window.PaintFrame();
        auto second = std::make_shared<FakeDirectPlay>();
        second->sessions = {{"Other#/o/", FilledGuid(7)}};
        window.Roles().SetDirectPlayFactory([&] { return second; });
        window.ClosePanelBtnClick();
        QVERIFY(window.Roles().Player() && window.Roles().Player()->DirectPlay == second);
        QVERIFY(window.Panel2->isHidden());
        QTRY_VERIFY_WITH_TIMEOUT(window.SearchDone(), 5000);
        QCOMPARE(window.SessionRows(), (QList<QStringList>{{"Other", "/o/"}}));
        QVERIFY(window.Button1->isEnabled());
        QCOMPARE(window.Label5->text(), QStringLiteral("File 1/1"));
        QCOMPARE(listLines(window.DebugMsgList),
                 (QStringList{"Networking subsystem established succesfully!", "Searching Sessions..."}));

        // No folder chosen: the descriptor ends in "#?".
        window.DirTree1->clearSelection();
        window.Button3Click();
        QCOMPARE(second->opens.size(), std::size_t(1));
        QVERIFY(QString::fromStdString(second->opens[0].name).endsWith("#?"));
    }

    void aFailedJoinIsShownAndLeavesThePanelToClose()
    {
        writeFile(path("work/a.txt"), "abc");
        TMainWindow window;
        auto fake = std::make_shared<FakeDirectPlay>();
        fake->sessions = {{"Gone#/x/", FilledGuid(4)}};
        fake->openResult = DPERR_NOSESSIONS;
        window.Roles().SetDirectPlayFactory([&] { return fake; });
        QVERIFY(window.InitNetworking());
        window.SearchSessions();
        QTRY_VERIFY_WITH_TIMEOUT(window.SearchDone(), 5000);
        window.DirTree1->SelectPath(path("work"));
        window.FileListBox1->Refill();
        window.ServerList->topLevelItem(0)->setSelected(true);
        selectFiles(window.FileListBox1, {"a.txt"});

        BoxCatcher boxes;
        QTest::mouseClick(window.Button1, Qt::LeftButton); // through the handler's guard
        QTRY_COMPARE_WITH_TIMEOUT(boxes.texts.size(), 1, 5000);
        // Plain words for the user, the service's result in the log.
        QVERIFY2(boxes.texts[0].startsWith("The session \"Gone\" has ended"), qPrintable(boxes.texts[0]));
        QVERIFY(boxes.texts[0].contains("search the network again"));
        window.PaintFrame();
        QVERIFY(listLines(window.DebugMsgList)
                    .contains("Session create/connect: There are no existing sessions for this game."));
        QCOMPARE(window.Panel3->text(), QStringLiteral(" Copy Failed..."));
        QVERIFY(!window.Panel2->isHidden());
        QVERIFY(!window.Button3->isEnabled());
        QVERIFY(window.ClosePanelBtn->isEnabled());
        QVERIFY(window.windowTitle() == "Ferrowarden 2.0");
        QTest::mouseClick(window.ClosePanelBtn, Qt::LeftButton);
        QVERIFY(window.Panel2->isHidden());
        QVERIFY(window.Button3->isEnabled());
    }

    void fileSettingsActAsTheirCaptionsSay()
    {
        writeFile(path("work/.hidden"), "h");
        writeFile(path("work/seen.txt"), "s");
        {
            Registry registry;
            SettingsRegistry store(registry);
            store.StoreFlag("Ferrowarden", "ExtFileList", true);
            store.StoreFlag("Ferrowarden", "ShowMessages", false);
        }
        TMainWindow shown;
        shown.DirTree1->SelectPath(path("work"));
        shown.FileListBox1->Refill();
        QVERIFY(!shown.FileListBox1->findItems(".hidden", Qt::MatchExactly).isEmpty());
        QVERIFY(shown.GroupBox2->isHidden()); // no message list while copying
        {
            Registry registry;
            SettingsRegistry store(registry);
            store.StoreFlag("Ferrowarden", "ExtFileList", false);
            store.StoreFlag("Ferrowarden", "ShowMessages", true);
        }
        TMainWindow plain;
        plain.DirTree1->SelectPath(path("work"));
        plain.FileListBox1->Refill();
        QVERIFY(plain.FileListBox1->findItems(".hidden", Qt::MatchExactly).isEmpty());
        QVERIFY(!plain.FileListBox1->findItems("seen.txt", Qt::MatchExactly).isEmpty());
        QVERIFY(!plain.GroupBox2->isHidden());
    }

    // What a screen reader reads: the texts that change with a copy, not fixed names; buttons
    // by their captions, with what they do as the description.
    void aScreenReaderReadsTheStatusAndTheCounters()
    {
        TMainWindow window;
        window.ShowStatus(" Server Waiting...");
        window.ShowFileName("photo.jpg");
        window.ShowFileCounter("File 2/3");
        window.ShowReceivedPackets(12);
        window.PaintFrame();
        const auto spoken = [](QWidget* control, QAccessible::Text text = QAccessible::Name) {
            return QAccessible::queryAccessibleInterface(control)->text(text);
        };
        QCOMPARE(spoken(window.Panel3), QStringLiteral(" Server Waiting..."));
        QCOMPARE(spoken(window.Panel3, QAccessible::Description), QStringLiteral("Session status"));
        QCOMPARE(spoken(window.Label2), QStringLiteral("photo.jpg"));
        QCOMPARE(spoken(window.Label5), QStringLiteral("File 2/3"));
        QCOMPARE(spoken(window.PacksReceived), QStringLiteral("12"));
        QCOMPARE(spoken(window.Panel4), QStringLiteral("  Searching sessions..."));
        QCOMPARE(spoken(window.Button1), QStringLiteral("Start Copy..."));
        QVERIFY(!spoken(window.Button1, QAccessible::Description).isEmpty());
        QCOMPARE(spoken(window.Button8), QStringLiteral("Refresh List..."));
    }

    void theStatusStripTakesTheCaptionColoursOfADarkPalette()
    {
        TMainWindow window;
        QPalette dark;
        dark.setColor(QPalette::Window, QColor(40, 40, 40));
        dark.setColor(QPalette::WindowText, Qt::white);
        dark.setColor(QPalette::Highlight, QColor(20, 80, 160));
        dark.setColor(QPalette::HighlightedText, QColor(250, 250, 250));
        const QPalette before = QApplication::palette();
        QApplication::setPalette(dark);
        QCoreApplication::processEvents();
        QCOMPARE(window.Panel3->palette().color(QPalette::Window), QColor(20, 80, 160));
        QCOMPARE(window.Panel3->palette().color(QPalette::WindowText), QColor(250, 250, 250));
        QCOMPARE(window.Label1->palette().color(QPalette::WindowText), QColor(Qt::white));
        // The close glyph is drawn in the strip's text colour, so it shows on the strip.
        const QImage glyph = window.ClosePanelBtn->icon().pixmap(QSize(16, 16)).toImage();
        QCOMPARE(glyph.pixelColor(glyph.width() / 2, glyph.height() / 2).rgb(), QColor(250, 250, 250).rgb());
        QApplication::setPalette(before);
    }

    void copyFromTheWindowToAServer()
    {
        QDir(path("in")).removeRecursively();
        QDir().mkpath(path("in"));
        writeFile(path("work/a.txt"), "abc");
        const QByteArray big = RandomBytes(3 * 1024 * 1024 + 17, 9);
        writeFile(path("work/big.bin"), big);

        QProcess server;
        startProcess(server, {"serve", path("in"), "--label", "Lab PC", "--once"});
        BoxCatcher boxes; // a box would say why a copy failed; none is expected
        TMainWindow window;
        window.Roles().InitNetworking("127.0.0.1"); // ask only this machine
        window.DirTree1->SelectPath(path("work"));
        window.FileListBox1->Refill();
        searchUntilFound(window);
        QCOMPARE(window.ServerList->topLevelItem(0)->text(0), QStringLiteral("Lab PC"));
        window.ServerList->topLevelItem(0)->setSelected(true);
        selectFiles(window.FileListBox1, {"a.txt"});
        window.DebugMsgList->clear();

        window.Button1Click();
        QVERIFY2(boxes.texts.isEmpty(), qPrintable(boxes.texts.join('|')));
        QCOMPARE(window.windowTitle(), QStringLiteral("Transmission complete!"));
        QCOMPARE(window.PacksSent->text(), QStringLiteral("1"));
        QCOMPARE(window.Label5->text(), QStringLiteral("File 1/1"));
        QCOMPARE(window.Label2->text(), QStringLiteral("a.txt"));
        QCOMPARE(window.Panel3->text(), QStringLiteral(" Copy Complete..."));
        // A file of one packet still ends with full bars; the bytes are told.
        QCOMPARE(window.ThisFileProgBar->value(), 100);
        QCOMPARE(window.TotalProgBar->value(), 100);
        QVERIFY2(window.Panel2->ProgressText->text().startsWith(QLocale().formattedDataSize(3) + " of "),
                 qPrintable(window.Panel2->ProgressText->text()));
        QVERIFY(!window.ClosePanelBtn->isHidden() && window.ClosePanelBtn->isEnabled());
        QVERIFY(!window.Button3->isEnabled());
        // The design's lines, then the server's answers, as send shows them.
        const QStringList lines = listLines(window.DebugMsgList);
        const QStringList expected = {"Filelist contains 1 files",
                                      "Protocol: TCP/IP; BlockSize: 2048",
                                      "Sending Session Data...Done",
                                      "Transmitting file \"a.txt\"...Done",
                                      "Stored \"a.txt\" (3 bytes)",
                                      "The server stored 1 files (3 bytes), skipped 0 and did not store 0; "
                                      "folders: 0 made, 0 not made"};
        const qsizetype first = lines.indexOf(expected.first());
        QVERIFY2(first > 0 && lines.mid(first) == expected, qPrintable(lines.join('|')));
        QVERIFY(lines.contains("Session joined!"));
        QCOMPARE(lines[first - 1], QStringLiteral("Extended protocol 2: the server answers for every file"));

        // Closing the panel leaves the session; the server saw a whole copy.
        window.ClosePanelBtnClick();
        QVERIFY(server.waitForFinished(10000));
        QCOMPARE(server.exitCode(), 0);
        QCOMPARE(readFile(path("in/a.txt")), QByteArray("abc"));

        // A second copy of several files from the same window.
        QProcess again;
        startProcess(again, {"serve", path("in"), "--label", "Lab PC", "--once"});
        copyToTheSessionFound(window, boxes, {"a.txt", "big.bin"});
        QVERIFY2(boxes.texts.isEmpty(), qPrintable(boxes.texts.join('|')));
        QCOMPARE(window.Label5->text(), QStringLiteral("File 2/2"));
        QCOMPARE(window.TotalProgBar->value(), 100);
        window.ClosePanelBtnClick();
        QVERIFY(again.waitForFinished(10000));
        QCOMPARE(again.exitCode(), 0);
        QVERIFY(readFile(path("in/big.bin")) == big);

        // A server of the older protocol: the message list says what the copy goes without.
        QProcess older;
        startProcess(older, {"serve", path("in"), "--label", "Lab PC", "--once"}, {"env", "FERROWARDEN_EXTENSION=off"});
        window.DebugMsgList->clear();
        copyToTheSessionFound(window, boxes, {"a.txt"});
        QVERIFY2(boxes.texts.isEmpty(), qPrintable(boxes.texts.join('|')));
        QCOMPARE(window.windowTitle(), QStringLiteral("Transmission complete!"));
        const QStringList olderLines = listLines(window.DebugMsgList);
        const qsizetype list = olderLines.indexOf("Filelist contains 1 files");
        QVERIFY2(list > 0, qPrintable(olderLines.join('|')));
        QCOMPARE(olderLines[list - 1],
                 QStringLiteral("The server speaks the older protocol: no receipts, no folders, no encryption"));
        window.ClosePanelBtnClick();
        QVERIFY(older.waitForFinished(10000));
        QCOMPARE(older.exitCode(), 0);
    }

    // A send can be stopped: Cancel on the panel and the close box ask first (the box's
    // default stops), a signal's close does not; the copy ends cleanly, the server keeps no
    // part of the file, and the window closes when that was asked for.
    void aSendCanBeStopped_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("questions");
        QTest::addColumn<QString>("line");
        QTest::newRow("cancel") << "cancel" << 1 << "Copy stopped by the user";
        QTest::newRow("close box") << "close box" << 1 << "Copy cancelled: the window is closing";
        QTest::newRow("signal") << "signal" << 0 << "Copy cancelled: the window is closing";
    }

    void aSendCanBeStopped()
    {
        QFETCH(QString, how);
        QFETCH(int, questions);
        QFETCH(QString, line);
        QDir(path("in")).removeRecursively();
        QDir().mkpath(path("in"));
        QFile huge(path("work/huge.bin"));
        QVERIFY(huge.open(QIODevice::WriteOnly));
        const QByteArray block = RandomBytes(1 << 20, 5); // real data: holes would take no time
        for (int i = 0; i < 128; ++i)
            huge.write(block);
        huge.close();
        QProcess server;
        startProcess(server, {"serve", path("in"), "--label", "Lab PC", "--once"});
        TMainWindow window;
        window.AppSettings().AutoSearch = false;
        window.Roles().InitNetworking("127.0.0.1");
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.DirTree1->SelectPath(path("work"));
        window.FileListBox1->Refill();
        searchUntilFound(window);
        window.ServerList->topLevelItem(0)->setSelected(true);
        selectFiles(window.FileListBox1, {"huge.bin"});

        BoxCatcher boxes;
        QTimer trigger;
        trigger.setInterval(5);
        connect(&trigger, &QTimer::timeout, &window, [&] {
            if (window.PacksSent->text() == "0")
                return;
            trigger.stop();
            if (how == "cancel")
                window.ClosePanelBtn->click();
            else if (how == "close box")
                window.close();
            else
                window.CloseWithoutAsking();
        });
        trigger.start();
        window.Button1Click();
        window.Log().Flush();
        QVERIFY2(boxes.texts.size() == questions, readFile(path("work/fwd.txt")).right(600).constData());
        if (questions)
            QCOMPARE(boxes.texts[0], QStringLiteral("Stop the copy?"));
        window.Log().Flush();
        QVERIFY2(readFile(path("work/fwd.txt")).contains(line.toUtf8()), qPrintable(line));
        QCOMPARE(window.Panel3->text(), QStringLiteral(" Copy Stopped..."));
        QVERIFY(server.waitForFinished(10000));
        QVERIFY2(server.exitCode() != 0, server.readAll().constData());
        QVERIFY(!QFile::exists(path("in/huge.bin")));
        QTRY_COMPARE(window.isVisible(), how == "cancel");
        QFile::remove(path("work/huge.bin"));
    }

    // A server that may write files of at most 1 MiB refuses a larger one: the message list
    // says so, as send would, and the caption does not claim success.
    void copyThatTheServerCannotStoreIsNotCalledComplete()
    {
        if (QStandardPaths::findExecutable("prlimit").isEmpty())
            QSKIP("prlimit is not installed");
        QDir(path("in")).removeRecursively();
        QDir().mkpath(path("in"));
        writeFile(path("work/a.txt"), "abc");
        writeFile(path("work/big.bin"), RandomBytes(2 * 1024 * 1024, 12));

        QProcess server;
        startProcess(server, {"serve", path("in"), "--label", "Lab PC", "--once"}, {"prlimit", "--fsize=1048576"});
        TMainWindow window;
        window.Roles().InitNetworking("127.0.0.1");
        window.DirTree1->SelectPath(path("work"));
        window.FileListBox1->Refill();
        searchUntilFound(window);
        window.ServerList->topLevelItem(0)->setSelected(true);
        selectFiles(window.FileListBox1, {"a.txt", "big.bin"});
        window.setWindowTitle(QStringLiteral("Ferrowarden"));
        window.Button1Click();

        const QStringList lines = listLines(window.DebugMsgList);
        QVERIFY2(lines.contains("Stored \"a.txt\" (3 bytes)"), qPrintable(lines.join('|')));
        QVERIFY2(lines.contains("Refused \"big.bin\": too large for the server (files of at most 1048576 bytes)"),
                 qPrintable(lines.join('|')));
        QCOMPARE(window.windowTitle(), QStringLiteral("Ferrowarden"));
        window.ClosePanelBtnClick();
        QVERIFY(server.waitForFinished(10000));
        QCOMPARE(server.exitCode(), 1);
        QCOMPARE(readFile(path("in/a.txt")), QByteArray("abc"));
        QVERIFY(!QFile::exists(path("in/big.bin")));
    }

    void copyFromTheCommandLineIntoAHostingWindow()
    {
        QDir(path("in")).removeRecursively();
        QDir().mkpath(path("in"));
        writeFile(path("out/a.txt"), "abc");
        const QByteArray big = RandomBytes(2 * 1024 * 1024 + 5, 10);
        writeFile(path("out/big.bin"), big);
        writeFile(path("in/big.bin"), "an older file of that name");

        TMainWindow window;
        window.DirTree1->SelectPath(path("in"));
        window.Button3Click();
        window.DebugMsgList->clear();

        QProcess sender;
        startProcess(sender, {"send", "--host", "127.0.0.1", path("out/a.txt")});
        // The window answers the sender from its event loop: it has to run meanwhile.
        QTRY_VERIFY_WITH_TIMEOUT(sender.state() == QProcess::NotRunning, 15000);
        QTRY_VERIFY_WITH_TIMEOUT(listLines(window.DebugMsgList).contains("Client disconnected..."), 10000);
        window.PaintFrame();
        QCOMPARE(sender.exitCode(), 0);
        const QStringList lines = listLines(window.DebugMsgList);
        const QStringList expected = {"Protocol: TCP/IP; BlockSize: 2048", "Data size: 3 bytes (0KB)",
                                      "Filename: a.txt  255", "Receiving Data...", "Transmission Complete!"};
        const qsizetype first = lines.indexOf(expected.first());
        QVERIFY2(first >= 0 && lines.mid(first, expected.size()) == expected, qPrintable(lines.join('|')));
        QCOMPARE(window.Label5->text(), QStringLiteral("File 1/1"));
        QCOMPARE(window.PacksReceived->text(), QStringLiteral("1"));
        QCOMPARE(window.Panel3->text(), QStringLiteral(" Server Waiting..."));
        QCOMPARE(readFile(path("in/a.txt")), QByteArray("abc"));
        // The panel says where files go and where senders reach this PC; a window that is
        // not active tells the desktop what arrived from whom.
        QVERIFY(!window.Panel2->OpenFolderBtn->isHidden());
        QCOMPARE(window.Panel2->HostedFolder(), QDir(path("in")).absolutePath());
        QVERIFY2(window.Panel2->HostInfo->text().contains(
                     QRegularExpression("TCP port \\d+ \\(searches find it on UDP port " + m_port)),
                 qPrintable(window.Panel2->HostInfo->text()));
        QVERIFY2(window.Notifier().LastText().startsWith("Files arrived: 1 of 1 files from 127.0.0.1:")
                     && window.Notifier().LastText().endsWith(" stored in " + QDir(path("in")).absolutePath()),
                 qPrintable(window.Notifier().LastText()));

        // The next client of the same session, a larger file over an older one.
        QProcess second;
        startProcess(second, {"send", "--host", "127.0.0.1", path("out/big.bin")});
        QTRY_VERIFY_WITH_TIMEOUT(second.state() == QProcess::NotRunning, 15000);
        QCOMPARE(second.exitCode(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(listLines(window.DebugMsgList).count("Client disconnected...") == 2, 10000);
        QVERIFY(readFile(path("in/big.bin")) == big);
    }

    // A copy whose server is killed part way leaves the panel's Resume: it says so when the
    // session is not there, and once a server of the same name is back it sends the same
    // selection again, which goes on from what the server kept.
    void resumeSendsTheRestOfACopyCutOffByTheServer()
    {
        QDir(path("in")).removeRecursively();
        QDir().mkpath(path("in"));
        const QByteArray big = RandomBytes(96 * 1024 * 1024 + 9, 21);
        writeFile(path("work/cut.bin"), big);
        writeFile(path("work/a.txt"), "abc");
        const auto held = [this] {
            qint64 bytes = 0;
            const QDir partials(path("in/.ferrowarden-partial"));
            for (const QFileInfo& part : partials.entryInfoList({"*.part"}, QDir::Files | QDir::Hidden))
                bytes = std::max(bytes, part.size());
            return bytes;
        };

        QProcess server;
        startProcess(server, {"serve", path("in"), "--label", "Lab PC"});
        BoxCatcher boxes;
        TMainWindow window;
        window.AppSettings().AutoSearch = false;
        window.Roles().InitNetworking("127.0.0.1");
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.DirTree1->SelectPath(path("work"));
        window.FileListBox1->Refill();
        searchUntilFound(window);
        window.ServerList->topLevelItem(0)->setSelected(true);
        selectFiles(window.FileListBox1, {"a.txt", "cut.bin"});
        QTimer trigger;
        trigger.setInterval(5);
        connect(&trigger, &QTimer::timeout, &window, [&] {
            if (held() < 24 * 1024 * 1024)
                return;
            trigger.stop();
            server.kill();
        });
        trigger.start();
        window.Button1->click();
        QVERIFY2(server.state() == QProcess::NotRunning || server.waitForFinished(5000),
                 qPrintable(boxes.texts.join('|') + " / " + listLines(window.DebugMsgList).join('|')));
        QCOMPARE(boxes.texts.size(), 1);
        QVERIFY(!QFile::exists(path("in/cut.bin")));
        QCOMPARE(readFile(path("in/a.txt")), QByteArray("abc"));
        QPushButton* resume = window.Panel2->ResumeBtn;
        QVERIFY(resume->isVisible() && resume->isEnabled());
        QCOMPARE(resume->focusPolicy() & Qt::TabFocus, Qt::TabFocus);
        QAccessibleInterface* readable = QAccessible::queryAccessibleInterface(resume);
        QVERIFY(readable);
        QCOMPARE(readable->text(QAccessible::Name), QStringLiteral("Resume"));
        QVERIFY(!readable->text(QAccessible::Description).isEmpty());
        QVERIFY2(listLines(window.DebugMsgList)
                     .contains("The copy was cut off; once the server is back, Resume sends the rest"),
                 qPrintable(listLines(window.DebugMsgList).join('|')));

        // No server yet: the window says so, and Resume stays.
        boxes.texts.clear();
        resume->click();
        QTRY_VERIFY_WITH_TIMEOUT(boxes.texts.size() == 1, 15000);
        QCOMPARE(boxes.texts[0],
                 QStringLiteral("The session \"Lab PC\" was not found. Start its server again, then press Resume; "
                                "or close this panel."));
        QVERIFY(resume->isVisible() && resume->isEnabled());
        QVERIFY(!window.Button1->isEnabled());

        // A new server for the same folder: Resume, from the keyboard, sends only what is
        // missing.
        const qint64 kept = held();
        QVERIFY(kept >= 24 * 1024 * 1024);
        QProcess again;
        startProcess(again, {"serve", path("in"), "--label", "Lab PC", "--once"});
        QTest::qWait(500); // the server announces its session
        window.DebugMsgList->clear();
        boxes.texts.clear();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QTest::keyClick(&window, Qt::Key_R, Qt::AltModifier);
        QTRY_VERIFY_WITH_TIMEOUT(window.windowTitle() == QStringLiteral("Transmission complete!"), 30000);
        QVERIFY2(boxes.texts.isEmpty(), qPrintable(boxes.texts.join('|')));
        const QStringList lines = listLines(window.DebugMsgList);
        const qsizetype resumed =
            lines.indexOf(QRegularExpression("^Resuming \"cut.bin\": [0-9,]+ bytes already there$"));
        QVERIFY2(resumed >= 0, qPrintable(lines.join('|')));
        const qint64 already = lines[resumed].section(' ', 2, 2).remove(',').toLongLong();
        QVERIFY2(already > 16 * 1024 * 1024 && already <= kept, qPrintable(lines[resumed]));
        QVERIFY(readFile(path("in/cut.bin")) == big);
        QVERIFY(!QFileInfo::exists(path("in/.ferrowarden-partial")));
        // Far fewer data packets than the whole file takes.
        QVERIFY2(window.PacksSent->text().toLongLong() * 2048 < big.size() - already + 8 * 1024 * 1024,
                 qPrintable(window.PacksSent->text()));
        QVERIFY(resume->isHidden());
        QCOMPARE(window.Panel3->text(), QStringLiteral(" Copy Complete..."));
        window.ClosePanelBtnClick();
        QVERIFY(again.waitForFinished(10000));
        QCOMPARE(again.exitCode(), 0);
    }

    void closingWhileReceivingLeavesNoHalfFile()
    {
        QDir(path("in")).removeRecursively();
        QDir().mkpath(path("in"));
        writeFile(path("in/big.bin"), "the good old file");
        writeFile(path("out/big.bin"), RandomBytes(64 * 1024 * 1024, 11));

        QProcess sender;
        {
            TMainWindow window;
            window.DirTree1->SelectPath(path("in"));
            window.Button3Click();
            // A sender that gives up at once, instead of looking for the session again.
            startProcess(sender, {"send", "--retry", "0", "--host", "127.0.0.1", path("out/big.bin")});
            QTRY_VERIFY_WITH_TIMEOUT(window.PacksReceived->text().toLongLong() > 100, 15000);
            window.close();
            window.Log().Flush();
            const QByteArray log = readFile(path("work/fwd.txt"));
            QVERIFY2(log.contains("Session closed"), log.constData());
        }
        QVERIFY(sender.waitForFinished(15000));
        QCOMPARE(sender.exitCode(), 1);
        QCOMPARE(readFile(path("in/big.bin")), QByteArray("the good old file"));
        QCOMPARE(QDir(path("in")).entryList(QDir::Files | QDir::Hidden).size(), 1);
        // What arrived is kept out of sight, for the next copy of the file to go on from.
        QCOMPARE(QDir(path("in/.ferrowarden-partial")).entryList(QDir::Files | QDir::Hidden).size(), 2);
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_tmainwindow.moc"
