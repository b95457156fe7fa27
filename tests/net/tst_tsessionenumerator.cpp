#include "net/support/fakedirectplay.h"
#include "net/tsessionenumerator.h"
#include "platform/apperror.h"

#include <QPointer>
#include <QTest>

#include <cstring>
#include <memory>
#include <stdexcept>

namespace {

constexpr DWORD kPollFlags = DPENUMSESSIONS_AVAILABLE | DPENUMSESSIONS_ASYNC;

struct Seen {
    QStringList names;
    QList<QByteArray> guids;
    int attempts;
    bool finished;
};

// An enumerator on a fake session object that records what the owner is told.
struct Fixture {
    QObject owner;
    std::shared_ptr<FakeDirectPlay> fake = std::make_shared<FakeDirectPlay>();
    TSessionEnumerator* enumerator = new TSessionEnumerator(&owner);
    std::vector<Seen> enumerated;
    QStringList errors;
    int ended = 0;

    explicit Fixture(DWORD timeout = 100)
    {
        fake->capsTimeout = timeout;
        enumerator->DirectPlay = fake;
        enumerator->ApplicationGuid = FilledGuid(0x5D);
        enumerator->OnEnumerated = [this](TSessionEnumerator* sender) {
            Seen seen{{}, {}, sender->Attempts(), sender->Finished()};
            for (int i = 0; i < sender->SessionList->Count(); ++i) {
                seen.names << sender->SessionList->Strings(i);
                seen.guids << *sender->SessionList->Objects(i);
            }
            enumerated.push_back(seen);
        };
        enumerator->OnError = [this](TSessionEnumerator*, const QString& text) { errors << text; };
        enumerator->OnSearchEnded = [this](TSessionEnumerator*) { ++ended; };
    }
};

QByteArray GuidBytes(std::uint8_t value)
{
    const GUID guid = FilledGuid(value);
    return QByteArray(reinterpret_cast<const char*>(&guid), sizeof guid);
}

} // namespace

class TestTSessionEnumerator : public QObject {
    Q_OBJECT

private slots:
    void sixPolls_data();
    void sixPolls();
    void interval_data();
    void interval();
    void foundAtFirstPollAndStoppedInsideStart();
    void failedPolls_data();
    void failedPolls();
    void startWithoutObject();
    void passwordAddsItsFlag();
    void pollsNeverNest();
    void destroyedDuringASearch();
    void objectList();
};

void TestTSessionEnumerator::sixPolls_data()
{
    QTest::addColumn<bool>("changing");
    QTest::newRow("nothing found") << false;
    QTest::newRow("sessions come and go") << true;
}

void TestTSessionEnumerator::sixPolls()
{
    QFETCH(bool, changing);

    Fixture f;
    // With `changing`, poll n reports n sessions: each list holds only the latest poll's.
    f.fake->onEnum = [&] {
        f.fake->sessions.clear();
        const int poll = int(f.fake->enumFlags.size()) - 1;
        for (int i = 0; changing && i < poll; ++i)
            f.fake->sessions.push_back({QStringLiteral("S%1#/d").arg(i).toStdString(), FilledGuid(std::uint8_t(i))});
    };
    f.enumerator->Start();
    QCOMPARE(f.enumerated.size(), std::size_t(1)); // the first poll runs inside Start
    QVERIFY(f.enumerator->Timer().isActive());

    QTRY_COMPARE(f.ended, 1);
    QCOMPARE(f.enumerated.size(), std::size_t(6));
    for (int poll = 0; poll < 6; ++poll) {
        const Seen& seen = f.enumerated[std::size_t(poll)];
        QCOMPARE(seen.attempts, 4 - poll);
        QCOMPARE(seen.finished, poll == 5);
        QCOMPARE(seen.names.size(), changing ? poll : 0);
        for (int i = 0; i < seen.names.size(); ++i) {
            QCOMPARE(seen.names[i], QStringLiteral("S%1#/d").arg(i));
            QCOMPARE(seen.guids[i], GuidBytes(std::uint8_t(i)));
        }
    }
    QCOMPARE(f.fake->enumFlags, std::vector<DWORD>(6, kPollFlags));
    QVERIFY(f.fake->lastEnumApplication == FilledGuid(0x5D));
    QVERIFY(!f.enumerator->Timer().isActive());
    QVERIFY(f.errors.isEmpty());

    // Stop after the last poll does nothing: the search is already over.
    f.enumerator->Stop();
    QCOMPARE(f.fake->enumFlags.size(), std::size_t(6));
    QVERIFY(f.enumerator->DirectPlay != nullptr);
}

void TestTSessionEnumerator::interval_data()
{
    QTest::addColumn<DWORD>("timeout");
    QTest::addColumn<HRESULT>("capsResult");
    QTest::addColumn<int>("interval");

    QTest::newRow("1000 ms") << DWORD(1000) << DP_OK << 200;
    QTest::newRow("1002 ms rounds down") << DWORD(1002) << DP_OK << 200;
    QTest::newRow("5 ms") << DWORD(5) << DP_OK << 1;
    QTest::newRow("under 5 ms") << DWORD(4) << DP_OK << 200;
    QTest::newRow("zero") << DWORD(0) << DP_OK << 200;
    QTest::newRow("GetCaps fails") << DWORD(1000) << DPERR_UNINITIALIZED << 200;
}

void TestTSessionEnumerator::interval()
{
    QFETCH(DWORD, timeout);
    QFETCH(HRESULT, capsResult);
    QFETCH(int, interval);

    Fixture f(timeout);
    f.fake->capsResult = capsResult;
    f.enumerator->Start();
    QCOMPARE(f.enumerator->Timer().interval(), interval);
    if (timeout == 0)
        QTRY_COMPARE(f.ended, 1); // even a provider without a timeout gets a search that ends
    f.enumerator->Stop();
}

void TestTSessionEnumerator::foundAtFirstPollAndStoppedInsideStart()
{
    Fixture f(60000);
    f.fake->sessions = {{"Office#/srv/in", FilledGuid(0x22)}, {"NoHash", FilledGuid(0x33)}};
    f.enumerator->OnEnumerated = [&](TSessionEnumerator* sender) {
        f.enumerated.push_back({{sender->SessionList->Strings(0), sender->SessionList->Strings(1)},
                                {*sender->SessionList->Objects(0), *sender->SessionList->Objects(1)},
                                sender->Attempts(),
                                sender->Finished()});
        sender->Stop(); // as the owner does when a session is found
    };
    f.enumerator->Start();

    QCOMPARE(f.enumerated.size(), std::size_t(1));
    QCOMPARE(f.enumerated[0].names, (QStringList{"Office#/srv/in", "NoHash"}));
    QCOMPARE(f.enumerated[0].guids, (QList<QByteArray>{GuidBytes(0x22), GuidBytes(0x33)}));
    QCOMPARE(f.fake->enumFlags, (std::vector<DWORD>{kPollFlags, DPENUMSESSIONS_STOPASYNC}));
    QVERIFY(!f.enumerator->Timer().isActive());
    QVERIFY(f.enumerator->DirectPlay == nullptr);
    QCOMPARE(f.ended, 0);
    QCOMPARE(f.enumerator->SessionList->Count(), 2); // kept for the owner
}

void TestTSessionEnumerator::failedPolls_data()
{
    QTest::addColumn<QList<HRESULT>>("results");
    QTest::addColumn<int>("polls");
    QTest::addColumn<int>("enumerated");
    QTest::addColumn<QString>("error");

    QTest::newRow("error halts the search")
        << QList<HRESULT>{DP_OK, DP_OK, DPERR_GENERIC} << 3 << 2 << "An undefined error condition occurred.";
    QTest::newRow("error at once") << QList<HRESULT>{DPERR_UNINITIALIZED} << 1 << 0
                                   << "The requested object has not been initialized.";
    QTest::newRow("user cancel is skipped") << QList<HRESULT>{DP_OK, DPERR_USERCANCEL, DP_OK} << 6 << 5 << QString();
    QTest::newRow("last poll cancelled") << QList<HRESULT>{DP_OK, DP_OK, DP_OK, DP_OK, DP_OK, DPERR_USERCANCEL} << 6
                                         << 5 << QString();
}

void TestTSessionEnumerator::failedPolls()
{
    QFETCH(QList<HRESULT>, results);
    QFETCH(int, polls);
    QFETCH(int, enumerated);
    QFETCH(QString, error);

    Fixture f;
    f.fake->enumResults.assign(results.begin(), results.end());
    f.enumerator->Start();
    // However the search ends, the owner is told once that it is over.
    QTRY_COMPARE(f.ended, 1);
    QCOMPARE(int(f.fake->enumFlags.size()), polls);
    QCOMPARE(int(f.enumerated.size()), enumerated);
    QCOMPARE(f.errors, error.isEmpty() ? QStringList() : QStringList{error});
    QVERIFY(!f.enumerator->Timer().isActive());
}

void TestTSessionEnumerator::startWithoutObject()
{
    QObject owner;
    TSessionEnumerator enumerator(&owner);
    int enumerated = 0;
    enumerator.OnEnumerated = [&](TSessionEnumerator*) { ++enumerated; };
    try {
        enumerator.Start();
        QFAIL("Start without an object did not raise");
    } catch (const AppError& error) {
        QCOMPARE(error.message(), QStringLiteral("Initialize DPObject first!"));
    }
    QVERIFY(!enumerator.Timer().isActive());
    QCOMPARE(enumerated, 0);
}

void TestTSessionEnumerator::passwordAddsItsFlag()
{
    Fixture f;
    f.enumerator->Password = QStringLiteral("secret");
    f.enumerator->Start();
    QCOMPARE(f.enumerator->EnumFlags(), DPENUMSESSIONS_PASSWORDREQUIRED);
    QCOMPARE(f.fake->enumFlags.front(), kPollFlags | DPENUMSESSIONS_PASSWORDREQUIRED);
    QCOMPARE(f.fake->lastEnumPassword, std::string("secret"));
    f.enumerator->Stop();
}

void TestTSessionEnumerator::pollsNeverNest()
{
    // A tick of another enumerator that arrives while a poll is inside EnumSessions is lost.
    Fixture a;
    Fixture b(60000);
    b.enumerator->Start();
    const std::size_t bPolls = b.fake->enumFlags.size();
    a.fake->onEnum = [&] {
        QVERIFY(PollBusy);
        b.enumerator->Poll();
    };
    a.enumerator->Start();
    QCOMPARE(b.fake->enumFlags.size(), bPolls);
    QVERIFY(!PollBusy);

    // A session object that throws out of EnumSessions does not leave every search stuck.
    a.fake->onEnum = [] { throw std::runtime_error("broken"); };
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, a.enumerator->Poll());
    QVERIFY(!PollBusy);
    b.enumerator->Poll();
    QCOMPARE(b.fake->enumFlags.size(), bPolls + 1);
}

void TestTSessionEnumerator::destroyedDuringASearch()
{
    // Freed mid-search: the background requests are stopped.
    auto f = std::make_unique<Fixture>(60000);
    f->enumerator->Start();
    delete f->enumerator;
    QCOMPARE(f->fake->enumFlags.back(), DPENUMSESSIONS_STOPASYNC);

    // Freed by its owner from inside a notification.
    Fixture g;
    QPointer<TSessionEnumerator> guard(g.enumerator);
    g.enumerator->OnEnumerated = [](TSessionEnumerator* sender) { delete sender; };
    g.enumerator->Start();
    QVERIFY(guard.isNull());
    QCOMPARE(g.ended, 0);
}

void TestTSessionEnumerator::objectList()
{
    TObjectList list;
    list.AddObject(QStringLiteral("a#1"), GuidBytes(1));
    list.Add(QStringLiteral("no block"));
    list.AddObject(QStringLiteral("c#3"), GuidBytes(3));
    QCOMPARE(list.Count(), 3);
    QVERIFY(list.Objects(1) == nullptr);
    list.Delete(0);
    QCOMPARE(list.Strings(0), QStringLiteral("no block"));
    QCOMPARE(*list.Objects(1), GuidBytes(3));
    QVERIFY_THROWS_EXCEPTION(AppError, list.Strings(2));
    QVERIFY_THROWS_EXCEPTION(AppError, list.Delete(-1));
    list.Clear();
    QVERIFY(list.IsEmpty());
}

QTEST_GUILESS_MAIN(TestTSessionEnumerator)
#include "tst_tsessionenumerator.moc"
