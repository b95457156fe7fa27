#include "net/resulttext.h"
#include "net/sessionroles.h"
#include "net/sessionrolesview.h"
#include "platform/apperror.h"
#include "support/fakedirectplay.h"

#include <QtTest>

#include <cstring>
#include <functional>
#include <utility>
#include <vector>

namespace {

// Records what the roles report, one line per event.
class RecordingRolesView final : public SessionRolesView {
public:
    QStringList log;
    QStringList rows;
    QStringList events;
    QString status;
    bool copyEnabled = true;

    void LogMessage(const QString& text) override { log << text; }
    void SearchStarted() override { events << "search started"; }
    void SearchEnded() override { events << "search ended"; }
    void ClearSessionRows() override { rows.clear(); }
    void AddSessionRow(const QString& name, const QString& directory) override { rows << name + "|" + directory; }
    void SetCopyEnabled(bool enabled) override { copyEnabled = enabled; }
    void ShowStatus(const QString& caption) override { status = caption; }
    void ShowError(const QString& text) override { events << "error: " + text; }
    void SessionEventArrived(const SessionEvent& event) override
    {
        static const char* const names[] = {"client joined", "client left", "session lost"};
        sessionEvents << QString::fromLatin1(names[int(event.kind)]);
        if (onSessionEvent)
            onSessionEvent(event);
    }
    QStringList sessionEvents;
    std::function<void(const SessionEvent&)> onSessionEvent;
};

QByteArray systemMessage(DWORD type)
{
    QByteArray bytes(8, '\0');
    std::memcpy(bytes.data(), &type, sizeof type);
    return bytes;
}

} // namespace

class TestSessionRoles : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QObject> owner;
    std::unique_ptr<RecordingRolesView> view;
    std::unique_ptr<SessionRoles> roles;
    std::shared_ptr<FakeDirectPlay> fake;

    void bringUp() { QVERIFY(roles->InitNetworking()); }

private slots:
    void init()
    {
        owner = std::make_unique<QObject>();
        view = std::make_unique<RecordingRolesView>();
        roles = std::make_unique<SessionRoles>(owner.get(), *view, "pc7");
        fake = std::make_shared<FakeDirectPlay>();
        fake->capsTimeout = 100;
        roles->SetDirectPlayFactory([this] { return fake; });
    }

    void cleanup()
    {
        roles.reset();
        owner.reset();
    }

    void descriptors_data()
    {
        QTest::addColumn<QString>("descriptor");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("directory");
        QTest::newRow("plain") << "Lab#/srv/in/"
                               << "Lab"
                               << "/srv/in/";
        QTest::newRow("hash in label") << "Lab #2#/srv/in/"
                                       << "Lab "
                                       << "2#/srv/in/";
        QTest::newRow("hash in directory") << "Lab#/srv/#in/"
                                           << "Lab"
                                           << "/srv/#in/";
        QTest::newRow("no hash") << "Just a name"
                                 << ""
                                 << "Just a name";
        QTest::newRow("no folder selected") << "Ferrowarden 2.0 Session on pc7#?"
                                            << "Ferrowarden 2.0 Session on pc7"
                                            << "?";
    }

    void descriptors()
    {
        QFETCH(QString, descriptor);
        QFETCH(QString, name);
        QFETCH(QString, directory);
        const auto [splitName, splitDirectory] = SessionRoles::SplitDescriptor(descriptor);
        QCOMPARE(splitName, name);
        QCOMPARE(splitDirectory, directory);
    }

    void initNetworkingLogsAndReportsFailure()
    {
        bringUp();
        QCOMPARE(view->log, QStringList{"Networking subsystem established succesfully!"});

        fake = std::make_shared<FakeDirectPlay>();
        fake->initializeResult = DPERR_UNAVAILABLE;
        view->log.clear();
        QVERIFY(!roles->InitNetworking());
        QCOMPARE(view->log.size(), 1);
        QVERIFY(view->log[0].startsWith("Establish Connection: "));

        roles->SetDirectPlayFactory([] { return std::shared_ptr<IDirectPlay4A>(); });
        view->log.clear();
        QVERIFY(!roles->InitNetworking());
        QVERIFY(view->log[0].startsWith("Create DirectPlay Object: "));
        // With no session object, hosting fails with a logged message instead of a crash.
        view->log.clear();
        QVERIFY(!roles->HostSession("Lab", "/in/"));
        QCOMPARE(view->log.size(), 1);
    }

    void badDiscoveryPortStopsTheNetworkingWithAReason()
    {
        const QByteArray saved = qgetenv("FERROWARDEN_DISCOVERY_PORT");
        const bool wasSet = qEnvironmentVariableIsSet("FERROWARDEN_DISCOVERY_PORT");
        qputenv("FERROWARDEN_DISCOVERY_PORT", "31847x");
        QVERIFY(!roles->InitNetworking());
        QCOMPARE(view->log, QStringList{"FERROWARDEN_DISCOVERY_PORT is \"31847x\"; it must be a port "
                                        "number from 1 to 65535"});
        QCOMPARE(fake->initializeCalls, 0);
        roles->SetTransport(trIPX); // IPX has no discovery port to complain about
        view->log.clear();
        QVERIFY(roles->InitNetworking());
        if (wasSet)
            qputenv("FERROWARDEN_DISCOVERY_PORT", saved);
        else
            qunsetenv("FERROWARDEN_DISCOVERY_PORT");
    }

    void hostSessionOpensTheDescribedSession()
    {
        bringUp();
        QVERIFY(roles->HostSession({}, {}, "/home/u/in/"));
        QCOMPARE(fake->opens.size(), size_t(1));
        const auto& open = fake->opens[0];
        QCOMPARE(open.flags, DPOPEN_CREATE);
        QCOMPARE(open.name, std::string("Ferrowarden 2.0 Session on pc7#/home/u/in/"));
        QCOMPARE(open.desc.dwFlags, DWORD(0x2040));
        QCOMPARE(open.desc.dwMaxPlayers, DWORD(2));
        QVERIFY(open.desc.guidApplication == FerrowardenApplicationGuid);
        QCOMPARE(fake->createdNames.back(), std::string("Ferrowarden 2.0 Session on pc7#/home/u/in/"));
        QCOMPARE(roles->ReceiveDirectory(), QString()); // the default path receives into the current directory
        QCOMPARE(view->log.last(), QString("Server started succesfully!"));
        QCOMPARE(view->status, QString(" Server Waiting..."));
    }

    void hostFailureLogsTheContext()
    {
        bringUp();
        fake->createPlayerResult = DPERR_CANTCREATEPLAYER;
        QVERIFY(!roles->HostSession("Lab", "/in/"));
        QVERIFY2(view->log.last().startsWith("Create Player:: "), qPrintable(view->log.last()));
        QCOMPARE(view->status, QString());
    }

    void searchListsSessionsAndJoinsTheSelectedOne()
    {
        bringUp();
        fake->sessions = {{"First#/a/", FilledGuid(1)}, {"Second#/b/", FilledGuid(2)}};
        roles->SearchSessions();
        QTRY_VERIFY(roles->SearchDone());
        QCOMPARE(view->rows, (QStringList{"First|/a/", "Second|/b/"}));
        QCOMPARE(view->events.first(), QString("search started"));
        QVERIFY(view->events.contains("search ended"));
        QCOMPARE(view->log.last(), QString("Searching Sessions..."));

        view->log.clear();
        QVERIFY(roles->JoinSession(1));
        QCOMPARE(view->log,
                 (QStringList{"Joining Session Second#/b/", "Session joined!", "Computer configured as client..."}));
        QCOMPARE(fake->opens.back().flags, DPOPEN_JOIN);
        QVERIFY(fake->opens.back().desc.guidInstance == FilledGuid(2));
        QCOMPARE(fake->createdNames.back(), std::string("FerrowardenClient"));
    }

    void labelsAndDirectoriesFromTheNetworkAreEscaped()
    {
        bringUp();
        fake->sessions = {{"evil\nServer shut down#/in\x1b[2J/", FilledGuid(1)}, {"tab\there#/a\r/", FilledGuid(2)}};
        roles->SearchSessions();
        QTRY_VERIFY(roles->SearchDone());
        QCOMPARE(view->rows, (QStringList{"evil\\x0AServer shut down|/in\\x1B[2J/", "tab\\x09here|/a\\x0D/"}));
        QVERIFY(roles->JoinSession(0));
        QVERIFY(view->log.contains("Joining Session evil\\x0AServer shut down#/in\\x1B[2J/"));
    }

    void labelsThatCannotBeFoundAgainAreRefused_data()
    {
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("directory");
        QTest::addColumn<QString>("problem"); // the start of the reason; empty when accepted
        const QString longDirectory = "/" + QString(4090, 'd') + "/";
        QTest::newRow("plain") << "Lab PC"
                               << "/in/"
                               << "";
        QTest::newRow("umlauts") << "Grüße"
                                 << "/in/"
                                 << "";
        QTest::newRow("hash") << "Lab #2"
                              << "/in/"
                              << "The label \"Lab #2\" holds a \"#\"";
        QTest::newRow("tab") << "a\tb"
                             << "/in/"
                             << "The label \"a\\x09b\" holds control characters";
        QTest::newRow("newline") << "a\nb"
                                 << "/in/"
                                 << "The label \"a\\x0Ab\" holds control characters";
        QTest::newRow("fits") << "" << QString(4095, 'd') << "";
        QTest::newRow("one byte too long") << "x" << QString(4095, 'd') << "The label is too long";
        QTest::newRow("long directory") << "Ferrowarden 2.0 Session on pc7" << longDirectory << "The label is too long";
    }

    void labelsThatCannotBeFoundAgainAreRefused()
    {
        QFETCH(QString, label);
        QFETCH(QString, directory);
        QFETCH(QString, problem);
        const QString reason = SessionRoles::LabelProblem(label, directory);
        QVERIFY2(problem.isEmpty() ? reason.isEmpty() : reason.startsWith(problem), qPrintable(reason));
        if (label.isEmpty())
            return;
        bringUp();
        QCOMPARE(roles->HostSession(label, directory), problem.isEmpty());
        if (!problem.isEmpty()) {
            QCOMPARE(view->log.last(), reason);
            QVERIFY(fake->opens.empty());
        }
    }

    void searchFindingNothingEndsQuietly()
    {
        bringUp();
        roles->SearchSessions();
        QTRY_VERIFY(roles->SearchDone());
        QVERIFY(view->rows.isEmpty());
        QVERIFY(!view->copyEnabled);
        QCOMPARE(view->log.last(), QString("Searching Sessions..."));
        QVERIFY(!roles->JoinSession(0)); // nothing to join: silently nothing
        QVERIFY(fake->opens.empty());
    }

    void failingSearchStillLeavesTheSearchingState()
    {
        bringUp();
        fake->enumResults = {DP_OK, DPERR_GENERIC};
        roles->SearchSessions();
        QTRY_VERIFY(roles->SearchDone());
        QVERIFY(view->events.contains("search ended"));
        QVERIFY(view->events.filter("error: ").size() == 1);
    }

    void joinFailureRaisesWithContext()
    {
        bringUp();
        fake->sessions = {{"Only#/x/", FilledGuid(3)}};
        roles->SearchSessions();
        QTRY_VERIFY(roles->SearchDone());
        fake->openResult = DPERR_ACCESSDENIED;
        try {
            roles->JoinSession(0);
            QFAIL("no error");
        } catch (const AppError& error) {
            QVERIFY2(error.message().startsWith("Session create/connect: "), qPrintable(error.message()));
        }
    }

    // The service's result becomes the reason a front end tells in its own words.
    void aFailedJoinSaysWhy_data()
    {
        QTest::addColumn<int>("result");
        QTest::addColumn<int>("reason");
        QTest::newRow("access denied") << int(DPERR_ACCESSDENIED) << int(JoinError::Reason::Full);
        QTest::newRow("no new players") << int(DPERR_NONEWPLAYERS) << int(JoinError::Reason::Full);
        QTest::newRow("no sessions") << int(DPERR_NOSESSIONS) << int(JoinError::Reason::Ended);
        QTest::newRow("no connection") << int(DPERR_NOCONNECTION) << int(JoinError::Reason::Unreachable);
        QTest::newRow("timeout") << int(DPERR_TIMEOUT) << int(JoinError::Reason::TimedOut);
        QTest::newRow("generic") << int(DPERR_GENERIC) << int(JoinError::Reason::Other);
    }

    void aFailedJoinSaysWhy()
    {
        QFETCH(int, result);
        QFETCH(int, reason);
        bringUp();
        fake->sessions = {{"Only#/x/", FilledGuid(3)}};
        roles->SearchSessions();
        QTRY_VERIFY(roles->SearchDone());
        fake->openResult = result;
        try {
            roles->JoinSession(0);
            QFAIL("no error");
        } catch (const JoinError& error) {
            QCOMPARE(int(error.Why()), reason);
            QCOMPARE(error.message(), "Session create/connect: " + ResultText(result));
            QCOMPARE(error.Detail(), ResultText(result));
            QVERIFY(error.Host().isEmpty()); // the fake keeps no search report
        }
    }

    void systemMessages_data()
    {
        QTest::addColumn<uint>("type");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("event"); // what the view hears, if anything
        QTest::newRow("create") << uint(3) << "Client has connected..."
                                << " Awaiting Data..."
                                << "client joined";
        QTest::newRow("destroy") << uint(5) << "Client disconnected..."
                                 << " Server Waiting..."
                                 << "client left";
        QTest::newRow("lost") << uint(0x31) << "Server shut down"
                              << " Session Closed..."
                              << "session lost";
        QTest::newRow("send complete") << uint(0x10D) << "Packet arrived"
                                       << "unchanged"
                                       << "";
        QTest::newRow("other") << uint(0x1AB) << "System msg, dwType = $1AB"
                               << "unchanged"
                               << "";
    }

    void systemMessages()
    {
        QFETCH(uint, type);
        QFETCH(QString, line);
        QFETCH(QString, status);
        QFETCH(QString, event);
        bringUp();
        view->status = "unchanged";
        fake->Push(DPID_SYSMSG, 0, systemMessage(type));
        QVERIFY(roles->HostSession("Lab", "/in/")); // the player makes the queue flow
        view->status = "unchanged";
        QTRY_VERIFY(view->log.contains(line));
        QCOMPARE(view->status, status);
        QCOMPARE(view->sessionEvents, event.isEmpty() ? QStringList() : QStringList{event});
    }

    // The transfer handler may keep the bytes of a batch's messages until the batch ends. A
    // handler that ends networking in the middle of a batch frees the batch: what was kept
    // is finished first, while its bytes are still there.
    void networkingEndedWithinABatchFinishesWhatWasKept()
    {
        bringUp();
        std::vector<std::pair<const char*, qsizetype>> kept;
        QStringList finished;
        roles->SetTransferHandler(
            [&](void* data, qsizetype size) { kept.emplace_back(static_cast<const char*>(data), size); });
        roles->SetBatchEndHandler([&] {
            for (const auto& [data, size] : kept)
                finished << QString::fromLatin1(data, size);
            kept.clear();
        });
        view->onSessionEvent = [&](const SessionEvent& event) {
            if (event.kind == SessionEvent::Kind::ClientLeft)
                roles->ReleaseNetworking();
        };
        fake->Push(2, 0, QByteArray("first message"));
        fake->Push(2, 0, QByteArray("second message"));
        fake->Push(DPID_SYSMSG, 0, systemMessage(DPSYS_DESTROYPLAYERORGROUP));
        fake->Push(2, 0, QByteArray("never delivered"));
        QVERIFY(roles->HostSession("Lab", "/in/")); // the player makes the queue flow
        QTRY_COMPARE(finished, (QStringList{"first message", "second message"}));
        QVERIFY(roles->Player() == nullptr);
        QVERIFY(kept.empty());
    }

    void transportHint()
    {
        roles->SetTransport(trIPX);
        roles->ShowTransportHint();
        QCOMPARE(view->events.last(),
                 QString("error: You have selected the IPX protocol. It is possible that it is not "
                         "correctly installed. Go to the Control Panel and then to Network and see if "
                         "it is installed and configured. If not refer to your Windows handbook to see "
                         "how to setup this protocol."));
        QVERIFY(SessionRoles::TransportHintText(trTCPIP).startsWith("You have selected the TCP/IP protocol."));
    }
};

QTEST_GUILESS_MAIN(TestSessionRoles)
#include "tst_sessionroles.moc"
