#include "support/copysequence.h"
#include "support/recordingviews.h"
#include "support/testdata.h"
#include "transfer/blockchecksum.h"
#include "transfer/cipher.h"
#include "transfer/fileadmission.h"
#include "transfer/messages.h"
#include "transfer/receivedfile.h"
#include "transfer/receivingengine.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QRandomGenerator>
#include <QDateTime>
#include <QTemporaryDir>
#include <QtEndian>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <deque>
#include <functional>

namespace {

class ReceivingEngineTest : public ::testing::Test {
protected:
    QTemporaryDir root;
    QString receiveDirectory = root.filePath(QStringLiteral("recv")) + QLatin1Char('/');
    RecordingView view;
    ReceivingEngine engine{view};

    ReceivingEngineTest()
    {
        QDir().mkpath(receiveDirectory);
        engine.SetReceiveDirectory(receiveDirectory);
    }

    // Kept like a batch of the endpoint: the engine deciphers data packets where they lie and
    // writes them from there when it flushes.
    std::deque<QByteArray> fed;
    void feed(QByteArray message)
    {
        fed.push_back(std::move(message));
        engine.HandleTransferMessage(fed.back().data(), fed.back().size());
    }
    void feed(const std::vector<QByteArray>& messages, std::size_t from = 0, std::size_t to = SIZE_MAX)
    {
        for (std::size_t i = from; i < std::min(to, messages.size()); ++i)
            feed(messages[i]);
    }

    QByteArray received(const QString& name) const
    {
        QFile file(receiveDirectory + name);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }
    QStringList entries(const QString& directory) const
    {
        return QDir(directory).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    }
};

TEST_F(ReceivingEngineTest, WorkedExample)
{
    feed(BuildCopySequence({{"a.txt", "abc"}}, 2048, std::nullopt));

    EXPECT_EQ(view.log, QStringList({"Protocol: TCP/IP; BlockSize: 2048", "Data size: 3 bytes (0KB)",
                                     "Filename: a.txt  255", "Receiving Data...", "Transmission Complete!"}));
    EXPECT_EQ(view.fileCounter, "File 1/1");
    EXPECT_EQ(view.fileName, "a.txt");
    EXPECT_EQ(view.status, " Receiving...");
    EXPECT_EQ(view.receivedPackets, 1);
    EXPECT_EQ(view.fileBar, QList<int>({0}));
    EXPECT_EQ(view.totalBar, QList<int>({0}));
    EXPECT_EQ(received(QStringLiteral("a.txt")), "abc");
    EXPECT_EQ(entries(receiveDirectory), QStringList({"a.txt"}));
    EXPECT_TRUE(engine.CopySucceeded());
}

TEST_F(ReceivingEngineTest, ProtocolLineFollowsTheServersTransportAndTheAnnouncedCopy)
{
    engine.SetTransportName(QStringLiteral("IPX"));
    feed(BuildCopySequence({}, 576, std::uint16_t(7))[0]);
    EXPECT_EQ(view.log, QStringList({"Protocol: IPX; BlockSize: 576; Using Encryption"}));
    EXPECT_EQ(view.fileCounter, "File 1/0");
}

TEST_F(ReceivingEngineTest, FilesArriveByteForByte)
{
    const QByteArray big = RandomBytes(5000, 1);
    for (const std::int16_t blockSize : {2048, 1024, 576}) {
        for (const std::optional<std::uint16_t> key :
             {std::optional<std::uint16_t>(), std::optional<std::uint16_t>(0xBEEF)}) {
            const std::vector<CopyFile> files = {{"empty", ""},
                                                 {"three", "abc"},
                                                 {"block", big.left(2048)},
                                                 {"two blocks", big.left(4096)},
                                                 {"odd", big}};
            view.log.clear();
            feed(BuildCopySequence(files, blockSize, key));
            for (const CopyFile& file : files)
                EXPECT_EQ(received(QString::fromUtf8(file.name)), file.bytes)
                    << file.name.constData() << " block size " << blockSize << " key " << key.value_or(0);
            EXPECT_TRUE(engine.CopySucceeded()) << blockSize;
            EXPECT_EQ(view.log.count(QStringLiteral("Transmission Complete!")), blockSize == 576 ? 5 : 7)
                << "files of a multiple of the block size log it again on their empty packet";
        }
    }
}

TEST_F(ReceivingEngineTest, EmptyPacketAfterCompletionCountsAndCompletesAgain)
{
    feed(BuildCopySequence({{"f", RandomBytes(4096, 2)}}, 2048, std::nullopt));
    EXPECT_EQ(view.receivedPackets, 3);
    EXPECT_EQ(view.log.mid(4), QStringList({"Transmission Complete!", "Transmission Complete!"}));
    EXPECT_EQ(received(QStringLiteral("f")).size(), 4096);
}

TEST_F(ReceivingEngineTest, CountersAndBarsOfTwoCopiesInOneRun)
{
    // 150 full blocks per file: file step 1, so the file bar moves on every packet and
    // stops at 100; the total step is 3 per copy of two such files.
    const QByteArray bytes = RandomBytes(150 * 1024, 3);
    const auto copy = BuildCopySequence({{"one", bytes}, {"two", bytes}}, 1024, std::nullopt);
    feed(copy);
    const QList<int> fileBarOfOneFile = QList<int>({0}) + Ramp(100).mid(1);
    EXPECT_EQ(view.fileBar, fileBarOfOneFile + fileBarOfOneFile);
    EXPECT_EQ(view.totalBar, Ramp(302 / 3));
    EXPECT_EQ(view.receivedPackets, 302);
    EXPECT_EQ(view.fileCounter, "File 2/2");
    EXPECT_EQ(Bytes(view.progress), (std::vector<qint64>{2, 2, 150 * 1024, 150 * 1024, 300 * 1024, 300 * 1024}));

    view.fileBar.clear();
    view.totalBar.clear();
    feed(copy);
    EXPECT_EQ(view.receivedPackets, 302) << "the count restarts with each copy";
    EXPECT_EQ(view.totalBar, Ramp(302 / 3)) << "the total bar moves again in the second copy";
    EXPECT_EQ(view.fileBar, fileBarOfOneFile + fileBarOfOneFile);
}

TEST_F(ReceivingEngineTest, UnsafeNamesAreRefused)
{
    const QByteArray longName(255, 'n');
    const QByteArray dots(255, '.');
    const struct {
        QByteArray name;
        const char* shown; // as log lines show a refused name; empty when accepted
    } rows[] = {
        {"../x", "../x"},
        {"/etc/x", "/etc/x"},
        {"a/../../x", "a/../../x"},
        {"..", ".."},
        {".", "."},
        {"", ""},
        {"back\\slash", "back\\slash"},
        {"evil\nServer shut down", "evil\\x0AServer shut down"},
        {"cr\rhere", "cr\\x0Dhere"},
        {"\x1b[2J\x1b[31mred", "\\x1B[2J\\x1B[31mred"},
        {"bell\a", "bell\\x07"},
        {"tab\there", "tab\\x09here"},
        {"del\x7f", "del\\x7F"},
        {"\x01", "\\x01"},
        {"two\nlines", "two\\x0Alines"},
        {"\x1b[2Jclear", "\\x1B[2Jclear"},
        {"tab\t", "tab\\x09"},
        {longName, nullptr},
        {dots, nullptr},
        {".hidden", nullptr},
        {"spaces and ümlauts", nullptr},
    };
    int accepted = 0;
    for (const auto& row : rows) {
        view.log.clear();
        feed(BuildCopySequence({{row.name, "abc"}}, 2048, std::nullopt));
        const QString name = QString::fromUtf8(row.name);
        // The label and the file's log line show the name escaped, accepted or not.
        const QString label = row.shown ? QString::fromUtf8(row.shown) : name;
        EXPECT_EQ(view.fileName, label) << row.name.constData();
        EXPECT_EQ(view.log.value(2), QStringLiteral("Filename: %1  255").arg(label)) << row.name.constData();
        if (!row.shown) {
            ++accepted;
            EXPECT_EQ(received(name), "abc") << row.name.constData();
            EXPECT_TRUE(engine.CopySucceeded()) << row.name.constData();
            EXPECT_EQ(view.log.value(4), "Transmission Complete!") << row.name.constData();
        } else {
            const QString shown = QString::fromUtf8(row.shown);
            EXPECT_EQ(view.log.value(2), QStringLiteral("Filename: %1  255").arg(shown));
            EXPECT_EQ(view.log.value(3), QStringLiteral("Refused unsafe file name \"%1\"").arg(shown));
            EXPECT_EQ(view.log.mid(4), QStringList({QStringLiteral("Transmission failed: \"%1\" was "
                                                                   "not written; received data "
                                                                   "discarded")
                                                        .arg(shown)}))
                << row.name.constData();
            EXPECT_EQ(view.fileName, shown);
            EXPECT_FALSE(engine.CopySucceeded()) << row.name.constData();
        }
        EXPECT_EQ(view.receivedPackets, 1) << row.name.constData();
        for (const QString& line : std::as_const(view.log))
            EXPECT_FALSE(std::any_of(line.begin(), line.end(), [](QChar c) { return c < QChar(0x20); }))
                << "a raw control character in: " << line.toStdString();
    }
    EXPECT_EQ(entries(root.path()), QStringList({"recv"}));
    EXPECT_EQ(entries(receiveDirectory).size(), accepted);
    EXPECT_TRUE(view.messages.isEmpty());
}

TEST_F(ReceivingEngineTest, CutOffFileLeavesTheExistingFileUntouched)
{
    const QByteArray bytes = RandomBytes(5000, 4);
    const auto copy = BuildCopySequence({{"a.txt", bytes}, {"b.txt", "bee"}}, 2048, std::nullopt);
    const QString aborted =
        QStringLiteral("Transmission aborted: \"a.txt\" incomplete (2048 of 5000 bytes); received data discarded");
    // The copy of a.txt stops after its first packet (index 2), and then...
    const struct {
        const char* what;
        std::function<void()> interrupt;
    } rows[] = {
        {"the session is lost", [&] { engine.CloseCurrentFile(); }},
        {"the next file's header arrives", [&] { feed(copy, 5); }},
        {"a new copy starts", [&] { feed(copy); }},
    };
    // Files are nameless until they are put in place, or (where a file system cannot make
    // them) have a temporary name.
    for (const bool nameless : {true, false})
        for (const auto& row : rows) {
            ReceivedFile::SetNamelessFiles(nameless);
            const auto restore = qScopeGuard([] { ReceivedFile::SetNamelessFiles(true); });
            QFile existing(receiveDirectory + QStringLiteral("a.txt"));
            ASSERT_TRUE(existing.open(QIODevice::WriteOnly | QIODevice::Truncate));
            existing.write("old contents");
            existing.close();
            QFile::remove(receiveDirectory + QStringLiteral("b.txt"));
            view.log.clear();

            feed(copy, 0, 3);
            EXPECT_TRUE(engine.FileOpen());
            row.interrupt();

            const bool restarted = std::string(row.what) == "a new copy starts";
            EXPECT_TRUE(view.log.contains(aborted)) << row.what;
            EXPECT_EQ(engine.CopySucceeded(), restarted) << row.what;
            EXPECT_EQ(received(QStringLiteral("a.txt")), restarted ? bytes : QByteArray("old contents")) << row.what;
            QStringList expected = {"a.txt"};
            if (std::string(row.what) != "the session is lost") {
                EXPECT_EQ(received(QStringLiteral("b.txt")), "bee") << row.what;
                expected.append(QStringLiteral("b.txt"));
            }
            EXPECT_EQ(entries(receiveDirectory), expected) << row.what << ": no temporary file left";
        }
}

TEST_F(ReceivingEngineTest, LeftoversOfAKilledReceiverAreRemovedButNotThoseInUse)
{
    // An old temporary file nobody holds, a fresh one, and one a running receiver writes.
    const auto makeTemp = [&](const char* name, int ageSeconds) {
        QFile file(receiveDirectory + QLatin1String(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("partial");
        file.close();
        const QDateTime when = QDateTime::currentDateTime().addSecs(-ageSeconds);
        EXPECT_TRUE(file.open(QIODevice::ReadWrite));
        EXPECT_TRUE(file.setFileTime(when, QFileDevice::FileModificationTime));
    };
    makeTemp(".ferrowarden-dead.part", 3600);
    makeTemp(".ferrowarden-fresh.part", 0);
    makeTemp(".ferrowarden-held.part", 3600);
    makeTemp("keep.part", 3600);
    // A receiver that writes under a temporary name holds it locked (a nameless one needs
    // nothing: it has no name to be found by).
    const int held = ::open(QFile::encodeName(receiveDirectory + ".ferrowarden-held.part").constData(), O_RDWR);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    // And a receiver of this process is in the middle of a file.
    const auto copy = BuildCopySequence({{"busy.bin", RandomBytes(5000, 9)}}, 2048, std::nullopt);
    feed(copy, 0, 3);
    ASSERT_TRUE(engine.FileOpen());

    RecordingView otherView;
    ReceivingEngine other{otherView};
    other.SetReceiveDirectory(receiveDirectory);
    other.RemoveLeftovers();
    ::close(held);

    EXPECT_EQ(otherView.log,
              QStringList({QStringLiteral("Removed unfinished file .ferrowarden-dead.part left by an earlier run")}));
    const QStringList left = entries(receiveDirectory);
    EXPECT_FALSE(left.contains(QStringLiteral(".ferrowarden-dead.part")));
    EXPECT_TRUE(left.contains(QStringLiteral(".ferrowarden-fresh.part")));
    EXPECT_TRUE(left.contains(QStringLiteral(".ferrowarden-held.part")));
    EXPECT_TRUE(left.contains(QStringLiteral("keep.part")));
    // The running receiver's file was left alone: it completes.
    feed(copy, 3);
    EXPECT_EQ(received(QStringLiteral("busy.bin")), RandomBytes(5000, 9));
}

TEST_F(ReceivingEngineTest, FileWithCorruptBlocksCompletesButIsDiscarded)
{
    const QByteArray bytes = RandomBytes(5000, 5);
    // Packets 2, 3 and 4 carry the file's three blocks.
    const struct {
        const char* what;
        std::vector<int> corrupt;
        std::optional<std::uint16_t> key;
        const char* line;
    } rows[] = {
        {"middle block",
         {3},
         std::nullopt,
         "Transmission failed: 1 corrupt block in \"f\"; "
         "received data discarded"},
        {"middle block, encrypted",
         {3},
         std::uint16_t(0x1234),
         "Transmission failed: 1 corrupt block in \"f\"; received data discarded"},
        {"every block",
         {2, 3, 4},
         std::nullopt,
         "Transmission failed: 3 corrupt blocks in \"f\"; received data discarded"},
    };
    for (const auto& row : rows) {
        QFile existing(receiveDirectory + QStringLiteral("f"));
        ASSERT_TRUE(existing.open(QIODevice::WriteOnly | QIODevice::Truncate));
        existing.write("good old contents");
        existing.close();
        view.log.clear();
        auto copy = BuildCopySequence({{"f", bytes}}, 2048, row.key);
        QStringList expected;
        for (const int index : row.corrupt) {
            QByteArray& packet = copy[std::size_t(index)];
            packet[kDataAreaOffset + 10] = static_cast<char>(packet[kDataAreaOffset + 10] ^ 0x40);
            QByteArray plain = packet.mid(kDataAreaOffset, 2048);
            if (row.key)
                plain = DecryptBlock(plain, *row.key);
            const std::int32_t count = qFromLittleEndian<std::int32_t>(packet.constData() + 2052);
            const std::uint32_t sent = qFromLittleEndian<std::uint32_t>(packet.constData() + 2056);
            const std::uint32_t computed = BlockChecksum(kChecksumStart, plain.constData(), count);
            expected << QStringLiteral("Packet corrupt! %1#%2")
                            .arg(static_cast<std::int32_t>(sent))
                            .arg(static_cast<std::int32_t>(computed));
        }
        expected << QString::fromUtf8(row.line);
        feed(copy);

        EXPECT_EQ(view.log.mid(4), expected) << row.what;
        EXPECT_FALSE(view.log.contains(QStringLiteral("Transmission Complete!"))) << row.what;
        EXPECT_EQ(view.receivedPackets, qint64(3 - row.corrupt.size())) << row.what;
        EXPECT_EQ(received(QStringLiteral("f")), "good old contents") << row.what;
        EXPECT_EQ(entries(receiveDirectory), QStringList({"f"})) << row.what << ": no temporary file";
        EXPECT_FALSE(engine.FileOpen()) << row.what;
        EXPECT_EQ(engine.Summary().filesWithCorruptBlocks, 1) << row.what;
        EXPECT_EQ(engine.Summary().completedFiles, 0) << row.what;
        EXPECT_FALSE(engine.CopySucceeded()) << row.what;
    }
}

TEST_F(ReceivingEngineTest, PacketsBeforeAnyFileHeaderAreDropped)
{
    const auto copy = BuildCopySequence({{"f", "abc"}, {"g", ""}}, 2048, std::nullopt);
    // The empty packet of "g" is the one that would complete a file of size 0.
    feed(copy[0]);
    feed(copy[4]);
    feed(copy[2]);
    EXPECT_EQ(view.log.mid(1), QStringList({"Message dropped: data packet before any file header",
                                            "Message dropped: data packet before any file header"}));
    EXPECT_EQ(view.receivedPackets, 0);
    feed(copy, 1);
    EXPECT_EQ(received(QStringLiteral("f")), "abc");
    EXPECT_EQ(received(QStringLiteral("g")), "");
    EXPECT_TRUE(engine.CopySucceeded());
}

TEST_F(ReceivingEngineTest, WaitingPacketsAreReportedByFlushAndBeforeAnAbort)
{
    auto copy = BuildCopySequence({{"f", RandomBytes(9000, 8)}}, 2048, std::uint16_t(99));
    copy[3][kDataAreaOffset] = static_cast<char>(copy[3][kDataAreaOffset] ^ 1);
    feed(copy, 0, 3);
    engine.Flush();
    EXPECT_EQ(view.receivedPackets, 1);
    feed(copy, 3, 4);
    engine.CloseCurrentFile();
    ASSERT_EQ(view.log.size(), 6);
    EXPECT_TRUE(view.log[4].startsWith(QStringLiteral("Packet corrupt! ")));
    EXPECT_EQ(view.log[5], "Transmission aborted: \"f\" incomplete (4096 of 9000 bytes); "
                           "received data discarded");
    EXPECT_EQ(view.receivedPackets, 1);
    EXPECT_EQ(entries(receiveDirectory), QStringList());
}

// Each row arrives in the middle of a file. Whatever is malformed is dropped with a log line;
// a dropped data packet also loses its file, which then cannot be whole: it is discarded at
// once and an existing file of its name stays.
TEST_F(ReceivingEngineTest, MalformedMessagesAreDroppedAndADroppedDataPacketLosesItsFile)
{
    const QByteArray bytes = RandomBytes(1000, 6);
    const auto copy = BuildCopySequence({{"f", bytes}}, 576, std::nullopt);
    auto withCount = [&](std::int32_t count) {
        QByteArray packet = copy[2];
        qToLittleEndian<std::int32_t>(count, packet.data() + 2052);
        return packet;
    };
    auto withBlockSize = [&](std::int16_t size) {
        QByteArray session = copy[0];
        qToLittleEndian<std::int16_t>(size, session.data() + 12);
        return session;
    };
    const QString lost = QStringLiteral("Transmission failed: a data packet of \"f\" was dropped, so it cannot "
                                        "be whole; received data discarded");
    QByteArray unknown("\x07\0\0\0", 4);
    const struct {
        const char* what;
        QByteArray message;
        const char* line;
        bool losesFile;
    } rows[] = {
        {"short data packet", copy[2].left(2059),
         "Message dropped: Data packet message of 2059 bytes is shorter than 2060 bytes", true},
        {"count above the block size", withCount(577),
         "Message dropped: data packet with count 577 above the block size 576", true},
        {"count above the data area", withCount(4096),
         "Message dropped: Data packet message with count 4096, outside 0 to 2048", true},
        {"negative count", withCount(-1), "Message dropped: Data packet message with count -1, outside 0 to 2048",
         true},
        // The first block once more: the file lacks only the last 424 bytes now.
        {"count beyond what the file lacks", copy[2],
         "Message dropped: data packet with count 576, but \"f\" lacks only 424 bytes", true},
        {"short header", copy[1].left(100),
         "Message dropped: File header message of 100 bytes is shorter than 268 bytes", false},
        {"short session data", copy[0].left(19),
         "Message dropped: Session data message of 19 bytes is shorter than 20 bytes", false},
        {"block size 0", withBlockSize(0),
         "Message dropped: Session data message announces block size 0, outside 1 to 2048", false},
        {"block size 4096", withBlockSize(4096),
         "Message dropped: Session data message announces block size 4096, outside 1 to 2048", false},
        {"unknown type", unknown, "(dwType = 7?)", false},
        {"unknown type, high bit", QByteArray(4, '\xFF'), "(dwType = -1?)", false},
    };
    for (const auto& row : rows) {
        QFile existing(receiveDirectory + QStringLiteral("f"));
        ASSERT_TRUE(existing.open(QIODevice::WriteOnly | QIODevice::Truncate));
        existing.write("old contents");
        existing.close();
        feed(copy, 0, 3);
        ASSERT_TRUE(engine.FileOpen()) << row.what;
        view.log.clear();
        feed(row.message);
        EXPECT_EQ(view.log, row.losesFile ? QStringList({row.line, lost}) : QStringList({row.line})) << row.what;
        EXPECT_EQ(engine.FileOpen(), !row.losesFile) << row.what;
        feed(copy, 3);
        EXPECT_EQ(received(QStringLiteral("f")), row.losesFile ? QByteArray("old contents") : bytes) << row.what;
        EXPECT_EQ(view.log.contains(QStringLiteral("Transmission Complete!")), !row.losesFile) << row.what;
        EXPECT_EQ(engine.Summary().filesWithDroppedPackets, row.losesFile ? 1 : 0) << row.what;
        EXPECT_EQ(engine.CopySucceeded(), !row.losesFile) << row.what;
        EXPECT_EQ(view.receivedPackets, 2) << row.what;
        EXPECT_EQ(entries(receiveDirectory), QStringList({"f"})) << row.what << ": no temporary file";
    }
}

TEST_F(ReceivingEngineTest, FilesThatCannotBeCreatedAreCountedButWrittenNowhere)
{
    const auto copy = BuildCopySequence({{"f", "abc"}}, 2048, std::nullopt);
    const QString missing = root.filePath(QStringLiteral("gone")) + QLatin1Char('/');
    const QString cannotCreate = QStringLiteral("Datei %1f kann nicht erstellt werden").arg(missing);
    const QString noSpace =
        QStringLiteral("Not enough free space for %1f: 3 bytes needed, 2 bytes free").arg(receiveDirectory);
    const struct {
        const char* what;
        QString directory;
        qint64 freeSpace;
        QString text;
    } rows[] = {
        {"missing directory", missing, -1, cannotCreate},
        {"no room", receiveDirectory, 2, noSpace},
    };
    for (const auto& row : rows) {
        view.log.clear();
        view.messages.clear();
        engine.SetReceiveDirectory(row.directory);
        engine.SetFreeSpaceProbe([&](const QByteArray&) { return row.freeSpace; });
        feed(copy);
        EXPECT_EQ(view.messages, QStringList({row.text})) << row.what;
        EXPECT_EQ(view.log.mid(3), QStringList({row.text, "Transmission failed: \"f\" was not "
                                                          "written; received data discarded"}))
            << row.what;
        EXPECT_EQ(view.receivedPackets, 1) << row.what;
        EXPECT_FALSE(engine.CopySucceeded()) << row.what;
    }
    EXPECT_EQ(entries(receiveDirectory), QStringList());
    EXPECT_EQ(entries(root.path()), QStringList({"recv"}));
}

// Free space is not read for every file of a copy of many; a disk that fills up in the middle
// of one still refuses each file that no longer fits, with the free space of that moment.
TEST_F(ReceivingEngineTest, FreeSpaceRunningOutInTheMiddleOfACopyRefusesEachFileThatNoLongerFits)
{
    const QByteArray bytes = RandomBytes(1000, 3);
    std::vector<CopyFile> files;
    for (int i = 1; i <= 6; ++i)
        files.push_back({"f" + QByteArray::number(i), bytes});
    const auto stored = [&] {
        qint64 total = 0;
        for (const QFileInfo& info : QDir(receiveDirectory).entryInfoList(QDir::Files))
            total += info.size();
        return total;
    };
    const qint64 margin = FileAdmission::kSpaceMargin;
    const struct {
        const char* what;
        // What the disk has free, given the bytes this copy stored and the readings so far.
        std::function<qint64(qint64 stored, int readings)> free;
        int fit;     // files stored before the disk is full
        qint64 left; // bytes free once it is
    } rows[] = {
        {"room for two and a half files", [](qint64 s, int) { return 2500 - s; }, 2, 500},
        // Ample room at the first reading, then another program takes most of it: the file
        // admitted against that reading still fits, the next one comes near it and is checked
        // afresh.
        {"another program fills the disk",
         [margin](qint64 s, int readings) { return (readings == 0 ? margin + 2500 : 2500) - s; }, 2, 500},
    };
    for (const auto& row : rows) {
        QDir(receiveDirectory).removeRecursively();
        QDir().mkpath(receiveDirectory);
        view.log.clear();
        view.messages.clear();
        int readings = 0;
        engine.SetFreeSpaceProbe([&](const QByteArray&) { return row.free(stored(), readings++); });
        feed(BuildCopySequence(files, 2048, std::nullopt));
        QStringList expected;
        for (int i = row.fit + 1; i <= 6; ++i)
            expected << QStringLiteral("Not enough free space for %1f%2: 1000 bytes needed, %3 bytes free")
                            .arg(receiveDirectory)
                            .arg(i)
                            .arg(row.left);
        EXPECT_EQ(view.messages, expected) << row.what;
        QStringList kept;
        for (int i = 1; i <= row.fit; ++i) {
            kept << QStringLiteral("f%1").arg(i);
            EXPECT_EQ(received(kept.last()), bytes) << row.what;
        }
        EXPECT_EQ(entries(receiveDirectory), kept) << row.what;
    }
}

TEST_F(ReceivingEngineTest, TargetThatIsADirectoryIsNotCreated)
{
    QDir(receiveDirectory).mkdir(QStringLiteral("d"));
    feed(BuildCopySequence({{"d", "abc"}}, 2048, std::nullopt));
    EXPECT_EQ(view.messages,
              QStringList({QStringLiteral("Datei %1d kann nicht erstellt werden").arg(receiveDirectory)}));
    EXPECT_TRUE(QFileInfo(receiveDirectory + QStringLiteral("d")).isDir());
}

TEST_F(ReceivingEngineTest, FileThatCannotBeWrittenIsNotReportedComplete)
{
    // Both fail while they arrive: blocks go to the file as they are checked, a small
    // file's in one write and a large one's over many.
    for (const qsizetype size : {qsizetype(5000), qsizetype(3 << 20)}) {
        view.log.clear();
        view.errors.clear();
        QFile existing(receiveDirectory + QStringLiteral("f"));
        ASSERT_TRUE(existing.open(QIODevice::WriteOnly | QIODevice::Truncate));
        existing.write("old");
        existing.close();
        {
            // The write itself must fail here, not the check of the size before it.
            FileSizeLimit limit(1000);
            engine.SetFileSizeLimitProbe([] { return qint64(-1); });
            feed(BuildCopySequence({{"f", RandomBytes(size, 7)}}, 2048, std::nullopt));
        }
        ASSERT_EQ(view.errors.size(), 1) << size;
        EXPECT_TRUE(view.errors[0].startsWith(
            QStringLiteral("Transmission failed: %1f could not be written (").arg(receiveDirectory)))
            << size;
        EXPECT_EQ(view.log.last(), view.errors[0]) << size;
        EXPECT_EQ(view.log.filter(QStringLiteral("Cannot write \"")).size(), 1) << size;
        EXPECT_FALSE(view.log.contains(QStringLiteral("Transmission Complete!"))) << size;
        EXPECT_EQ(received(QStringLiteral("f")), "old") << size;
        EXPECT_EQ(entries(receiveDirectory), QStringList({"f"})) << size;
        EXPECT_FALSE(engine.CopySucceeded()) << size;
    }
}

} // namespace
