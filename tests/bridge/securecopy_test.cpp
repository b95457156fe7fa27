// A secure copy between the two engines without a network: the sending engine's messages
// pass the sender's link (sealed in the send queue's own room), a wire that may attack them,
// and the receiver's link into the receiving engine; the answers go back sealed. Attacks on
// the records end the copy, and nothing of a file that did not arrive whole is stored.
#include "bridge/securereceiverlink.h"
#include "bridge/securesenderlink.h"
#include "platform/apperror.h"
#include "support/testdata.h"
#include "transfer/receivingengine.h"
#include "transfer/sendingengine.h"
#include "transfer/support/recordingviews.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <functional>

namespace {

// One direction of the wire. It offers room like a connection's queue, so the sender's data
// packets are sealed where they lie; `attack` sees every message and returns the ones to
// deliver (none: lost; two: one replayed), after the record `hold` is kept back one message.
class Wire final : public MessageSink {
public:
    std::function<void(QByteArray&)> to;
    std::function<std::vector<QByteArray>(int index, QByteArray message)> attack;
    int sent = 0;
    int reservedRecords = 0;

    void Send(std::uint32_t, std::uint32_t, const void* data, std::uint32_t size) override
    {
        deliver(QByteArray(static_cast<const char*>(data), qsizetype(size)));
    }
    Room Reserve(std::uint32_t, std::uint32_t, std::uint32_t size, std::uint32_t count) override
    {
        m_size = size;
        m_count = count;
        m_room.assign(std::size_t(size) * count, 0xCC);
        reservedRecords += int(count);
        return {m_room.data(), size};
    }
    void SendReserved() override
    {
        for (std::uint32_t i = 0; i < m_count; ++i)
            deliver(QByteArray(reinterpret_cast<const char*>(m_room.data()) + i * m_size, qsizetype(m_size)));
    }

private:
    void deliver(QByteArray message)
    {
        const int index = sent++;
        const std::vector<QByteArray> out = attack ? attack(index, message) : std::vector<QByteArray>{message};
        for (QByteArray copy : out)
            to(copy);
    }
    std::vector<std::uint8_t> m_room;
    std::uint32_t m_size = 0;
    std::uint32_t m_count = 0;
};

struct SecureCopy {
    QTemporaryDir root;
    QString source = root.filePath("src") + "/";
    QString receiveDirectory = root.filePath("recv") + "/";
    Wire toServer;
    Wire toClient;
    RecordingView serverView;
    RecordingView clientView;
    ReceivingEngine server{serverView};
    std::unique_ptr<SecureReceiverLink> serverLink;
    std::unique_ptr<SecureSenderLink> clientLink;
    std::unique_ptr<SendingEngine> client;
    QStringList serverFailures;
    QStringList clientFailures;

    // `grouped`: the host said its server opens grouped records, so the sender seals its
    // batches several packets to a record.
    explicit SecureCopy(bool grouped = false)
    {
        QDir().mkpath(source);
        QDir().mkpath(receiveDirectory);
        const QByteArray instance(16, '\x42');
        serverLink =
            std::make_unique<SecureReceiverLink>(ServerHandshake::Setup{instance, Identity::Generate(), "server",
                                                                        AcceptPolicy::Open, nullptr, nullptr, true},
                                                 nullptr, toClient, [this](void* data, qsizetype size) {
                                                     server.HandleTransferMessage(data, size);
                                                     server.Flush();
                                                 });
        serverLink->SetFailed([this](const QString& why) {
            serverFailures << why;
            server.CloseCurrentFile(); // what the front end does when a copy ends badly
        });
        clientLink = std::make_unique<SecureSenderLink>(
            ClientHandshake::Setup{instance, Identity::Generate(), "client", std::nullopt, nullptr, true, grouped},
            nullptr, toServer);
        client = std::make_unique<SendingEngine>(clientLink->Sink(), clientView, [] { return std::uint16_t(0x1234); });
        clientLink->SetDeliver([this](const void* data, qsizetype size) { client->HandleAnswer(data, size); });
        clientLink->SetFailed([this](const QString& why) {
            clientFailures << why;
            client->ConnectionLost();
        });
        server.SetReceiveDirectory(receiveDirectory);
        server.SetExtensionOffered(true);
        server.SetAnswerSink(&serverLink->Answers());
        server.SetFreeSpaceProbe([](const QByteArray&) { return qint64(-1); });
        toServer.to = [this](QByteArray& message) { serverLink->Incoming(message.data(), message.size()); };
        toClient.to = [this](QByteArray& message) { clientLink->Incoming(message.data(), message.size()); };
        client->SetExtension(kExtensionVersion);
        // As the copy controllers do: the records authenticate every block.
        client->SetAuthenticated(true);
        server.SetAuthenticated(true);
        client->SetAnswerTimeout(300);
    }

    void connect()
    {
        clientLink->Connect([](int, const std::function<bool()>&) {}, [] { return false; });
    }
    SendEntry file(const QString& name, const QByteArray& bytes)
    {
        QFile out(source + name);
        EXPECT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(bytes);
        return {source + name, QFile::encodeName(name), false};
    }
    QStringList received() const { return QDir(receiveDirectory).entryList(QDir::Files | QDir::Hidden); }
};

TEST(SecureCopyTest, FilesArriveWholeThroughSealedRecords)
{
    for (const bool grouped : {false, true}) {
        SCOPED_TRACE(grouped ? "grouped records" : "a record per message");
        SecureCopy t(grouped);
        t.connect();
        EXPECT_TRUE(t.serverLink->Secure());
        // 300,000 bytes: one batch of 147 packets, in 7 groups of 21; the odd sizes around it
        // (a prime number of packets goes one to a record) and a file of one packet.
        const QByteArray big = RandomBytes(300'000, 7);
        const QByteArray prime = RandomBytes(2048 * 36 + 5, 8); // 37 packets
        t.client->StartCopy({t.file("a.txt", "abc"), t.file("big.bin", big), t.file("prime.bin", prime)});
        EXPECT_TRUE(t.serverFailures.isEmpty()) << t.serverFailures.join('\n').toStdString();
        EXPECT_TRUE(t.client->Problems().isEmpty());
        EXPECT_EQ(t.received(), QStringList({"a.txt", "big.bin", "prime.bin"}));
        for (const auto& [name, bytes] : {std::pair{"big.bin", big}, std::pair{"prime.bin", prime}}) {
            QFile in(t.receiveDirectory + name);
            ASSERT_TRUE(in.open(QIODevice::ReadOnly));
            EXPECT_EQ(in.readAll(), bytes) << name;
        }
        EXPECT_TRUE(t.server.CopySucceeded());
        // Data packets are sealed in the queue's room: one record each, or 21 to a record.
        EXPECT_EQ(t.toServer.reservedRecords, grouped ? 7 + 37 + 1 : 147 + 37 + 1);
    }
}

// A copy that ends with an error still hands on what it sent before: small messages waiting
// to share a record go out, so the files sent whole are stored.
TEST(SecureCopyTest, FilesSentBeforeACopyFailsAreStored)
{
    for (const bool grouped : {false, true}) {
        SCOPED_TRACE(grouped ? "grouped records" : "a record per message");
        SecureCopy t(grouped);
        t.connect();
        const SendEntry first = t.file("first.txt", "whole");
        const SendEntry second = t.file("second.txt", "also whole");
        SendEntry gone = t.file("gone.txt", "x");
        QFile::remove(gone.path);
        EXPECT_THROW(t.client->StartCopy({first, second, gone}), AppError);
        t.server.CloseCurrentFile(); // the client leaves
        EXPECT_EQ(t.received(), QStringList({"first.txt", "second.txt"}));
    }
}

TEST(SecureCopyTest, AnAttackedRecordEndsTheCopyAndNothingOfItsFileIsStored)
{
    const QByteArray big = RandomBytes(200'000, 9);
    // Messages to the server: 0 hello, 1 confirm, 2 copy start, 3 file, 4 onward data.
    const struct {
        const char* what;
        std::function<std::vector<QByteArray>(int, QByteArray)> attack;
    } rows[] = {
        {"altered",
         [](int i, QByteArray m) {
             if (i == 20)
                 m[40] = char(m[40] ^ 1);
             return std::vector{m};
         }},
        {"replayed",
         [](int i, QByteArray m) {
             return i == 20 ? std::vector{m, m} : std::vector{m};
         }},
        {"dropped", [](int i, QByteArray m) { return i == 20 ? std::vector<QByteArray>{} : std::vector{m}; }},
        {"reordered",
         [held = QByteArray()](int i, QByteArray m) mutable {
             if (i == 20) {
                 held = m;
                 return std::vector<QByteArray>{};
             }
             if (i == 21)
                 return std::vector{m, held};
             return std::vector{m};
         }},
        {"cut off", [](int i, QByteArray m) { return i >= 20 ? std::vector<QByteArray>{} : std::vector{m}; }},
        {"a plain message slipped in",
         [](int i, QByteArray m) {
             if (i == 20)
                 return std::vector{QByteArray::fromHex("1400000002000000"), m};
             return std::vector{m};
         }},
    };
    // Grouped, message 10 is a record of 14 of big.bin's 98 packets; otherwise message 20
    // is one packet.
    for (const bool grouped : {false, true})
        for (const auto& row : rows) {
            SCOPED_TRACE(std::string(grouped ? "grouped: " : "") + row.what);
            SecureCopy t(grouped);
            t.connect();
            const int shift = grouped ? 10 - 20 : 0;
            t.toServer.attack = [&row, shift](int i, QByteArray m) { return row.attack(i - shift, m); };
            try {
                t.client->StartCopy({t.file("first.txt", "whole"), t.file("big.bin", big)});
                ADD_FAILURE() << "the copy passed as complete";
            } catch (const AppError& error) {
                EXPECT_FALSE(error.message().isEmpty());
            }
            if (std::string(row.what) != "cut off") {
                EXPECT_EQ(t.serverFailures.size(), 1);
            }
            t.server.CloseCurrentFile(); // the client leaves
            EXPECT_FALSE(t.received().contains("big.bin"));
            EXPECT_FALSE(t.server.CopySucceeded());
        }
}

TEST(SecureCopyTest, AnAttackedAnswerEndsTheCopyAtTheSender)
{
    SecureCopy t;
    t.connect();
    // Answers: 0 reply; then receipts and the summary, sealed. One is altered.
    t.toClient.attack = [](int i, QByteArray m) {
        if (i == 2)
            m[m.size() - 1] = char(m[m.size() - 1] ^ 1);
        return std::vector{m};
    };
    EXPECT_THROW(t.client->StartCopy({t.file("a.txt", "abc"), t.file("b.txt", "def")}), AppError);
    ASSERT_EQ(t.clientFailures.size(), 1);
    EXPECT_TRUE(t.clientFailures[0].contains("authentication")) << t.clientFailures[0].toStdString();
}

} // namespace
