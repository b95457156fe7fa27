// The connection wizard over a real main window: both paths page by page, the name rule,
// the search wait, and what the main window does with the wizard's choice.
#include "app/tconwizard.h"
#include "app/progresspanel.h"
#include "app/tmainwindow.h"
#include "net/support/fakedirectplay.h"
#include "support/boxcatcher.h"
#include "widgets/filelistbox.h"
#include "widgets/tdirtree.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QTreeWidget>
#include <QtTest>

#include <unistd.h>

class TestConWizard : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<TMainWindow> m_main;
    std::shared_ptr<FakeDirectPlay> m_fake;

    QString path(const QString& name) const { return m_dir.filePath(name); }
    int page(const TConWizard& wizard) const { return wizard.Notebook1->currentIndex(); }

    // Searches (over loopback) until the one server is found, then goes on to the ready page
    // with a.txt chosen.
    void toTheClientReadyPage(TConWizard& wizard)
    {
        m_main->Roles().SetDirectPlayFactory(&CreateDirectPlay);
        m_main->Roles().InitNetworking("127.0.0.1");
        wizard.ClientRadio->setChecked(true);
        // The server may take a moment to come up: search until it is found.
        for (int attempt = 0; attempt < 40; ++attempt) {
            wizard.Button2Click();
            if (wizard.ListView2->topLevelItemCount() == 1)
                break;
            wizard.Button1Click();
            QTest::qWait(250);
        }
        QCOMPARE(wizard.ListView2->topLevelItemCount(), 1);
        wizard.Button2Click();
        wizard.DirTree2->SelectPath(path("out"));
        wizard.SourceFileList->findItems("a.txt", Qt::MatchExactly).first()->setSelected(true);
        wizard.Button2Click();
        QCOMPARE(page(wizard), 6);
    }

    void startServer(QProcess& server, const QStringList& extra = {})
    {
        QDir(path("in")).removeRecursively();
        QDir().mkpath(path("in"));
        // The server keeps its own identity and trusted devices.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_CONFIG_HOME", path("server-cfg"));
        server.setProcessEnvironment(environment);
        server.setProcessChannelMode(QProcess::MergedChannels);
        server.setWorkingDirectory(path("work"));
        server.start(FERROWARDEN_BIN, QStringList{"serve", path("in"), "--label", "Lab PC", "--once"} + extra);
        QVERIFY(server.waitForStarted(5000));
    }

    void checkArrived(QProcess& server)
    {
        QCOMPARE(m_main->windowTitle(), QStringLiteral("Transmission complete!"));
        m_main->ClosePanelBtnClick();
        QVERIFY(server.waitForFinished(10000));
        QVERIFY2(server.exitCode() == 0, server.readAll().constData());
        QFile arrived(path("in/a.txt"));
        QVERIFY(arrived.open(QIODevice::ReadOnly));
        QCOMPARE(arrived.readAll(), QByteArray("abc"));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        qputenv("XDG_CONFIG_HOME", path("cfg").toLocal8Bit());
        qputenv("FERROWARDEN_DISCOVERY_PORT", QByteArray::number(10000 + (::getpid() * 13) % 12000));
        for (const char* sub : {"work", "in", "out"})
            QDir(m_dir.path()).mkpath(sub);
        QVERIFY(QDir::setCurrent(path("work")));
        QFile file(path("out/a.txt"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("abc");
    }

    void init()
    {
        m_main = std::make_unique<TMainWindow>();
        m_fake = std::make_shared<FakeDirectPlay>();
        m_main->Roles().SetDirectPlayFactory([this] { return m_fake; });
        QVERIFY(m_main->InitNetworking());
    }

    void cleanup() { m_main.reset(); }

    void theServerPathPageByPage()
    {
        TConWizard wizard(*m_main);
        QCOMPARE(page(wizard), 0);
        QCOMPARE(wizard.Panel1->text(), QStringLiteral(" Choose your PC's role"));
        QVERIFY(!wizard.Button1->isEnabled());
        QVERIFY(wizard.ServerRadio->isChecked());

        wizard.Button2Click();
        QCOMPARE(page(wizard), 1);
        QCOMPARE(wizard.Panel1->text(), QStringLiteral(" Server - Choose session name"));
        QVERIFY(!wizard.Button2->isEnabled());
        QVERIFY(wizard.Button1->isEnabled());
        wizard.SessionNameEdit->setText("Lab PC");
        QVERIFY(wizard.Button2->isEnabled());

        // Back to the role and forward again: Next waits for an edit of the name.
        wizard.Button1Click();
        QCOMPARE(page(wizard), 0);
        QVERIFY(!wizard.Button1->isEnabled());
        wizard.Button2Click();
        QVERIFY(!wizard.Button2->isEnabled());
        wizard.SessionNameEdit->setText("Lab PC 2");
        wizard.Button2Click();
        QCOMPARE(page(wizard), 2);

        // No folder: Next does nothing, without a word.
        wizard.DirTree1->clearSelection();
        BoxCatcher boxes;
        wizard.Button2Click();
        QCOMPARE(page(wizard), 2);
        QVERIFY(boxes.texts.isEmpty());

        wizard.DirTree1->SelectPath(path("in"));
        wizard.Button2Click();
        QCOMPARE(page(wizard), 3);
        QCOMPARE(wizard.Button2->text(), QStringLiteral("&Connect"));
        // The text names the button as it shows: "< Previous" with its P underlined.
        QVERIFY(wizard.Label9->text().contains("&lt; <u>P</u>revious"));
        QTextDocument shown;
        shown.setHtml(wizard.Label9->text());
        QVERIFY(shown.toPlainText().contains("\"< Previous\" button"));
        QCOMPARE(wizard.ListView1->topLevelItemCount(), 2);
        QCOMPARE(wizard.ListView1->topLevelItem(0)->text(1), QStringLiteral("Lab PC 2"));
        const QString folder = wizard.DirTree1->SelectedPath();
        QCOMPARE(wizard.ListView1->topLevelItem(1)->text(1), folder);
        wizard.Button1Click();
        QCOMPARE(wizard.Button2->text(), QStringLiteral("&Next >"));
        wizard.Button2Click();

        // Connect: the main window hosts as chosen.
        wizard.Button2Click();
        QVERIFY(wizard.ConnectPressed);
        QCOMPARE(wizard.result(), int(QDialog::Accepted));
        m_main->ActOnWizard(wizard.Choice());
        QCOMPARE(m_fake->opens.size(), std::size_t(1));
        QCOMPARE(QString::fromStdString(m_fake->opens[0].name), "Lab PC 2#" + folder);
        QVERIFY(!m_main->Panel2->isHidden());
        QVERIFY(!m_main->Button3->isEnabled());
        QCOMPARE(m_main->ReceiveDirectory(), folder);
    }

    void theNameRule_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("next");
        QTest::addColumn<bool>("explained");
        QTest::addColumn<int>("kept"); // characters the edit box holds
        QTest::newRow("3") << QString(3, 'n') << false << false << 3;
        QTest::newRow("4") << QString(4, 'n') << true << false << 4;
        QTest::newRow("126") << QString(126, 'n') << true << false << 126;
        QTest::newRow("127: the edit takes 126") << QString(127, 'n') << true << false << 126;
        QTest::newRow("hash") << "Lab#PC" << false << true << 6;
        QTest::newRow("tab") << "Lab\tPC" << false << true << 6;
        QTest::newRow("line break") << "Lab PC\nServer shut down" << false << true << 23;
    }

    void theNameRule()
    {
        QFETCH(QString, name);
        QFETCH(bool, next);
        QFETCH(bool, explained);
        QFETCH(int, kept);
        TConWizard wizard(*m_main);
        wizard.Button2Click();
        wizard.SessionNameEdit->setText(name);
        QCOMPARE(wizard.SessionNameEdit->text().size(), kept);
        QCOMPARE(wizard.Button2->isEnabled(), next);
        QCOMPARE(!wizard.NameProblem->isHidden(), explained);
    }

    void theClientPathWithTwoSessions()
    {
        m_fake->sessions = {{"First#/a/", FilledGuid(1)}, {"Second#/b/", FilledGuid(2)}};
        m_main->FilesToSend << "/stale/entry";
        TConWizard wizard(*m_main);
        wizard.ClientRadio->setChecked(true);
        wizard.Button2Click(); // the search runs and is waited for
        QCOMPARE(page(wizard), 4);
        QVERIFY(m_main->SearchDone());
        QCOMPARE(wizard.ListView2->topLevelItemCount(), 2);
        QCOMPARE(wizard.ListView2->topLevelItem(1)->text(0), QStringLiteral("Second"));
        QCOMPARE(wizard.ListView2->topLevelItem(1)->text(1), QStringLiteral("/b/"));
        QVERIFY(wizard.ListView2->topLevelItem(0)->isSelected());
        QCOMPARE(wizard.Label15->text(), QStringLiteral("2 sessions found"));
        QVERIFY(wizard.Button2->isEnabled());
        QVERIFY(wizard.Button5->isEnabled());
        // The main window shows the same sessions.
        QCOMPARE(m_main->ServerList->topLevelItemCount(), 2);

        wizard.ListView2->topLevelItem(1)->setSelected(true);
        wizard.Button2Click();
        QCOMPARE(page(wizard), 5);
        QVERIFY(!wizard.Button2->isEnabled());
        wizard.DirTree2->SelectPath(path("out"));
        wizard.SourceFileList->findItems("a.txt", Qt::MatchExactly).first()->setSelected(true);
        QVERIFY(wizard.Button2->isEnabled());
        wizard.Button2Click();
        QCOMPARE(page(wizard), 6);
        QCOMPARE(wizard.Button2->text(), QStringLiteral("&Connect"));
        const QString folder = wizard.DirTree2->SelectedPath();
        QCOMPARE(wizard.Choice().files, QStringList{folder + "a.txt"});
        m_main->ActOnWizard(wizard.Choice()); // the files replace the window's list
        QCOMPARE(m_main->FilesToSend, QStringList{folder + "a.txt"});
        QVERIFY(m_main->Panel2->isHidden());

        // Back to the search: a new one, the first row selected again.
        wizard.Button1Click();
        wizard.Button1Click();
        QCOMPARE(page(wizard), 4);
        QVERIFY(wizard.ListView2->topLevelItem(0)->isSelected());
    }

    void aSearchThatFindsNothingOrCannotStartEndsTheWait()
    {
        TConWizard wizard(*m_main);
        wizard.ClientRadio->setChecked(true);
        wizard.Button2Click();
        QCOMPARE(wizard.Label15->text(), QStringLiteral("No session found"));
        QVERIFY(!wizard.Button2->isEnabled());
        // Back on the role page the user can still switch to the server.
        wizard.Button1Click();
        QVERIFY(wizard.Button2->isEnabled());

        // No session object at all: the search cannot start; the box says why and the
        // wait ends.
        m_main->Roles().SetDirectPlayFactory([] { return std::shared_ptr<IDirectPlay4A>(); });
        m_main->InitNetworking();
        BoxCatcher boxes;
        wizard.Button2Click();
        QCOMPARE(page(wizard), 4);
        QCOMPARE(wizard.Label15->text(), QStringLiteral("No session found"));
        QCOMPARE(boxes.texts.size(), 1);
        QVERIFY(m_main->SearchDone());
    }

    // A search that would run for minutes: whatever cuts it short ends the wizard's wait,
    // and a search cut short by networking going restores the cursor.
    void aSearchCutShortEndsTheWait_data()
    {
        QTest::addColumn<QString>("cut");
        QTest::addColumn<bool>("searchEnds");
        QTest::newRow("networking released") << "release" << true;
        QTest::newRow("main window closed") << "main" << true;
        QTest::newRow("wizard closed") << "wizard" << false;
    }

    void aSearchCutShortEndsTheWait()
    {
        QFETCH(QString, cut);
        QFETCH(bool, searchEnds);
        m_fake->capsTimeout = 600000;
        m_main->show();
        TConWizard wizard(*m_main, m_main.get());
        wizard.show();
        wizard.ClientRadio->setChecked(true);
        QTimer::singleShot(100, m_main.get(), [&] {
            QVERIFY(!m_main->SearchDone());
            QVERIFY(QApplication::overrideCursor());
            if (cut == "release")
                m_main->Roles().ReleaseNetworking();
            else if (cut == "main")
                m_main->close();
            else
                wizard.reject();
        });
        wizard.Button2Click(); // returns once the wait has ended
        QCOMPARE(m_main->SearchDone(), searchEnds);
        QCOMPARE(!QApplication::overrideCursor(), searchEnds);
        QCOMPARE(wizard.isVisible(), cut == "release");
        if (searchEnds)
            QCOMPARE(wizard.Label15->text(), QStringLiteral("No session found"));
    }

    // "&Connect" and "&Close" share a mnemonic: on the last pages Alt+C connects; elsewhere
    // it closes, and Escape always closes without connecting.
    void altCPressesConnectOnTheLastPages_data()
    {
        QTest::addColumn<int>("page");
        QTest::addColumn<int>("key");
        QTest::addColumn<bool>("connected");
        QTest::newRow("server summary, Alt+C") << 3 << int(Qt::Key_C) << true;
        QTest::newRow("client ready, Alt+C") << 6 << int(Qt::Key_C) << true;
        QTest::newRow("client ready, Escape") << 6 << int(Qt::Key_Escape) << false;
        QTest::newRow("role, Alt+C") << 0 << int(Qt::Key_C) << false;
    }

    void altCPressesConnectOnTheLastPages()
    {
        QFETCH(int, page);
        QFETCH(int, key);
        QFETCH(bool, connected);
        m_fake->sessions = {{"First#/a/", FilledGuid(1)}};
        TConWizard wizard(*m_main);
        if (page == 3) {
            wizard.Button2Click();
            wizard.SessionNameEdit->setText("Lab PC");
            wizard.Button2Click();
            wizard.DirTree1->SelectPath(path("in"));
            wizard.Button2Click();
        } else if (page == 6) {
            wizard.ClientRadio->setChecked(true);
            wizard.Button2Click();
            wizard.Button2Click();
            wizard.DirTree2->SelectPath(path("out"));
            wizard.SourceFileList->findItems("a.txt", Qt::MatchExactly).first()->setSelected(true);
            wizard.Button2Click();
        }
        QCOMPARE(this->page(wizard), page);
        wizard.show();
        QVERIFY(QTest::qWaitForWindowActive(&wizard));
        BoxCatcher boxes; // answers whatever the copy to the fake session has to say
        QTest::keyClick(&wizard, Qt::Key(key), key == Qt::Key_C ? Qt::AltModifier : Qt::NoModifier);
        QTRY_VERIFY(!wizard.isVisible());
        QCOMPARE(wizard.result(), int(connected ? QDialog::Accepted : QDialog::Rejected));
        QCOMPARE(wizard.Button2->text(), page == 0 ? QStringLiteral("&Next >") : QStringLiteral("&Connect"));
        QCOMPARE(wizard.Button4->text(), QStringLiteral("&Close"));
    }

    void closingOnTheLastPagesStartsNothing()
    {
        m_fake->sessions = {{"First#/a/", FilledGuid(1)}};
        TConWizard wizard(*m_main);
        wizard.ClientRadio->setChecked(true);
        wizard.Button2Click();
        wizard.Button2Click();
        wizard.Button2Click();
        QCOMPARE(page(wizard), 6);
        wizard.reject();
        QVERIFY(!wizard.ConnectPressed);
        QCOMPARE(wizard.Choice().action, WizardChoice::Action::None);
        m_main->ActOnWizard(wizard.Choice());
        QVERIFY(m_fake->opens.empty());
        QVERIFY(m_main->Panel2->isHidden());
    }

    void aCopyStartedFromTheWizardArrives()
    {
        QProcess server;
        startServer(server);
        TConWizard wizard(*m_main);
        toTheClientReadyPage(wizard);
        if (QTest::currentTestFailed())
            return;
        wizard.Button2Click(); // Connect
        m_main->ActOnWizard(wizard.Choice());
        checkArrived(server);
    }

    // A server that asks for a pairing code: the code typed on the ready page pairs without
    // the window's prompt; what is no code keeps the page, with a word.
    void theCodeTypedInTheWizardPairs()
    {
        QProcess server;
        startServer(server, {"--accept", "paired"});
        const QRegularExpression shown("Pairing code: (\\d{4}-\\d{4})");
        QByteArray output;
        while (!shown.match(QString::fromUtf8(output)).hasMatch() && server.waitForReadyRead(5000))
            output += server.readAll();
        const QString code = shown.match(QString::fromUtf8(output)).captured(1);
        QVERIFY2(!code.isEmpty(), output.constData());

        TConWizard wizard(*m_main);
        toTheClientReadyPage(wizard);
        if (QTest::currentTestFailed())
            return;
        {
            BoxCatcher boxes;
            wizard.PairingCodeEdit->setText("4829-137");
            wizard.Button2Click();
            QCOMPARE(page(wizard), 6);
            QVERIFY(!wizard.ConnectPressed);
            QCOMPARE(boxes.texts.size(), 1);
            QVERIFY(boxes.texts[0].startsWith("That is no pairing code"));
        }
        wizard.PairingCodeEdit->setText(QString(code).remove('-'));
        wizard.Button2Click(); // Connect
        QVERIFY(wizard.ConnectPressed);
        QCOMPARE(wizard.Choice().code, PairingCode::FromTyped(code));

        // Any dialog that still asks is answered with Cancel, and the copy would not start.
        QStringList asked;
        QTimer refuse;
        connect(&refuse, &QTimer::timeout, [&] {
            if (QWidget* dialog = QApplication::activeModalWidget()) {
                asked << dialog->windowTitle();
                qobject_cast<QDialog*>(dialog)->reject();
            }
        });
        refuse.start(5);
        m_main->ActOnWizard(wizard.Choice());
        refuse.stop();
        QCOMPARE(asked, QStringList());
        checkArrived(server);
    }

    // While a hosted session asks for a pairing code, the summary shows the code, and the
    // session hosted on Connect starts with that very code.
    void theSummaryShowsThePairingCode()
    {
        m_main->AppSettings().AcceptPolicy = qint16(AcceptPolicy::Paired);
        TConWizard wizard(*m_main);
        wizard.Button2Click();
        wizard.SessionNameEdit->setText("Lab PC");
        wizard.Button2Click();
        wizard.DirTree1->SelectPath(path("in"));
        wizard.Button2Click();
        QCOMPARE(page(wizard), 3);
        QCOMPARE(wizard.ListView1->topLevelItemCount(), 3);
        QCOMPARE(wizard.ListView1->topLevelItem(2)->text(0), QStringLiteral("Pairing Code"));
        const QString code = wizard.ListView1->topLevelItem(2)->text(1);
        QVERIFY2(QRegularExpression("^\\d{4}-\\d{4}$").match(code).hasMatch(), qPrintable(code));
        // Back and on again: the code stays the one the user may have read out already.
        wizard.Button1Click();
        wizard.Button2Click();
        QCOMPARE(wizard.ListView1->topLevelItem(2)->text(1), code);

        wizard.Button2Click(); // Connect
        m_main->ActOnWizard(wizard.Choice());
        QCOMPARE(m_fake->opens.size(), std::size_t(1));
        m_main->PaintFrame();
        QVERIFY2(m_main->Panel2->Panel3->text().contains("Pairing code: " + code),
                 qPrintable(m_main->Panel2->Panel3->text()));
        m_main->AppSettings().AcceptPolicy = qint16(AcceptPolicy::Open);
    }
};

QTEST_MAIN(TestConWizard)
#include "tst_tconwizard.moc"
