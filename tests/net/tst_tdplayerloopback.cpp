// The endpoint and the session search over the real session service, on loopback only: the
// search asks 127.0.0.1 by name instead of broadcasting.

#include "net/sessionaddress.h"
#include "net/tdplayer.h"
#include "net/tsessionenumerator.h"
#include "platform/apperror.h"

#include <QScopeGuard>
#include <QTest>

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

namespace {

constexpr GUID kApplication = {0x5D3A1F70, 0x2B84, 0x4C19, {0x9E, 0x6D, 0x7A, 0x0F, 0x31, 0xC8, 0xB4, 0x52}};
constexpr int kMessages = 5000;
const char kDescriptor[] = "Loopback#/srv/in";

// Message n of a copy-like stream: a 20-byte opening, a 268-byte header every 500
// messages, 2060-byte packets otherwise; the type word first, then n, then a pattern.
QByteArray Expected(int n)
{
    const int type = n == 0 ? 1 : (n % 500 == 1 ? 2 : 3);
    const int size = type == 1 ? 20 : (type == 2 ? 268 : 2060);
    QByteArray bytes(size, '\0');
    for (int i = 8; i < size; ++i)
        bytes[i] = static_cast<char>((n * 7 + i) & 0xFF);
    const quint32 words[2] = {quint32(type), quint32(n)};
    std::memcpy(bytes.data(), words, sizeof words);
    return bytes;
}

std::shared_ptr<IDirectPlay4A> LoopbackObject()
{
    auto object = CreateDirectPlay();
    QByteArray address = MakeTcpIpAddress(QStringLiteral("127.0.0.1"));
    if (!object || FAILED(object->InitializeConnection(address.data(), 0)))
        return nullptr;
    return object;
}

DWORD TypeOf(const TDPlayer* player)
{
    DWORD type = 0;
    std::memcpy(&type, player->ReceiveBuffer(), sizeof type);
    return type;
}

} // namespace

class TestTDPlayerLoopback : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void hostFindJoinAndCopyThousandsOfMessages();
};

void TestTDPlayerLoopback::initTestCase()
{
    // Our own discovery port above the ephemeral range, so test programs run side by side.
    const int port = 61000 + int(getpid() % 4500);
    qputenv("FERROWARDEN_DISCOVERY_PORT", QByteArray::number(port));
}

void TestTDPlayerLoopback::hostFindJoinAndCopyThousandsOfMessages()
{
    QObject hostOwner;
    QObject clientOwner;

    // Host: open the session and make its player, as the server does.
    auto* host = new TDPlayer(&hostOwner);
    host->DirectPlay = LoopbackObject();
    QVERIFY(host->DirectPlay);
    QList<DWORD> hostSystem;
    int received = 0;
    int wrong = 0;
    host->OnSystemMsg = [&](TDPlayer* p) { hostSystem << TypeOf(p); };
    TDPlayer* client = nullptr;
    host->OnUserMsg = [&](TDPlayer* p) {
        const QByteArray got(reinterpret_cast<const char*>(p->ReceiveBuffer()), qsizetype(p->ReceiveSize()));
        if (got != Expected(received) || p->FromId() != client->PlayerId())
            ++wrong;
        ++received;
    };
    host->SessionDesc.dwSize = DPSESSIONDESC2_SIZE;
    host->SessionDesc.dwFlags = DPSESSION_KEEPALIVE | DPSESSION_DIRECTPLAYPROTOCOL;
    host->SessionDesc.guidApplication = kApplication;
    host->SessionDesc.dwMaxPlayers = 2;
    QByteArray name(kDescriptor);
    host->SessionDesc.lpszSessionNameA = name.data();
    QCOMPARE(host->DirectPlay->Open(&host->SessionDesc, DPOPEN_CREATE), DP_OK);
    QCOMPARE(host->Connect(QString::fromLatin1(kDescriptor), nullptr, 0, 0), DP_OK);

    // Client: search until the session shows up, then stop the search.
    client = new TDPlayer(&clientOwner);
    client->DirectPlay = LoopbackObject();
    QVERIFY(client->DirectPlay);
    auto* search = new TSessionEnumerator(&clientOwner);
    search->DirectPlay = client->DirectPlay;
    search->ApplicationGuid = kApplication;
    bool found = false;
    bool ended = false;
    search->OnEnumerated = [&](TSessionEnumerator* sender) {
        if (sender->SessionList->IsEmpty())
            return;
        found = true;
        sender->Stop();
    };
    search->OnSearchEnded = [&](TSessionEnumerator*) { ended = true; };
    search->Start();
    QTRY_VERIFY_WITH_TIMEOUT(found || ended, 10000);
    QVERIFY2(found, "the hosted session was not found");
    QCOMPARE(search->SessionList->Count(), 1);
    QCOMPARE(search->SessionList->Strings(0), QString::fromLatin1(kDescriptor));
    QCOMPARE(search->SessionList->Objects(0)->size(), qsizetype(sizeof(GUID)));

    // Join by the instance found and make the client's player.
    client->SessionDesc = DPSESSIONDESC2{};
    client->SessionDesc.dwSize = DPSESSIONDESC2_SIZE;
    std::memcpy(&client->SessionDesc.guidInstance, search->SessionList->Objects(0)->constData(), sizeof(GUID));
    QCOMPARE(client->DirectPlay->Open(&client->SessionDesc, DPOPEN_JOIN), DP_OK);
    QCOMPARE(client->Connect(QStringLiteral("FerrowardenClient"), nullptr, 0, 0), DP_OK);
    QVERIFY(client->SessionDesc.guidInstance == host->SessionDesc.guidInstance);
    QTRY_VERIFY_WITH_TIMEOUT(hostSystem.contains(DPSYS_CREATEPLAYERORGROUP), 10000);

    // A copy's worth of messages: all arrive through OnUserMsg, complete and in order.
    // The client sends from a thread of its own: Send waits for room while the host's
    // queue is full, and only this (the main) thread can drain that queue. A process that
    // hosts and sends at once on one thread would stall the same way.
    std::atomic<bool> stopSending{false};
    QString sendError;
    std::thread sender([&] {
        try {
            for (int n = 0; n < kMessages && !stopSending; ++n) {
                const QByteArray bytes = Expected(n);
                client->Send(DPID_ALLPLAYERS, DPSEND_GUARANTEED, bytes.constData(), DWORD(bytes.size()));
            }
        } catch (const AppError& error) {
            sendError = error.message();
        }
    });
    // On a failed check below, the host goes first: the client's session is then lost,
    // which lets a Send that waits for room return, so the sender can be joined.
    auto joinSender = qScopeGuard([&] {
        if (!sender.joinable())
            return;
        stopSending = true;
        delete host;
        sender.join();
    });
    QTRY_COMPARE_WITH_TIMEOUT(received, kMessages, 30000);
    joinSender.dismiss();
    sender.join();
    QCOMPARE(sendError, QString());
    QCOMPARE(wrong, 0);

    // The client leaves by freeing its endpoint; the host hears of it.
    delete search;
    delete client;
    client = nullptr;
    QTRY_VERIFY_WITH_TIMEOUT(hostSystem.contains(DPSYS_DESTROYPLAYERORGROUP), 10000);
    QCOMPARE(received, kMessages);
}

QTEST_GUILESS_MAIN(TestTDPlayerLoopback)
#include "tst_tdplayerloopback.moc"
