// Both ends of the secure handshake run against each other in memory, as a table: codes
// right and wrong, three wrong codes and the new one, trusted devices, changed keys, each
// policy, a man in the middle, and malformed messages. Whatever fails leaves no keys.
#include "secure/clienthandshake.h"
#include "secure/recordchannel.h"
#include "secure/serverhandshake.h"
#include "secure/trusteddevices.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <QtEndian>

#include <functional>

namespace {

const QByteArray kInstance = QByteArray::fromHex("00112233445566778899aabbccddeeff");

// One device: its identity and the devices it trusts.
struct Device {
    explicit Device(const QByteArray& deviceName, const QString& folder)
        : name(deviceName), identity(Identity::Generate()), trusted(folder + "/" + deviceName + ".json")
    {
    }
    QByteArray name;
    Identity identity;
    TrustedDevices trusted;
};

struct Outcome {
    HandshakeState client = HandshakeState::Running;
    HandshakeState server = HandshakeState::Running;
    HandshakeRefusal clientReason = HandshakeRefusal::Failed;
    HandshakeRefusal serverReason = HandshakeRefusal::Failed;
    QString clientText;
    QString serverText;
    SecureSession clientSession;
    SecureSession serverSession;
};

// Runs a handshake; `tamper` may change each message on its way (true: from the client).
Outcome run(ClientHandshake& client, ServerHandshake& server,
            const std::function<QByteArray(bool, QByteArray)>& tamper = {})
{
    const auto pass = [&](bool fromClient, QByteArray bytes) { return tamper ? tamper(fromClient, bytes) : bytes; };
    QByteArray toServer = pass(true, client.hello());
    for (int round = 0; round < 3 && !toServer.isEmpty(); ++round) {
        const QByteArray toClient = pass(false, server.feed(toServer));
        toServer = toClient.isEmpty() ? QByteArray() : pass(true, client.feed(toClient));
        if (!toServer.isEmpty() && client.state() != HandshakeState::Running)
            server.feed(toServer), toServer.clear();
    }
    return {client.state(),       server.state(),       client.refusal(), server.refusal(),
            client.refusalText(), server.refusalText(), client.session(), server.session()};
}

class Handshake : public ::testing::Test {
protected:
    QTemporaryDir folder;
    Device sender{"sender", folder.path()};
    Device receiver{"receiver", folder.path()};
    CodeGuard codes;

    ClientHandshake::Setup clientSetup(std::optional<PairingCode> code = std::nullopt)
    {
        return {kInstance, sender.identity, sender.name, code, &sender.trusted, true};
    }
    ServerHandshake::Setup serverSetup(AcceptPolicy policy)
    {
        return {kInstance,
                receiver.identity,
                receiver.name,
                policy,
                policy == AcceptPolicy::Paired ? &codes : nullptr,
                &receiver.trusted,
                true};
    }
    void trustEachOther()
    {
        sender.trusted.add(QString::fromUtf8(receiver.name), receiver.identity.publicKey());
        receiver.trusted.add(QString::fromUtf8(sender.name), sender.identity.publicKey());
    }
    PairingCode wrongCode() const
    {
        QByteArray digits = codes.code().digits();
        digits[0] = digits[0] == '9' ? '0' : char(digits[0] + 1);
        return *PairingCode::FromTyped(QString::fromLatin1(digits));
    }
};

// Keys that match: what one end seals the other opens, both ways.
void expectWorkingKeys(const Outcome& outcome)
{
    ASSERT_EQ(outcome.client, HandshakeState::Done) << outcome.clientText.toStdString();
    ASSERT_EQ(outcome.server, HandshakeState::Done) << outcome.serverText.toStdString();
    RecordChannel client(outcome.clientSession.cipher, RecordChannel::Side::Client, outcome.clientSession.sendKey,
                         outcome.clientSession.receiveKey);
    RecordChannel server(outcome.serverSession.cipher, RecordChannel::Side::Server, outcome.serverSession.sendKey,
                         outcome.serverSession.receiveKey);
    for (RecordChannel* from : {&client, &server}) {
        RecordChannel* to = from == &client ? &server : &client;
        QByteArray record = from->Seal("hello there");
        const auto opened = to->OpenInPlace(reinterpret_cast<std::uint8_t*>(record.data()), std::size_t(record.size()));
        ASSERT_TRUE(opened.ok()) << opened.error.toStdString();
        EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(opened.data), qsizetype(opened.size)), "hello there");
    }
}

TEST_F(Handshake, PoliciesAgainstSenders)
{
    enum class Sender { NoCode, RightCode, WrongCode, Trusted };
    const struct {
        const char* what;
        AcceptPolicy policy;
        Sender sender;
        HandshakeState expected;
        HandshakeRefusal reason;
        bool paired;
    } rows[] = {
        {"open, no code", AcceptPolicy::Open, Sender::NoCode, HandshakeState::Done, {}, false},
        {"open, trusted", AcceptPolicy::Open, Sender::Trusted, HandshakeState::Done, {}, false},
        {"open, a code it does not show", AcceptPolicy::Open, Sender::RightCode, HandshakeState::Refused,
         HandshakeRefusal::Failed, false},
        {"paired, right code", AcceptPolicy::Paired, Sender::RightCode, HandshakeState::Done, {}, true},
        {"paired, wrong code", AcceptPolicy::Paired, Sender::WrongCode, HandshakeState::Refused,
         HandshakeRefusal::WrongCode, false},
        {"paired, no code", AcceptPolicy::Paired, Sender::NoCode, HandshakeState::Refused,
         HandshakeRefusal::NeedsPairing, false},
        {"paired, trusted without a code", AcceptPolicy::Paired, Sender::Trusted, HandshakeState::Done, {}, false},
        {"trusted, trusted", AcceptPolicy::Trusted, Sender::Trusted, HandshakeState::Done, {}, false},
        {"trusted, no code", AcceptPolicy::Trusted, Sender::NoCode, HandshakeState::Refused,
         HandshakeRefusal::NotTrusted, false},
        {"trusted, a code", AcceptPolicy::Trusted, Sender::RightCode, HandshakeState::Refused,
         HandshakeRefusal::NotTrusted, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        sender.trusted.forget("receiver");
        receiver.trusted.forget("sender");
        if (row.sender == Sender::Trusted)
            trustEachOther();
        std::optional<PairingCode> code;
        if (row.sender == Sender::RightCode)
            code = codes.code();
        if (row.sender == Sender::WrongCode)
            code = wrongCode();
        ClientHandshake client(clientSetup(code));
        ServerHandshake server(serverSetup(row.policy));
        const Outcome outcome = run(client, server);
        if (row.expected == HandshakeState::Done) {
            expectWorkingKeys(outcome);
            EXPECT_EQ(outcome.clientSession.paired, row.paired);
            EXPECT_EQ(outcome.serverSession.paired, row.paired);
            EXPECT_EQ(outcome.clientSession.peerTrusted, row.sender == Sender::Trusted);
            EXPECT_EQ(outcome.serverSession.peerTrusted, row.sender == Sender::Trusted);
            EXPECT_EQ(outcome.serverSession.peerName, "sender");
            EXPECT_EQ(outcome.clientSession.peerIdentity, receiver.identity.publicKey());
            EXPECT_EQ(outcome.serverSession.peerIdentity, sender.identity.publicKey());
        } else {
            EXPECT_EQ(outcome.client, HandshakeState::Refused);
            EXPECT_EQ(outcome.server, HandshakeState::Refused);
            EXPECT_EQ(outcome.clientReason, row.reason) << outcome.clientText.toStdString();
            EXPECT_EQ(outcome.serverReason, row.reason) << outcome.serverText.toStdString();
            EXPECT_FALSE(outcome.clientText.isEmpty());
        }
    }
}

TEST_F(Handshake, ThreeWrongCodesMakeANewOne)
{
    std::optional<PairingCode> announced;
    CodeGuard guard([&](const PairingCode& code) { announced = code; });
    const PairingCode first = guard.code();
    auto setup = serverSetup(AcceptPolicy::Paired);
    setup.codes = &guard;
    for (int attempt = 1; attempt <= 3; ++attempt) {
        QByteArray digits = first.digits();
        digits[7] = char('0' + (digits[7] - '0' + attempt) % 10);
        ClientHandshake client(clientSetup(PairingCode::FromTyped(QString::fromLatin1(digits))));
        ServerHandshake server(setup);
        const Outcome outcome = run(client, server);
        EXPECT_EQ(outcome.clientReason, HandshakeRefusal::WrongCode);
        EXPECT_EQ(outcome.serverReason, HandshakeRefusal::WrongCode);
        EXPECT_EQ(announced.has_value(), attempt == 3);
    }
    ASSERT_TRUE(announced);
    EXPECT_EQ(*announced, guard.code());
    // The old code, even right, is spent; the new one pairs.
    {
        ClientHandshake client(clientSetup(first));
        ServerHandshake server(setup);
        EXPECT_EQ(run(client, server).clientReason, HandshakeRefusal::WrongCode);
    }
    ClientHandshake client(clientSetup(guard.code()));
    ServerHandshake server(setup);
    expectWorkingKeys(run(client, server));
}

TEST_F(Handshake, ASenderThatGoesAwayAfterTheReplyUsedAnAttempt)
{
    CodeGuard guard;
    auto setup = serverSetup(AcceptPolicy::Paired);
    setup.codes = &guard;
    for (int attempt = 0; attempt < 3; ++attempt) {
        ClientHandshake client(clientSetup(guard.code()));
        ServerHandshake server(setup);
        EXPECT_EQ(guard.wrongAttempts(), attempt);
        EXPECT_FALSE(server.feed(client.hello()).isEmpty()); // the reply lets it test one guess
    } // each sender goes away unconfirmed: its attempt counts as wrong
    EXPECT_EQ(guard.wrongAttempts(), 0) << "the third renewed the code";
    ClientHandshake client(clientSetup(guard.code()));
    ServerHandshake server(setup);
    expectWorkingKeys(run(client, server));
}

TEST_F(Handshake, AChangedKeyIsRefusedAtBothEnds)
{
    trustEachOther();
    Device impostor("sender", folder.path() + "/other");
    {
        // A sender calling itself by a trusted name, with another key, even with the code.
        ClientHandshake client({kInstance, impostor.identity, impostor.name, codes.code(), nullptr, true});
        ServerHandshake server(serverSetup(AcceptPolicy::Paired));
        const Outcome outcome = run(client, server);
        EXPECT_EQ(outcome.serverReason, HandshakeRefusal::KeyChanged);
        EXPECT_TRUE(outcome.serverText.contains(Identity::Fingerprint(sender.identity.publicKey())));
        EXPECT_TRUE(outcome.serverText.contains(Identity::Fingerprint(impostor.identity.publicKey())));
        EXPECT_EQ(outcome.client, HandshakeState::Refused);
    }
    {
        // A server calling itself "receiver" with another key: the sender refuses it.
        ClientHandshake client(clientSetup());
        ServerHandshake server({kInstance, impostor.identity, "receiver", AcceptPolicy::Open, nullptr, nullptr, true});
        const Outcome outcome = run(client, server);
        EXPECT_EQ(outcome.client, HandshakeState::Refused);
        EXPECT_EQ(outcome.clientReason, HandshakeRefusal::KeyChanged);
        EXPECT_FALSE(client.refusedByServer());
        EXPECT_TRUE(outcome.clientText.contains(Identity::Fingerprint(receiver.identity.publicKey())));
        EXPECT_NE(outcome.server, HandshakeState::Done);
    }
}

// A man in the middle runs its own exchange with each end: its own keys, its own shares.
TEST_F(Handshake, AManInTheMiddleFailsWhenACodeIsUsed)
{
    Device mallory("mallory", folder.path());
    // Toward the server it is a sender with a guessed code; toward the sender a server.
    const struct {
        const char* what;
        bool withCode;
        bool senderTrustsServer;
        bool expectSenderDone;
    } rows[] = {
        {"with a code", true, false, false},
        {"toward a trusted server", false, true, false},
        {"open, no code: nothing proves who is at the other end", false, false, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        sender.trusted.forget("receiver");
        if (row.senderTrustsServer)
            sender.trusted.add("receiver", receiver.identity.publicKey());
        ClientHandshake client(clientSetup(row.withCode ? std::optional(codes.code()) : std::nullopt));
        // Mallory's server side, toward the sender: calls itself "receiver", guesses the code.
        CodeGuard guessed;
        ServerHandshake fakeServer({kInstance, mallory.identity, "receiver",
                                    row.withCode ? AcceptPolicy::Paired : AcceptPolicy::Open,
                                    row.withCode ? &guessed : nullptr, nullptr, true});
        // Mallory's client side, toward the real server, with the same guess.
        ClientHandshake fakeClient({kInstance, mallory.identity, "sender",
                                    row.withCode ? std::optional(guessed.code()) : std::nullopt, nullptr, true});
        ServerHandshake server(serverSetup(row.withCode ? AcceptPolicy::Paired : AcceptPolicy::Open));
        const Outcome toSender = run(client, fakeServer);
        const Outcome toServer = run(fakeClient, server);
        EXPECT_EQ(toSender.client == HandshakeState::Done, row.expectSenderDone) << toSender.clientText.toStdString();
        if (row.withCode) {
            EXPECT_EQ(toServer.serverReason, HandshakeRefusal::WrongCode);
        }
    }
}

TEST_F(Handshake, AlteredMessagesEndIt)
{
    // Each row flips one byte of one message in a paired handshake with the right code.
    const struct {
        const char* what;
        bool fromClient;
        int message; // 0 the first of that direction, 1 the second
        int offset;
    } rows[] = {
        {"hello's ephemeral key", true, 0, 8},
        {"hello's identity", true, 0, 40},
        {"hello's share", true, 0, 72},
        {"hello's name", true, 0, 108},
        {"reply's flags (the cipher)", false, 0, 4},
        {"reply's ephemeral key", false, 0, 8},
        {"reply's identity", false, 0, 41},
        {"reply's share", false, 0, 72},
        {"reply's tag", false, 0, -90},
        {"reply's signature", false, 0, -1},
        {"confirm's tag", true, 1, 8},
        {"confirm's signature", true, 1, 100},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        int seen[2] = {0, 0};
        ClientHandshake client(clientSetup(codes.code()));
        ServerHandshake server(serverSetup(AcceptPolicy::Paired));
        const Outcome outcome = run(client, server, [&](bool fromClient, QByteArray bytes) {
            if (fromClient == row.fromClient && seen[fromClient]++ == row.message && !bytes.isEmpty()) {
                const qsizetype at = row.offset < 0 ? bytes.size() + row.offset : row.offset;
                bytes[at] = char(bytes[at] ^ 0x20);
            }
            return bytes;
        });
        EXPECT_FALSE(outcome.client == HandshakeState::Done && outcome.server == HandshakeState::Done);
        EXPECT_NE(outcome.server, HandshakeState::Done);
    }
}

TEST_F(Handshake, MessagesOutOfPlaceAreRefused)
{
    ClientHandshake client(clientSetup());
    ServerHandshake server(serverSetup(AcceptPolicy::Open));
    // A Confirm before any Hello, a record, a truncated Hello, nothing at all.
    for (const QByteArray& bytes :
         {EncodeSecureConfirm({}),
          RecordChannel(RecordCipher::ChaCha20Poly1305, RecordChannel::Side::Client, {}, {}).Seal("x"),
          client.hello().left(50), QByteArray()}) {
        ServerHandshake fresh(serverSetup(AcceptPolicy::Open));
        const QByteArray answer = fresh.feed(bytes);
        EXPECT_EQ(fresh.state(), HandshakeState::Refused);
        EXPECT_TRUE(std::holds_alternative<SecureRefusalMessage>(DecodeHandshakeMessage(answer)));
    }
    // A second Hello where the Confirm is due.
    const QByteArray reply = server.feed(client.hello());
    server.feed(client.hello());
    EXPECT_EQ(server.state(), HandshakeState::Refused);
    // The client takes only a Reply or a Refusal.
    client.feed(client.hello());
    EXPECT_EQ(client.state(), HandshakeState::Refused);
    EXPECT_TRUE(client.feed(reply).isEmpty()) << "nothing after the end";
}

TEST_F(Handshake, TheCipherIsAesOnlyWhenBothEndsAreFastAtIt)
{
    for (const bool clientFast : {false, true})
        for (const bool serverFast : {false, true}) {
            if ((clientFast || serverFast) && !AesGcmAvailable())
                continue;
            auto clientSide = clientSetup();
            clientSide.aesFast = clientFast;
            auto serverSide = serverSetup(AcceptPolicy::Open);
            serverSide.aesFast = serverFast;
            ClientHandshake client(clientSide);
            ServerHandshake server(serverSide);
            const Outcome outcome = run(client, server);
            expectWorkingKeys(outcome);
            const RecordCipher expected =
                clientFast && serverFast ? RecordCipher::Aes256Gcm : RecordCipher::ChaCha20Poly1305;
            EXPECT_EQ(outcome.clientSession.cipher, expected);
            EXPECT_EQ(outcome.serverSession.cipher, expected);
        }
}

// Grouped records only where the host's session said its server opens them: a server of an
// earlier build refuses a Hello with a flag it does not know.
TEST_F(Handshake, GroupedRecordsOnlyWhenTheHostSaysItOpensThem)
{
    for (const bool hostGroups : {false, true}) {
        SCOPED_TRACE(hostGroups ? "the host opens grouped records" : "a host that does not say so");
        auto clientSide = clientSetup();
        clientSide.hostGroups = hostGroups;
        ClientHandshake client(clientSide);
        ServerHandshake server(serverSetup(AcceptPolicy::Open));
        const auto hello = std::get<SecureHello>(DecodeHandshakeMessage(client.hello()));
        EXPECT_EQ(hello.groupsRecords, hostGroups);
        EXPECT_EQ(qFromLittleEndian<std::uint16_t>(client.hello().constData() + 6) & 4, hostGroups ? 4 : 0);
        const Outcome outcome = run(client, server);
        expectWorkingKeys(outcome);
        EXPECT_EQ(outcome.clientSession.groupedRecords, hostGroups);
        EXPECT_EQ(outcome.serverSession.groupedRecords, hostGroups);
    }
}

} // namespace
