// A hostile peer of our own (support/rawsession.h, written from the protocol's documentation)
// against a real `ferrowarden serve`: names that try to leave the receive directory, sizes
// and counts that lie, messages and frames out of shape, forged senders, random datagrams.
// The server refuses each with a log line, stays up, writes nothing outside its directory,
// leaves existing files intact and serves a good copy afterwards.
#include "support/endtoend.h"
#include "support/rawsession.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QThread>

#include <functional>

namespace {

using namespace rawsession;

QByteArray packetOf(const QByteArray& bytes)
{
    return DataPacketMessage(bytes, std::int32_t(bytes.size()));
}

// A whole copy of one file under `nameField`, as a well-behaved sender would send it.
std::vector<QByteArray> copyOf(const QByteArray& nameField, const QByteArray& bytes)
{
    return {SessionDataMessage(1, std::int32_t(bytes.size()), 2048),
            FileHeaderMessage(nameField, std::int32_t(bytes.size()), 1), packetOf(bytes)};
}

class HostilePeer : public EndToEnd {
protected:
    void SetUp() override
    {
        EndToEnd::SetUp();
        writeExisting("keep.txt", "untouched");
        QFile outside(dir.filePath("outside.txt"));
        ASSERT_TRUE(outside.open(QIODevice::WriteOnly));
        outside.write("outside");
        outside.close();
        ASSERT_TRUE(QFile::link(dir.filePath("outside.txt"), dir.filePath("in/link")));
        startServer();
    }

    // Joins as a raw peer and sends the messages; then leaves and waits until the server
    // has seen it go, so that its place is free for the next.
    void sendAsPeer(const std::vector<QByteArray>& messages, const std::string& what)
    {
        Peer peer;
        ASSERT_TRUE(peer.Enter(std::uint16_t(port))) << what;
        for (const QByteArray& message : messages)
            ASSERT_TRUE(peer.SendData(message)) << what;
        peer.Close();
        ASSERT_TRUE(waitForServer("Client disconnected...")) << what << "\n" << serverOutput.toStdString();
    }

    // Everything around the receive directory as it was; inside, only what is expected.
    void expectNothingOutside(const std::string& what)
    {
        QStringList around =
            QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
        around.removeOne("data"); // where a real sender of the test keeps its own state
        EXPECT_EQ(around, QStringList({"cfg", "fwd.txt", "in", "out", "outside.txt"})) << what;
        QFile outside(dir.filePath("outside.txt"));
        ASSERT_TRUE(outside.open(QIODevice::ReadOnly));
        EXPECT_EQ(outside.readAll(), "outside") << what;
        EXPECT_EQ(received("keep.txt"), "untouched") << what;
        EXPECT_EQ(temporaryFiles(), QStringList()) << what;
    }

    // After all of it, a real sender's copy arrives whole.
    void expectAGoodCopyAndAnHonestLog()
    {
        expectAGoodCopy("after the hostile peer");
        QFile log(dir.filePath("fwd.txt"));
        ASSERT_TRUE(log.open(QIODevice::ReadOnly));
        QByteArray text = log.readAll() + serverOutput;
        text.replace("\r\n", "").replace('\n', "");
        for (const char c : text)
            ASSERT_FALSE(static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
                << "a raw control character (" << int(c) << ") reached the log or the terminal";
    }
};

TEST_F(HostilePeer, NamesThatTryToLeaveTheReceiveDirectory)
{
    const struct {
        QByteArray nameField;
        const char* refusedAs; // the name as the refusal shows it; null when it is written inside
        const char* writtenAs;
    } rows[] = {
        {"..", "..", nullptr},
        {"../x", "../x", nullptr},
        {"a/../../x", "a/../../x", nullptr},
        {"/etc/ferrowarden-test", "/etc/ferrowarden-test", nullptr},
        {"..\\x", "..\\x", nullptr},
        {"evil\nServer shut down", "evil\\x0AServer shut down", nullptr},
        {"\x1b]0;owned\x07\x1b[2J", "\\x1B]0;owned\\x07\\x1B[2J", nullptr},
        {"cr\rhere", "cr\\x0Dhere", nullptr},
        {"", "", nullptr},
        {QByteArray("ok\0/../../x", 11), nullptr, "ok"}, // the name ends at its first zero
        {QByteArray(255, '.'), nullptr, nullptr},        // an ordinary name inside
        {"link", nullptr, "link"},                       // replaces the link, not its target
    };
    for (const auto& row : rows) {
        const std::string what = row.nameField.toStdString();
        serverOutput.clear();
        const QByteArray bytes = "data of " + row.nameField.left(20);
        sendAsPeer(copyOf(row.nameField, bytes), what);
        if (row.refusedAs) {
            EXPECT_TRUE(waitForServer("Refused unsafe file name \"" + QByteArray(row.refusedAs) + "\""))
                << what << "\n"
                << serverOutput.toStdString();
            EXPECT_TRUE(serverOutput.contains("\" was not written; received data discarded")) << what;
            EXPECT_FALSE(serverOutput.contains("Transmission Complete!")) << what;
        } else {
            EXPECT_TRUE(serverOutput.contains("Transmission Complete!")) << what << serverOutput.toStdString();
            const QString name = row.writtenAs ? QString::fromUtf8(row.writtenAs) : QString::fromUtf8(row.nameField);
            EXPECT_EQ(received(name), bytes) << what;
            EXPECT_FALSE(QFileInfo(dir.filePath("in/" + name)).isSymLink()) << what;
        }
        expectNothingOutside(what);
    }
    expectAGoodCopyAndAnHonestLog();
}

TEST_F(HostilePeer, MessagesThatLieOrMakeNoSense)
{
    const QByteArray abc = "abc";
    const QByteArray twenty(20, 'z');
    QByteArray wrongChecksum = packetOf(abc);
    wrongChecksum[2056] = char(wrongChecksum[2056] ^ 1);
    const auto withCount = [](std::int32_t count) { return DataPacketMessage("xyz", count); };
    // A data packet dropped in the middle of a file loses the file.
    const QByteArray lost = "Transmission failed: a data packet of \"keep.txt\" was dropped, so it cannot be whole; "
                            "received data discarded";
    const struct {
        const char* what;
        std::vector<QByteArray> messages;
        std::vector<QByteArray> lines; // each expected in the server's output
        const char* keptName;          // a file of this name existed and must stay as it was
    } rows[] = {
        {"more data than announced",
         {SessionDataMessage(1, 10, 2048), FileHeaderMessage("keep.txt", 10, 1), packetOf(twenty)},
         {"Message dropped: data packet with count 20, but \"keep.txt\" lacks only 10 bytes", lost},
         "keep.txt"},
        {"less data than announced, then the peer leaves",
         {SessionDataMessage(1, 20, 2048), FileHeaderMessage("keep.txt", 20, 1), packetOf(abc)},
         {"Transmission aborted: \"keep.txt\" incomplete (3 of 20 bytes); received data discarded"},
         "keep.txt"},
        {"a negative size",
         {SessionDataMessage(1, -5, 2048), FileHeaderMessage("neg", -5, 1), packetOf(abc)},
         {"Refused \"neg\": announced size -5 is negative; its data will be discarded"},
         nullptr},
        {"packets before any file header",
         {SessionDataMessage(1, 3, 2048), packetOf(abc), packetOf("")},
         {"Message dropped: data packet before any file header"},
         nullptr},
        {"a huge count",
         {SessionDataMessage(1, 3, 2048), FileHeaderMessage("keep.txt", 3, 1), withCount(100000)},
         {"Message dropped: Data packet message with count 100000, outside 0 to 2048", lost},
         "keep.txt"},
        {"a negative count",
         {SessionDataMessage(1, 3, 2048), FileHeaderMessage("keep.txt", 3, 1), withCount(-7)},
         {"Message dropped: Data packet message with count -7, outside 0 to 2048", lost},
         "keep.txt"},
        {"a count above the block size",
         {SessionDataMessage(1, 3, 512), FileHeaderMessage("keep.txt", 3, 1), withCount(513)},
         {"Message dropped: data packet with count 513 above the block size 512", lost},
         "keep.txt"},
        {"block size 0",
         {SessionDataMessage(1, 3, 0)},
         {"Message dropped: Session data message announces block size 0, outside 1 to 2048"},
         nullptr},
        {"block size 65535",
         {SessionDataMessage(1, 3, std::int16_t(-1))},
         {"Message dropped: Session data message announces block size -1, outside 1 to 2048"},
         nullptr},
        {"a truncated data packet",
         {SessionDataMessage(1, 3, 2048), FileHeaderMessage("keep.txt", 3, 1), packetOf(abc).left(100)},
         {"Message dropped: Data packet message of 100 bytes is shorter than 2060 bytes", lost},
         "keep.txt"},
        {"a truncated file header",
         {FileHeaderMessage("x", 3, 1).left(30)},
         {"Message dropped: File header message of 30 bytes is shorter than 268 bytes"},
         nullptr},
        // The endpoint consumes messages too short to carry a type, by design without a line.
        {"a message of three bytes", {QByteArray("\x01\x00\x00", 3)}, {}, nullptr},
        {"an unknown type", {QByteArray("\x09\x00\x00\x00zzzz", 8)}, {"(dwType = 9?)"}, nullptr},
        {"a corrupt block",
         {SessionDataMessage(1, 3, 2048), FileHeaderMessage("keep.txt", 3, 1), wrongChecksum},
         {"Packet corrupt! ", "Transmission failed: 1 corrupt block in \"keep.txt\"; received data discarded"},
         "keep.txt"},
        {"enciphered with another key than announced",
         {SessionDataMessage(1, 3, 2048, true, 0x1234), FileHeaderMessage("keep.txt", 3, 1), packetOf(abc)},
         {"Transmission failed: 1 corrupt block in \"keep.txt\"; received data discarded"},
         "keep.txt"},
        {"an oversized data packet, read by its layout",
         {SessionDataMessage(1, 3, 2048), FileHeaderMessage("long.bin", 3, 1), packetOf(abc) + QByteArray(5000, 'q')},
         {"Transmission Complete!"},
         nullptr},
    };
    for (const auto& row : rows) {
        serverOutput.clear();
        sendAsPeer(row.messages, row.what);
        for (const QByteArray& line : row.lines)
            EXPECT_TRUE(waitForServer(line, 3000)) << row.what << ": " << line.toStdString() << "\n"
                                                   << serverOutput.toStdString();
        if (row.keptName) {
            EXPECT_EQ(received(row.keptName), "untouched") << row.what;
        }
        expectNothingOutside(row.what);
    }
    EXPECT_EQ(received("long.bin"), "abc");
    EXPECT_EQ(received("neg"), "<missing>");
    expectAGoodCopyAndAnHonestLog();
}

// The same in the extended protocol, whose paths have parts: each entry is refused with a
// receipt that says why, nothing lands outside the receive directory or through a link,
// and the summary comes once the copy ends.
TEST_F(HostilePeer, PathsAndSizesOfTheExtendedProtocol)
{
    const QByteArray abc = "abc";
    const struct {
        QByteArray path;
        std::uint8_t refusedFor; // 1 unsafe name, 2 cannot create
    } rows[] = {
        {"..", 1},
        {"../x", 1},
        {"a/../../x", 1},
        {"/etc/ferrowarden-test", 1},
        {"a//b", 1},
        {"a/./b", 1},
        {"..\\x", 1},
        {"evil\nServer shut down", 1},
        {"\x1b]0;owned\x07\x1b[2J", 1},
        {"link/x", 2},
        {"keep.txt/x", 2},
    };
    Peer peer;
    ASSERT_TRUE(peer.Enter(std::uint16_t(port)));
    ASSERT_TRUE(peer.SendData(CopyStartMessage(std::size(rows) + 2, std::size(rows), 3 * (std::size(rows) + 1))));
    std::uint32_t entry = 0;
    for (const auto& row : rows) {
        for (const bool folder : {false, true}) {
            const std::string what = row.path.toStdString() + (folder ? " (folder)" : " (file)");
            ++entry;
            if (folder) {
                ASSERT_TRUE(peer.SendData(FolderEntryMessage(entry, row.path))) << what;
            } else {
                ASSERT_TRUE(peer.SendData(FileEntryMessage(entry, 3, row.path))) << what;
                ASSERT_TRUE(peer.SendData(packetOf(abc))) << what;
            }
            const auto answer = peer.ReceiveMessage();
            ASSERT_TRUE(answer) << what << "\n" << serverOutput.toStdString();
            const auto receipt = ParseReceipt(*answer);
            ASSERT_TRUE(receipt) << what;
            EXPECT_EQ(receipt->entry, entry) << what;
            EXPECT_EQ(receipt->kind, folder ? 2 : 1) << what;
            EXPECT_EQ(receipt->outcome, 3) << what << ": refused";
            EXPECT_EQ(receipt->detail, row.refusedFor) << what;
        }
    }
    // A size no file can have, then a good file deep down.
    ASSERT_TRUE(peer.SendData(FileEntryMessage(++entry, 0x8000000000000000ull, "huge")));
    auto answer = peer.ReceiveMessage();
    ASSERT_TRUE(answer);
    EXPECT_EQ(ParseReceipt(*answer)->outcome, 3);
    EXPECT_EQ(ParseReceipt(*answer)->detail, 4) << "too large";
    ASSERT_TRUE(peer.SendData(FileEntryMessage(++entry, 3, "sub/dir/ok.txt")));
    ASSERT_TRUE(peer.SendData(packetOf(abc)));
    answer = peer.ReceiveMessage();
    ASSERT_TRUE(answer);
    EXPECT_EQ(ParseReceipt(*answer)->outcome, 1) << "stored";
    ASSERT_TRUE(peer.SendData(CopyEndMessage(entry)));
    answer = peer.ReceiveMessage();
    ASSERT_TRUE(answer);
    EXPECT_TRUE(IsSummary(*answer));
    peer.Close();
    ASSERT_TRUE(waitForServer("Client disconnected...")) << serverOutput.toStdString();

    EXPECT_EQ(received("sub/dir/ok.txt"), abc);
    EXPECT_EQ(QDir(dir.filePath("in")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name),
              QStringList({"keep.txt", "link", "sub"}));
    EXPECT_TRUE(QFileInfo(dir.filePath("in/link")).isSymLink());
    expectNothingOutside("extended protocol");
    expectAGoodCopyAndAnHonestLog();
}

// A peer that sends entry after entry and reads none of the answers: they pile up until the
// server's send queue is full; the server then gives up answering that client, instead of
// waiting for it for ever, and goes on serving. (This server's output goes to a file: a
// pipe that the test does not read fast enough would hold the server up by itself.)
TEST_F(HostilePeer, APeerThatReadsNoAnswersCannotHoldTheServer)
{
    server.terminate();
    ASSERT_TRUE(server.waitForFinished(5000));
    QProcess flooded;
    flooded.setProcessEnvironment(environment);
    flooded.setWorkingDirectory(dir.path());
    flooded.setStandardOutputFile(dir.filePath("serve.out"));
    flooded.start(FERROWARDEN_BIN, {"serve", dir.filePath("in"), "--label", label});
    const auto said = [&](const QByteArray& text, int timeoutMs) {
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            QFile out(dir.filePath("serve.out"));
            if (out.open(QIODevice::ReadOnly) && out.readAll().contains(text))
                return true;
            if (clock.elapsed() > timeoutMs)
                return false;
            QThread::msleep(50);
        }
    };
    ASSERT_TRUE(said("Server started succesfully!", 10000));

    const QByteArray blocker(255, 'b'); // a file where a folder should be: long answers
    writeExisting(QString::fromLatin1(blocker), "x");
    const QByteArray path = blocker + "/" + QByteArray(200, 'f');
    Peer peer;
    ASSERT_TRUE(peer.Enter(std::uint16_t(port)));
    ASSERT_TRUE(peer.SendData(CopyStartMessage(0, 100000, 0)));
    std::uint32_t entry = 0;
    // The server stops reading while it waits for room for its answers, up to 5 s.
    while (entry < 100000 && !said("Cannot answer the client: ", 0))
        for (int i = 0; i < 1000; ++i)
            ASSERT_TRUE(peer.SendData(FolderEntryMessage(++entry, path), 15000)) << entry;
    EXPECT_TRUE(said("Cannot answer the client: SendEx: ", 10000)) << "after " << entry << " entries";
    peer.Close();
    EXPECT_TRUE(said("Client disconnected...", 10000));
    flooded.terminate();
    ASSERT_TRUE(flooded.waitForFinished(5000));
    EXPECT_EQ(flooded.exitCode(), 0);

    QFile::remove(dir.filePath("in/" + QString::fromLatin1(blocker)));
    QFile::remove(dir.filePath("serve.out"));
    expectNothingOutside("a peer that reads no answers");
    startServer();
    expectAGoodCopyAndAnHonestLog();
}

TEST_F(HostilePeer, FramesOutOfShapeEndOnlyThatConnection)
{
    const auto reply = Discover(std::uint16_t(port));
    ASSERT_TRUE(reply);
    const QByteArray good = DataFrame(0, 0, SessionDataMessage(1, 3, 2048)); // the sender is set below
    const struct {
        const char* what;
        bool joinFirst;
        std::function<QByteArray(std::uint32_t player)> bytes;
    } rows[] = {
        {"a length far above the cap", true, [](std::uint32_t) { return QByteArray("\xFF\xFF\xFF\x7F\x06", 5); }},
        {"a zero length", true, [](std::uint32_t) { return QByteArray(4, '\0'); }},
        {"an unknown frame type", true, [](std::uint32_t) { return Frame(99, "x"); }},
        {"data before the join", false, [](std::uint32_t) { return DataFrame(5, 0, "abcd"); }},
        {"data under a forged sender", true,
         [](std::uint32_t p) { return DataFrame(p + 1000, 0, SessionDataMessage(1, 3, 2048)); }},
        {"data for a player that does not exist", true,
         [](std::uint32_t p) { return DataFrame(p, 0xDEAD00, SessionDataMessage(1, 3, 2048)); }},
        {"data posing as a system message", true,
         [](std::uint32_t) { return DataFrame(0, 0, QByteArray("\x31\0\0\0", 4)); }},
        {"a join with the wrong magic", false,
         [&](std::uint32_t) {
             QByteArray j = JoinFrame(reply->instance);
             j[5] = char(j[5] ^ 0xFF);
             return j;
         }},
        {"a join for another session", false, [](std::uint32_t) { return JoinFrame(QByteArray(16, '\x42')); }},
    };
    for (const auto& row : rows) {
        Peer peer;
        ASSERT_TRUE(peer.Connect(reply->tcpPort)) << row.what;
        std::uint32_t player = 0;
        if (row.joinFirst) {
            ASSERT_TRUE(peer.JoinSession(reply->instance)) << row.what;
            const auto made = peer.MakePlayer("raw");
            ASSERT_TRUE(made) << row.what;
            player = *made;
        }
        ASSERT_TRUE(peer.Send(row.bytes(player))) << row.what;
        EXPECT_TRUE(peer.ClosedByHost(3000)) << row.what;
        if (row.joinFirst) {
            ASSERT_TRUE(waitForServer("Client disconnected...")) << row.what;
        }
        serverOutput.clear();
        expectNothingOutside(row.what);
    }
    // A frame cut short, then the connection ends: nothing of it is taken.
    {
        Peer peer;
        ASSERT_TRUE(peer.Enter(std::uint16_t(port)));
        ASSERT_TRUE(peer.Send(DataFrame(peer.Player(), 0, SessionDataMessage(1, 3, 2048)).left(12)));
        peer.Close();
        ASSERT_TRUE(waitForServer("Client disconnected..."));
        EXPECT_FALSE(serverOutput.contains("Protocol: TCP/IP")) << serverOutput.toStdString();
    }
    expectAGoodCopyAndAnHonestLog();
}

// Peers that take places and do not use them: connections that never join, a joined peer
// that trickles a frame one byte at a time. Neither keeps a real client out for long.
TEST_F(HostilePeer, PeersThatHoldPlacesDoNotLockOutARealClient)
{
    const auto reply = Discover(std::uint16_t(port));
    ASSERT_TRUE(reply);
    std::vector<std::unique_ptr<Peer>> idle;
    int refused = 0;
    for (int i = 0; i < 16; ++i) {
        idle.push_back(std::make_unique<Peer>());
        ASSERT_TRUE(idle.back()->Connect(reply->tcpPort, "127.0.0.2"));
    }
    for (const auto& peer : idle)
        refused += peer->ClosedByHost(100) ? 1 : 0;
    EXPECT_EQ(refused, 12) << "one address holds at most four places that have not joined";
    expectAGoodCopy("while sixteen connections that never join are open");

    // A joined peer with a player, from a third address, that sends one byte of a frame
    // every 100 ms.
    Peer slow;
    ASSERT_TRUE(slow.Connect(reply->tcpPort, "127.0.0.3"));
    ASSERT_TRUE(slow.JoinSession(reply->instance));
    ASSERT_TRUE(slow.MakePlayer("slow"));
    ASSERT_TRUE(waitForServer("Client has connected..."));
    serverOutput.clear();
    const QByteArray frame = DataFrame(slow.Player(), 0, SessionDataMessage(1, 3, 2048));
    bool ended = false;
    for (qsizetype i = 0; i < frame.size() - 1 && !ended; ++i) {
        slow.Send(frame.mid(i, 1));
        ended = slow.ClosedByHost(100);
    }
    EXPECT_TRUE(ended || slow.ClosedByHost(2000)) << "the trickling peer keeps its place";
    EXPECT_TRUE(waitForServer("Client disconnected...")) << serverOutput.toStdString();
    expectNothingOutside("trickle");
    expectAGoodCopyAndAnHonestLog();
}

TEST_F(HostilePeer, RandomDatagramsToTheDiscoveryPortChangeNothing)
{
    QRandomGenerator random(7);
    for (int i = 0; i < 500; ++i) {
        QByteArray datagram(random.bounded(1, 600), Qt::Uninitialized);
        for (char& c : datagram)
            c = char(random.bounded(256));
        // Some start like a request, so that they reach the deeper checks.
        if (i % 3 == 0 && datagram.size() >= 8)
            datagram.replace(0, 8, DiscoveryRequest(ApplicationGuid()).left(8));
        SendDatagram(std::uint16_t(port), datagram);
    }
    const auto reply = Discover(std::uint16_t(port));
    ASSERT_TRUE(reply) << "the server no longer answers searches";
    EXPECT_TRUE(reply->name.startsWith(label.toUtf8() + "#"));
    expectNothingOutside("datagrams");
    expectAGoodCopyAndAnHonestLog();
}

} // namespace
