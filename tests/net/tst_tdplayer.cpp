#include "net/support/fakedirectplay.h"
#include "net/tdplayer.h"
#include "platform/apperror.h"

#include <QDeadlineTimer>
#include <QPointer>
#include <QTest>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

struct Delivered {
    QString handler;
    DPID fromId;
    DPID toId;
    QByteArray bytes;
    bool onMainThread;
    bool operator==(const Delivered&) const = default;
};

// Message bytes of the given size whose content tells them apart.
QByteArray Message(int size, int seed)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((seed * 31 + i) & 0xFF);
    return bytes;
}

// An endpoint on a fake session object, connected, recording every delivery.
struct Fixture {
    QObject owner;
    std::shared_ptr<FakeDirectPlay> fake = std::make_shared<FakeDirectPlay>();
    TDPlayer* player = nullptr;
    std::vector<Delivered> delivered;

    explicit Fixture(bool userHandler = true, bool systemHandler = true)
    {
        player = new TDPlayer(&owner);
        player->DirectPlay = fake;
        if (userHandler)
            player->OnUserMsg = [this](TDPlayer* sender) { Record(sender, "user"); };
        if (systemHandler)
            player->OnSystemMsg = [this](TDPlayer* sender) { Record(sender, "system"); };
        if (FAILED(player->Connect(QStringLiteral("FerrowardenClient"), nullptr, 0, 0)))
            throw std::runtime_error("connect failed");
    }

    void Record(TDPlayer* sender, const char* handler)
    {
        delivered.push_back({QString::fromLatin1(handler), sender->FromId(), sender->ToId(),
                             QByteArray(reinterpret_cast<const char*>(sender->ReceiveBuffer()),
                                        static_cast<qsizetype>(sender->ReceiveSize())),
                             QThread::currentThread() == qApp->thread()});
    }
};

} // namespace

class TestTDPlayer : public QObject {
    Q_OBJECT

private slots:
    void oneEndpointPerOwner();
    void everyMessageArrivesWhole_data();
    void everyMessageArrivesWhole();
    void routing_data();
    void routing();
    void manyMessagesArriveInOrderAsSingleDeliveries();
    void connect();
    void connectFailures();
    void send_data();
    void send();
    void handlerExceptionIsReportedAndDeliveryGoesOn();
    void destroyedWhileMessagesWait();
    void destroyedInsideAHandler();
};

void TestTDPlayer::oneEndpointPerOwner()
{
    QObject owner;
    auto* first = new TDPlayer(&owner);
    try {
        TDPlayer second(&owner);
        QFAIL("a second endpoint under one owner was made");
    } catch (const AppError& error) {
        QCOMPARE(error.message(), QStringLiteral("Nur eine TDPlayer-Komponente pro Anwendung!"));
    }
    QCOMPARE(owner.findChildren<TDPlayer*>().size(), 1);
    QCOMPARE(owner.findChildren<TDPlayer*>().first(), first);

    QObject otherOwner;
    TDPlayer elsewhere(&otherOwner); // another owner may have its own
    TDPlayer unowned(nullptr);

    delete first; // a new session uses a new endpoint
    TDPlayer next(&owner);
}

void TestTDPlayer::everyMessageArrivesWhole_data()
{
    QTest::addColumn<QList<int>>("sizes");
    QTest::addColumn<QList<int>>("delivered"); // indexes of the messages that reach the handler

    // Whatever the order of sizes, each message reaches the handler whole and in order; a
    // message too short to hold its 32-bit type is dropped.
    QTest::newRow("one message") << QList<int>{20} << QList<int>{0};
    QTest::newRow("growing") << QList<int>{20, 268, 2060} << QList<int>{0, 1, 2};
    QTest::newRow("shrinking") << QList<int>{2060, 268, 20} << QList<int>{0, 1, 2};
    QTest::newRow("large after small after large") << QList<int>{2060, 4, 65536, 20, 2060} << QList<int>{0, 1, 2, 3, 4};
    QTest::newRow("equal sizes") << QList<int>{268, 268, 268} << QList<int>{0, 1, 2};
    QTest::newRow("under four bytes dropped") << QList<int>{5, 0, 1, 3, 4, 2} << QList<int>{0, 4};
}

void TestTDPlayer::everyMessageArrivesWhole()
{
    QFETCH(QList<int>, sizes);
    QFETCH(QList<int>, delivered);

    Fixture f;
    std::vector<QByteArray> messages;
    for (int i = 0; i < sizes.size(); ++i)
        messages.push_back(Message(sizes[i], i));
    f.fake->PushAll(5, 7, messages);

    QTRY_COMPARE(f.fake->Queued(), std::size_t(0));
    QTRY_COMPARE(f.delivered.size(), std::size_t(delivered.size()));
    for (std::size_t i = 0; i < f.delivered.size(); ++i) {
        const int index = delivered[int(i)];
        QCOMPARE(f.delivered[i].bytes, Message(sizes[index], index));
        QCOMPARE(f.delivered[i].fromId, DPID(5));
        QCOMPARE(f.delivered[i].toId, DPID(7));
    }
}

void TestTDPlayer::routing_data()
{
    QTest::addColumn<bool>("userHandler");
    QTest::addColumn<bool>("systemHandler");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("both") << true << true << QStringList{"user", "system", "user"};
    QTest::newRow("user only") << true << false << QStringList{"user", "user"};
    QTest::newRow("system only") << false << true << QStringList{"system"};
    QTest::newRow("none") << false << false << QStringList{};
}

void TestTDPlayer::routing()
{
    QFETCH(bool, userHandler);
    QFETCH(bool, systemHandler);
    QFETCH(QStringList, expected);

    Fixture f(userHandler, systemHandler);
    QByteArray created(4, '\0');
    created[0] = 3; // DPSYS_CREATEPLAYERORGROUP
    f.fake->Push(2, 7, Message(20, 1));
    f.fake->Push(DPID_SYSMSG, 7, created);
    f.fake->Push(2, 7, Message(268, 2));

    // Whatever is assigned, every message is taken from the queue.
    QTRY_COMPARE(f.fake->Queued(), std::size_t(0));
    QTRY_COMPARE(int(f.delivered.size()), expected.size());
    for (int i = 0; i < expected.size(); ++i) {
        const Delivered& d = f.delivered[std::size_t(i)];
        QCOMPARE(d.handler, expected[i]);
        QCOMPARE(d.fromId == DPID_SYSMSG, d.handler == QLatin1String("system"));
        QVERIFY(d.onMainThread);
    }
    if (systemHandler) {
        auto system = std::find_if(f.delivered.begin(), f.delivered.end(),
                                   [](const Delivered& d) { return d.handler == "system"; });
        QCOMPARE(system->bytes, created);
    }
}

void TestTDPlayer::manyMessagesArriveInOrderAsSingleDeliveries()
{
    // More messages than one hand-over carries, of changing sizes and senders, queued while
    // the receive thread is already draining and delivering earlier ones.
    Fixture f;
    std::vector<Delivered> expected;
    for (int i = 0; i < 3000; ++i) {
        const DPID from = (i % 10 == 0) ? DPID_SYSMSG : DPID(2 + i % 3);
        expected.push_back(
            {from == DPID_SYSMSG ? "system" : "user", from, DPID(7 + i % 2), Message(4 + (i * 37) % 2100, i), true});
    }
    // The end of every hand-over is announced after its last message, never within it.
    std::vector<std::size_t> batchEnds;
    f.player->OnBatchDelivered = [&](TDPlayer*) { batchEnds.push_back(f.delivered.size()); };
    for (const Delivered& d : expected)
        f.fake->Push(d.fromId, d.toId, d.bytes);

    QTRY_COMPARE(f.delivered.size(), expected.size());
    QVERIFY(f.delivered == expected);
    QTRY_VERIFY(!batchEnds.empty() && batchEnds.back() == expected.size());
    QVERIFY(std::is_sorted(batchEnds.begin(), batchEnds.end()));
    QVERIFY(batchEnds.size() < expected.size()); // whole batches, not one hand-over per message
}

void TestTDPlayer::connect()
{
    QObject owner;
    auto fake = std::make_shared<FakeDirectPlay>();
    fake->nextPlayerId = 42;
    TDPlayer player(&owner);
    player.DirectPlay = fake;
    QVERIFY(!player.Connected());

    QCOMPARE(player.Connect(QStringLiteral("Label#/srv/in"), nullptr, 0, 0), DP_OK);
    QVERIFY(player.Connected());
    QCOMPARE(player.PlayerId(), DPID(42));
    QCOMPARE(player.PlayerName(), QStringLiteral("Label#/srv/in"));
    QCOMPARE(fake->createdNames, std::vector<std::string>{"Label#/srv/in"});
    QCOMPARE(fake->event, player.ReceiveEvent());
    QVERIFY(player.SessionDesc.guidInstance == FilledGuid(0x11));
    QCOMPARE(player.SessionDesc.dwMaxPlayers, DWORD(2));
    QCOMPARE(player.SessionDesc.dwFlags, DWORD(0x2040));
    QVERIFY(player.SessionDesc.lpszSessionNameA == nullptr); // its block is gone

    // A second Connect raises and changes nothing.
    fake->sessionName = "Other#/x";
    fake->nextPlayerId = 99;
    player.SessionDesc.dwUser1 = 1234;
    try {
        player.Connect(QStringLiteral("Again"), nullptr, 0, 0);
        QFAIL("second Connect did not raise");
    } catch (const AppError& error) {
        QCOMPARE(error.message(), QStringLiteral("TDPlayer: already connected"));
    }
    QCOMPARE(player.PlayerId(), DPID(42));
    QCOMPARE(player.PlayerName(), QStringLiteral("Label#/srv/in"));
    QCOMPARE(player.SessionDesc.dwUser1, DWORD(1234));
    QCOMPARE(fake->createdNames.size(), std::size_t(1));
}

void TestTDPlayer::connectFailures()
{
    QObject owner;
    auto fake = std::make_shared<FakeDirectPlay>();
    fake->createPlayerResult = DPERR_CANTCREATEPLAYER;
    TDPlayer player(&owner);
    player.DirectPlay = fake;
    QCOMPARE(player.Connect(QStringLiteral("Host"), nullptr, 0, 0), DPERR_CANTCREATEPLAYER);
    QVERIFY(!player.Connected());
    QVERIFY(player.PlayerName().isEmpty());
    QCOMPARE(player.SessionDesc.dwSize, DWORD(0));

    // After a failure the endpoint may try again.
    fake->createPlayerResult = DP_OK;
    QCOMPARE(player.Connect(QStringLiteral("Host"), nullptr, 0, 0), DP_OK);
    QVERIFY(player.Connected());

    // No session object attached: a failure the caller can report, not a crash.
    QObject owner2;
    TDPlayer bare(&owner2);
    QCOMPARE(bare.Connect(QStringLiteral("Host"), nullptr, 0, 0), DPERR_UNINITIALIZED);
    QVERIFY(!bare.Connected());
}

void TestTDPlayer::send_data()
{
    QTest::addColumn<HRESULT>("result");
    QTest::addColumn<QString>("error"); // empty: accepted

    QTest::newRow("ok") << DP_OK << QString();
    QTest::newRow("pending") << DPERR_PENDING << QString();
    QTest::newRow("session lost") << DPERR_SESSIONLOST << "SendEx: The connection to the session has been lost.";
    QTest::newRow("unlisted failure") << HRESULT(0x80001234) << "SendEx: Unrecognized Error";
}

void TestTDPlayer::send()
{
    QFETCH(HRESULT, result);
    QFETCH(QString, error);

    Fixture f;
    f.fake->sendResult = result;
    const QByteArray bytes = Message(2060, 3);
    QString raised;
    DWORD messageId = 0;
    try {
        messageId = f.player->Send(DPID_ALLPLAYERS, DPSEND_GUARANTEED, bytes.constData(), DWORD(bytes.size()));
    } catch (const AppError& e) {
        raised = e.message();
    }
    QCOMPARE(raised, error);
    if (error.isEmpty())
        QCOMPARE(messageId, DWORD(1));

    QCOMPARE(f.fake->sends.size(), std::size_t(1));
    const FakeDirectPlay::SendCall& call = f.fake->sends.front();
    QCOMPARE(call.from, f.player->PlayerId());
    QCOMPARE(call.to, DPID_ALLPLAYERS);
    QCOMPARE(call.flags, DPSEND_GUARANTEED);
    QCOMPARE(call.data, bytes);
    QCOMPARE(call.priority, DWORD(0));
    QCOMPARE(call.timeout, DWORD(0));
    QCOMPARE(call.context, reinterpret_cast<void*>(std::uintptr_t(0x11223344)));
}

void TestTDPlayer::handlerExceptionIsReportedAndDeliveryGoesOn()
{
    Fixture f;
    QStringList reported;
    f.player->OnHandlerError = [&](const QString& message) { reported << message; };
    f.player->OnUserMsg = [&](TDPlayer* sender) {
        f.Record(sender, "user");
        switch (sender->ReceiveBuffer()[0]) {
        case 'A':
            throw AppError(QStringLiteral("Cannot create file"));
        case 'S':
            throw std::runtime_error("standard failure");
        case 'X':
            throw 42;
        default:
            break;
        }
    };
    f.fake->PushAll(2, 7, {"A...", "ok 1", "S...", "X..."});
    QTRY_COMPARE(f.delivered.size(), std::size_t(4));
    QCOMPARE(reported,
             (QStringList{"Cannot create file", "standard failure", "Unknown exception in a message handler"}));

    // Later messages still arrive; without a reporting hook the failure is only logged.
    f.player->OnHandlerError = nullptr;
    QTest::ignoreMessage(QtWarningMsg, "Message handler failed: Cannot create file");
    f.fake->PushAll(2, 7, {"A...", "ok 2"});
    QTRY_COMPARE(f.delivered.size(), std::size_t(6));
    QCOMPARE(f.delivered.back().bytes, QByteArray("ok 2"));
}

void TestTDPlayer::destroyedWhileMessagesWait()
{
    // The receive thread is blocked handing a batch over, and the main thread, instead of
    // delivering it, destroys the endpoint: no deadlock, and no handler runs afterwards.
    auto f = std::make_unique<Fixture>();
    std::vector<QByteArray> messages(600, Message(2060, 1));
    f->fake->PushAll(2, 7, messages);
    // Wait, without running the main thread's events, until a batch has been taken.
    QDeadlineTimer deadline(10000);
    while (f->fake->Queued() == messages.size() && !deadline.hasExpired())
        QThread::yieldCurrentThread();
    QVERIFY(f->fake->Queued() < messages.size());
    delete f->player;
    QCoreApplication::processEvents();
    QVERIFY(f->delivered.empty());
    QVERIFY(f->fake->event->IsClosed());

    // An endpoint that never got an object or a player goes just as quietly.
    QObject owner;
    delete new TDPlayer(&owner);
}

void TestTDPlayer::destroyedInsideAHandler()
{
    Fixture f;
    QPointer<TDPlayer> guard(f.player);
    int calls = 0;
    f.player->OnUserMsg = [&](TDPlayer* sender) {
        ++calls;
        delete sender;
    };
    f.fake->PushAll(2, 7, {"one.", "two.", "three"});
    QTRY_VERIFY(guard.isNull());
    QCoreApplication::processEvents();
    QCOMPARE(calls, 1);
    QVERIFY(f.owner.findChildren<TDPlayer*>().isEmpty());
}

QTEST_GUILESS_MAIN(TestTDPlayer)
#include "tst_tdplayer.moc"
