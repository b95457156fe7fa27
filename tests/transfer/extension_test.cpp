// The extended protocol between the two engines, without a network: a sending engine whose
// messages go straight into a receiving engine, whose answers go straight back. Trees with
// empty folders and odd names, each outcome a receipt can tell, the policies for names that
// are taken, files past 4 GiB, and what each side does when the other does not speak the
// extension.
#include "platform/apperror.h"
#include "support/copysequence.h"
#include "support/recordingviews.h"
#include "support/testdata.h"
#include "text/printable.h"
#include "transfer/blockchecksum.h"
#include "transfer/extensionmessages.h"
#include "transfer/receivedfile.h"
#include "transfer/receivingengine.h"
#include "transfer/sendingengine.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QScopeGuard>
#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtEndian>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

namespace {

// Passes each message on to `to`, as the endpoint would hand it over on the other side;
// `tamper` may change a message or return false to lose it.
class Loopback final : public MessageSink {
public:
    std::function<void(QByteArray&)> to;
    std::function<bool(QByteArray&)> tamper;
    int dataPackets = 0;

    void Send(std::uint32_t, std::uint32_t, const void* data, std::uint32_t size) override
    {
        QByteArray message(static_cast<const char*>(data), static_cast<qsizetype>(size));
        if (tamper && !tamper(message))
            return;
        if (qFromLittleEndian<std::uint32_t>(message.constData()) == 3)
            ++dataPackets;
        to(message);
    }
};

std::uint32_t typeOf(const QByteArray& message)
{
    return qFromLittleEndian<std::uint32_t>(message.constData());
}

// The two engines joined back to back, with a source and a receive directory of their own.
class ExtendedCopy {
public:
    QTemporaryDir root;
    QString source = root.filePath(QStringLiteral("src")) + QLatin1Char('/');
    QString receiveDirectory = root.filePath(QStringLiteral("recv")) + QLatin1Char('/');
    RecordingView serverView;
    RecordingView clientView;
    ReceivingEngine server{serverView};
    Loopback toServer;
    Loopback toClient;
    SendingEngine client{toServer, clientView, [] { return std::uint16_t(0x1234); }};
    std::vector<QByteArray> answers;

    ExtendedCopy()
    {
        QDir().mkpath(source);
        QDir().mkpath(receiveDirectory);
        server.SetReceiveDirectory(receiveDirectory);
        server.SetExtensionOffered(true);
        server.SetAnswerSink(&toClient);
        // Each message is a batch of its own: the engine keeps a data packet's bytes, where
        // they lie, only until the batch ends.
        toServer.to = [this](QByteArray& message) {
            server.HandleTransferMessage(message.data(), message.size());
            server.Flush();
        };
        toClient.to = [this](QByteArray& message) {
            answers.push_back(message);
            client.HandleAnswer(message.constData(), message.size());
        };
        client.SetExtension(kExtensionVersion);
        client.SetAnswerTimeout(300);
        // The copies here are about the protocol, not about this machine's free disk space.
        server.SetFreeSpaceProbe([](const QByteArray&) { return qint64(-1); });
    }

    SendEntry file(const QString& name, const QByteArray& bytes)
    {
        const QString path = source + name;
        QDir().mkpath(QFileInfo(path).path());
        QFile out(path);
        EXPECT_TRUE(out.open(QIODevice::WriteOnly)) << name.toStdString();
        out.write(bytes);
        return {path, QFile::encodeName(name), false};
    }
    static SendEntry folder(const QString& name) { return {QString(), QFile::encodeName(name), true}; }

    std::vector<Receipt> receipts() const
    {
        std::vector<Receipt> out;
        for (const QByteArray& answer : answers) {
            const ExtensionMessage message = DecodeExtensionMessage(answer);
            if (const auto* receipt = std::get_if<Receipt>(&message))
                out.push_back(*receipt);
        }
        return out;
    }
    std::optional<CopySummary> summary() const
    {
        for (const QByteArray& answer : answers) {
            const ExtensionMessage message = DecodeExtensionMessage(answer);
            if (const auto* found = std::get_if<CopySummary>(&message))
                return *found;
        }
        return std::nullopt;
    }
    QByteArray received(const QString& name) const
    {
        QFile in(receiveDirectory + name);
        return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray("<missing>");
    }
    // Everything below `directory`, folders with a trailing "/", hidden entries included.
    static QStringList tree(const QString& directory)
    {
        QStringList found;
        QDirIterator it(directory, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            it.next();
            const QString relative = QDir(directory).relativeFilePath(it.filePath());
            found << (it.fileInfo().isDir() && !it.fileInfo().isSymLink() ? relative + QLatin1Char('/') : relative);
        }
        found.sort();
        return found;
    }
};

TEST(ExtendedCopyTest, TreeWithAnEmptyFolderAndOddNamesArrivesAndEveryEntryGetsItsReceipt)
{
    ExtendedCopy t;
    const QByteArray big = RandomBytes(5000, 1);
    const QList<SendEntry> entries{
        ExtendedCopy::folder("top"),
        ExtendedCopy::folder("top/a b"),
        t.file("top/a b/Grüße #1 -x 'q'.txt", "abc"),
        t.file("top/a b/big.bin", big),
        ExtendedCopy::folder("top/deep"),
        ExtendedCopy::folder("top/deep/1"),
        ExtendedCopy::folder("top/deep/1/2"),
        t.file("top/deep/1/2/empty", {}),
        ExtendedCopy::folder("top/empty"),
        t.file("single.txt", "single"),
    };
    t.client.StartCopy(entries);

    EXPECT_EQ(ExtendedCopy::tree(t.receiveDirectory),
              QStringList({"single.txt", "top/", "top/a b/", "top/a b/Grüße #1 -x 'q'.txt", "top/a b/big.bin",
                           "top/deep/", "top/deep/1/", "top/deep/1/2/", "top/deep/1/2/empty", "top/empty/"}));
    EXPECT_EQ(t.received("top/a b/Grüße #1 -x 'q'.txt"), "abc");
    EXPECT_EQ(t.received("top/a b/big.bin"), big);
    EXPECT_EQ(t.received("single.txt"), "single");

    const std::vector<Receipt> got = t.receipts();
    ASSERT_EQ(got.size(), std::size_t(entries.size()));
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].entry, i + 1);
        EXPECT_EQ(got[i].outcome, Outcome::Stored) << i;
        EXPECT_EQ(got[i].kind, entries[qsizetype(i)].folder ? EntryKind::Folder : EntryKind::File) << i;
    }
    EXPECT_EQ(t.summary(), (CopySummary{4, 0, 0, 6, 0, 5009}));
    // The summary follows the last receipt.
    EXPECT_EQ(typeOf(t.answers.back()), std::uint32_t(ExtensionType::Summary));
    EXPECT_TRUE(t.client.Problems().isEmpty());
    EXPECT_EQ(t.clientView.caption, "Transmission complete!");
    EXPECT_TRUE(t.clientView.log.contains("Stored \"top/a b/big.bin\" (5000 bytes)"))
        << t.clientView.log.join('\n').toStdString();
    EXPECT_TRUE(t.clientView.log.contains("Folder \"top/empty\" made")) << t.clientView.log.join('\n').toStdString();
    EXPECT_TRUE(t.clientView.log.contains("Transmitting file \"top/a b/big.bin\"...Done"));
    EXPECT_TRUE(t.serverView.log.contains("Filename: top/a b/big.bin  255"));
    EXPECT_TRUE(t.serverView.log.contains("Folder \"top/empty\" created"));
    EXPECT_TRUE(t.server.CopySucceeded());
    EXPECT_EQ(t.serverView.fileCounter, "File 4/4");
    EXPECT_EQ(t.clientView.fileCounter, "File 4/4");
}

TEST(ExtendedCopyTest, EveryOutcomeOfAFileIsToldAndTheRestOfARefusedFileStaysHome)
{
    const QByteArray bytes = RandomBytes(5000, 2);
    const struct Row {
        const char* what;
        QString name;
        std::function<void(ExtendedCopy&)> arrange;
        Outcome outcome;
        std::uint8_t detail;
        const char* reason;
        bool dataSent; // whether the file's data went out at all
    } rows[] = {
        {"a file where a folder should be", "blocker/f",
         [](ExtendedCopy& t) { QFile(t.receiveDirectory + "blocker").open(QIODevice::WriteOnly); }, Outcome::Refused,
         std::uint8_t(RefusedWhy::CannotCreate), "the server cannot create it (blocker is not a folder)", false},
        {"a link where a folder should be", "link/f",
         [](ExtendedCopy& t) {
             QDir().mkpath(t.root.filePath("outside"));
             QFile::link(t.root.filePath("outside"), t.receiveDirectory + "link");
         },
         Outcome::Refused, std::uint8_t(RefusedWhy::CannotCreate),
         "the server cannot create it (link is a link, which is never followed)", false},
        {"a folder where the file should be", "f", [](ExtendedCopy& t) { QDir().mkpath(t.receiveDirectory + "f"); },
         Outcome::Refused, std::uint8_t(RefusedWhy::CannotCreate), "the server cannot create it (Is a directory)",
         false},
        {"no space", "f",
         [](ExtendedCopy& t) { t.server.SetFreeSpaceProbe([](const QByteArray&) { return qint64(100); }); },
         Outcome::Refused, std::uint8_t(RefusedWhy::NoSpace), "not enough free space on the server (100 bytes free)",
         false},
        {"too large", "f", [](ExtendedCopy& t) { t.server.SetFileSizeLimitProbe([] { return qint64(4999); }); },
         Outcome::Refused, std::uint8_t(RefusedWhy::TooLarge), "too large for the server (files of at most 4999 bytes)",
         false},
        {"a corrupt block", "f",
         [](ExtendedCopy& t) {
             t.toServer.tamper = [n = 0](QByteArray& m) mutable {
                 if (typeOf(m) == 3 && n++ == 0)
                     m[4] = char(m[4] ^ 1);
                 return true;
             };
         },
         Outcome::Discarded, std::uint8_t(DiscardedWhy::CorruptBlocks), "1 corrupt block", true},
        {"cut off", "f",
         [](ExtendedCopy& t) {
             // The file's last packet (904 bytes) goes missing.
             t.toServer.tamper = [](QByteArray& m) -> bool {
                 return !(typeOf(m) == 3 && qFromLittleEndian<std::int32_t>(m.constData() + 2052) == 904);
             };
         },
         Outcome::Discarded, std::uint8_t(DiscardedWhy::CutOff), "cut off after 4096 of 5000 bytes", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ExtendedCopy t;
        row.arrange(t);
        t.client.StartCopy({t.file(row.name, bytes), t.file("after", "after")});

        const std::vector<Receipt> got = t.receipts();
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(got[0].outcome, row.outcome);
        EXPECT_EQ(got[0].detail, row.detail);
        EXPECT_EQ(got[0].size, 5000u);
        EXPECT_EQ(got[1].outcome, Outcome::Stored);
        EXPECT_EQ(t.client.Problems().size(), 1);
        EXPECT_EQ(t.client.Problems().value(0).name, row.name);
        EXPECT_EQ(t.client.Problems().value(0).reason, row.reason);
        EXPECT_EQ(t.clientView.caption, "") << "no success shown";
        EXPECT_EQ(t.summary(), (CopySummary{1, 0, 1, 0, 0, 5}));
        EXPECT_EQ(t.toServer.dataPackets > 1, row.dataSent) << t.toServer.dataPackets;
        EXPECT_EQ(t.received("after"), "after");
        EXPECT_EQ(ExtendedCopy::tree(t.receiveDirectory).filter(QStringLiteral(".ferrowarden-")), QStringList());
        EXPECT_FALSE(QFileInfo(t.receiveDirectory + row.name).isFile());
        EXPECT_FALSE(QFile::exists(t.root.filePath("outside/f")));
        EXPECT_FALSE(t.server.CopySucceeded());
    }
}

// The server reads a folder's list once, as its first file comes, rather than looking for
// every file's name: a folder of that name that the copy itself made since still refuses
// the file, in the receive directory and below it.
TEST(ExtendedCopyTest, AFolderTheCopyMadeRefusesAFileOfItsName)
{
    ExtendedCopy t;
    SendEntry atTop = t.file("src-top", "top");
    atTop.name = "made";
    SendEntry below = t.file("src-below", "below");
    below.name = "d/made";
    t.client.StartCopy({t.file("first", "first"), ExtendedCopy::folder("made"), atTop, ExtendedCopy::folder("d"),
                        t.file("d/a", "a"), ExtendedCopy::folder("d/made"), below, t.file("d/b", "b")});

    const std::vector<Receipt> got = t.receipts();
    ASSERT_EQ(got.size(), 8u);
    std::vector<Outcome> outcomes;
    for (const Receipt& receipt : got)
        outcomes.push_back(receipt.outcome);
    EXPECT_EQ(outcomes, (std::vector<Outcome>{Outcome::Stored, Outcome::Stored, Outcome::Refused, Outcome::Stored,
                                              Outcome::Stored, Outcome::Stored, Outcome::Refused, Outcome::Stored}));
    EXPECT_EQ(got[2].detail, std::uint8_t(RefusedWhy::CannotCreate));
    EXPECT_EQ(got[6].detail, std::uint8_t(RefusedWhy::CannotCreate));
    EXPECT_EQ(ExtendedCopy::tree(t.receiveDirectory), QStringList({"d/", "d/a", "d/b", "d/made/", "first", "made/"}));
}

// The sender never waits for a file's answer: answers that come only after later files went
// out are still told, and counted, for the file they belong to.
TEST(ExtendedCopyTest, AnswersThatComeLateAreTakenForTheirOwnFiles)
{
    ExtendedCopy t;
    t.server.SetFileSizeLimitProbe([] { return qint64(4999); });
    // The server's answers wait until the client ends the copy.
    std::vector<QByteArray> held;
    std::size_t heldAtEnd = 0;
    t.toClient.to = [&](QByteArray& message) { held.push_back(message); };
    t.toServer.tamper = [&](QByteArray& message) {
        if (std::holds_alternative<CopyEnd>(DecodeExtensionMessage(message))) {
            heldAtEnd = held.size();
            for (QByteArray& answer : std::exchange(held, {})) {
                t.answers.push_back(answer);
                t.client.HandleAnswer(answer.constData(), answer.size());
            }
        }
        return true;
    };
    t.toServer.to = [&](QByteArray& message) {
        t.server.HandleTransferMessage(message.data(), message.size());
        t.server.Flush();
        // The summary comes straight back: the client waits for it.
        for (QByteArray& answer : std::exchange(held, {})) {
            if (std::holds_alternative<CopySummary>(DecodeExtensionMessage(answer))) {
                t.answers.push_back(answer);
                t.client.HandleAnswer(answer.constData(), answer.size());
            } else {
                held.push_back(answer);
            }
        }
    };
    t.client.StartCopy(
        {t.file("a", "first"), ExtendedCopy::folder("d"), t.file("d/big", RandomBytes(5000, 4)), t.file("c", "c")});

    EXPECT_EQ(heldAtEnd, 4u) << "every receipt came after the last file went out";
    EXPECT_EQ(t.receipts().size(), 4u);
    ASSERT_EQ(t.client.Problems().size(), 1);
    EXPECT_EQ(t.client.Problems()[0].name, "d/big");
    EXPECT_EQ(t.client.Problems()[0].reason, "too large for the server (files of at most 4999 bytes)");
    const QStringList told = t.clientView.log.filter(QRegularExpression(QStringLiteral("^(Stored|Refused|Folder) ")));
    EXPECT_EQ(told, QStringList({"Stored \"a\" (5 bytes)", "Folder \"d\" made",
                                 "Refused \"d/big\": too large for the server (files of at most 4999 bytes)",
                                 "Stored \"c\" (1 bytes)"}));
    EXPECT_EQ(t.received("a"), "first");
    EXPECT_EQ(t.received("c"), "c");
    EXPECT_FALSE(QFile::exists(t.receiveDirectory + "d/big"));
}

TEST(ExtendedCopyTest, ATakenNameIsOverwrittenNumberedOrKeptAsTheServerSays)
{
    const struct Row {
        ExistingFiles policy;
        bool extended;
        QStringList files; // what the receive directory holds afterwards, "name=bytes"
        Outcome outcome;
        StoredHow how;
        QByteArray storedAs;
        const char* clientLine; // in an extended copy
    } rows[] = {
        {ExistingFiles::Overwrite,
         true,
         {"a (1).txt=older", "a.txt=new"},
         Outcome::Stored,
         StoredHow::Replaced,
         "",
         "Stored \"a.txt\" (3 bytes), replacing the server's file of that name"},
        {ExistingFiles::Rename,
         true,
         {"a (1).txt=older", "a (2).txt=new", "a.txt=old"},
         Outcome::Stored,
         StoredHow::Renamed,
         "a (2).txt",
         "Stored \"a.txt\" as \"a (2).txt\" (3 bytes): the server has a file of that name"},
        {ExistingFiles::Skip,
         true,
         {"a (1).txt=older", "a.txt=old"},
         Outcome::Skipped,
         StoredHow::New,
         "",
         "Skipped \"a.txt\": the server keeps its file of that name"},
        {ExistingFiles::Overwrite, false, {"a (1).txt=older", "a.txt=new"}, Outcome::Stored, StoredHow::New, "", ""},
        {ExistingFiles::Rename,
         false,
         {"a (1).txt=older", "a (2).txt=new", "a.txt=old"},
         Outcome::Stored,
         StoredHow::New,
         "",
         ""},
        {ExistingFiles::Skip, false, {"a (1).txt=older", "a.txt=old"}, Outcome::Stored, StoredHow::New, "", ""},
    };
    // Files are nameless until they are put in place, or (where a file system cannot make
    // them) have a temporary name.
    for (const bool nameless : {true, false})
        for (const Row& row : rows) {
            SCOPED_TRACE(ExistingFilesText(row.policy).toStdString() + (row.extended ? " extended" : " plain")
                         + (nameless ? ", nameless" : ", temporary name"));
            ReceivedFile::SetNamelessFiles(nameless);
            const auto restore = qScopeGuard([] { ReceivedFile::SetNamelessFiles(true); });
            ExtendedCopy t;
            for (const auto& [name, bytes] : {std::pair{"a.txt", "old"}, std::pair{"a (1).txt", "older"}}) {
                QFile existing(t.receiveDirectory + name);
                ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
                existing.write(bytes);
            }
            t.server.SetExistingFiles(row.policy);
            t.client.SetExtension(row.extended ? kExtensionVersion : 0);
            t.client.StartCopy({t.file("a.txt", "new")});

            QStringList found;
            for (const QString& name : ExtendedCopy::tree(t.receiveDirectory))
                found << name + QLatin1Char('=') + QString::fromUtf8(t.received(name));
            EXPECT_EQ(found, row.files);
            EXPECT_EQ(t.clientView.caption, "Transmission complete!");
            EXPECT_TRUE(t.server.CopySucceeded());
            if (!row.extended) {
                EXPECT_TRUE(t.answers.empty()) << "a plain copy is never answered";
                continue;
            }
            const std::vector<Receipt> got = t.receipts();
            ASSERT_EQ(got.size(), 1u);
            EXPECT_EQ(got[0].outcome, row.outcome);
            if (row.outcome == Outcome::Stored) {
                EXPECT_EQ(got[0].detail, std::uint8_t(row.how));
            }
            EXPECT_EQ(got[0].storedAs, row.storedAs);
            EXPECT_TRUE(t.clientView.log.contains(QString::fromUtf8(row.clientLine)))
                << t.clientView.log.join('\n').toStdString();
            EXPECT_TRUE(t.client.Problems().isEmpty()) << "a kept file is the server's choice, not a failure";
        }
}

// A sparse file past 4 GiB with data on both sides of the 4 GiB mark: its holes travel as
// runs of zeros, so the copy is quick; it arrives whole and stays sparse.
TEST(ExtendedCopyTest, SparseFilePast4GiBArrivesWholeAndSparse)
{
    ExtendedCopy t;
    constexpr qint64 kFour = qint64(1) << 32;
    const qint64 size = kFour + 4097;
    const struct {
        qint64 at;
        QByteArray bytes;
    } pieces[] = {{0, "head"}, {kFour - 3000, RandomBytes(6000, 3)}, {size - 5, "tail!"}};
    const QString path = t.source + "big.bin";
    {
        QFile out(path);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        ASSERT_TRUE(out.resize(size));
        for (const auto& piece : pieces) {
            ASSERT_TRUE(out.seek(piece.at));
            ASSERT_EQ(out.write(piece.bytes), piece.bytes.size());
        }
    }
    t.client.StartCopy({SendEntry{path, "big.bin", false}});

    ASSERT_EQ(t.client.Problems().size(), 0) << t.client.Problems().value(0).reason.toStdString();
    const QString target = t.receiveDirectory + "big.bin";
    ASSERT_EQ(QFileInfo(target).size(), size);
    QFile in(target);
    ASSERT_TRUE(in.open(QIODevice::ReadOnly));
    for (const auto& piece : pieces) {
        ASSERT_TRUE(in.seek(piece.at));
        EXPECT_EQ(in.read(piece.bytes.size()), piece.bytes) << piece.at;
    }
    // Every byte the target holds as data equals the source's; the rest are holes (zeros).
    const int fd = ::open(QFile::encodeName(target).constData(), O_RDONLY);
    ASSERT_GE(fd, 0);
    struct stat info {};
    ASSERT_EQ(::fstat(fd, &info), 0);
    EXPECT_LT(info.st_blocks * 512, 1 << 20) << "the holes stayed holes";
    QFile original(path);
    ASSERT_TRUE(original.open(QIODevice::ReadOnly));
    for (off_t at = ::lseek(fd, 0, SEEK_DATA); at >= 0 && at < size;) {
        const off_t end = std::min<off_t>(::lseek(fd, at, SEEK_HOLE), size);
        ASSERT_TRUE(in.seek(at));
        ASSERT_TRUE(original.seek(at));
        EXPECT_EQ(in.read(end - at), original.read(end - at)) << at;
        at = ::lseek(fd, end, SEEK_DATA);
    }
    ::close(fd);

    const std::vector<Receipt> got = t.receipts();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].size, std::uint64_t(size));
    EXPECT_EQ(got[0].received, std::uint64_t(size));
    EXPECT_EQ(t.summary()->bytesStored, std::uint64_t(size));
    EXPECT_LT(t.toServer.dataPackets, 20) << "holes go as runs of zeros";
    EXPECT_TRUE(t.clientView.log.contains("Stored \"big.bin\" (4294971393 bytes)"));
    EXPECT_TRUE(t.serverView.log.contains("Data size: 4294971393 bytes (4194308KB)"))
        << t.serverView.log.join('\n').toStdString();
    EXPECT_EQ(t.serverView.progress.fileBytes, size);
    EXPECT_EQ(t.serverView.progress.totalSize, size);
}

TEST(ExtendedCopyTest, WithoutTheExtensionBothSidesKeepToTheDesignsMessages)
{
    ExtendedCopy t;
    // A t.client that does not use the extension sends the design's bytes, and an offering
    // t.server does not answer them.
    RecordingSink sink;
    SendingEngine plain(sink, t.clientView, [] { return std::uint16_t(0x1234); });
    plain.StartCopy({t.file("a.txt", "abc"), t.file("b.bin", RandomBytes(5000, 4))});
    EXPECT_EQ(sink.sent, BuildCopySequence({{"a.txt", "abc"}, {"b.bin", RandomBytes(5000, 4)}}, 2048, std::nullopt));
    for (QByteArray message : sink.sent) {
        t.server.HandleTransferMessage(message.data(), message.size());
        t.server.Flush();
    }
    EXPECT_TRUE(t.answers.empty());
    EXPECT_EQ(t.received("b.bin"), RandomBytes(5000, 4));

    // Folders need the extension: refused before anything is sent.
    RecordingSink none;
    SendingEngine refusing(none, t.clientView);
    EXPECT_THROW(refusing.StartCopy({ExtendedCopy::folder("f")}), AppError);
    EXPECT_TRUE(none.sent.empty());

    // A t.server without the offer takes the extension's messages for unknown types, like a
    // program of an earlier build, writes nothing and t.answers nothing; the t.client says so.
    t.server.SetExtensionOffered(false);
    t.serverView.log.clear();
    try {
        t.client.StartCopy({t.file("c.txt", "abc")});
        ADD_FAILURE() << "the copy should not be confirmed";
    } catch (const AppError& error) {
        EXPECT_TRUE(error.message().startsWith("The server did not confirm the copy")) << error.message().toStdString();
    }
    EXPECT_TRUE(t.answers.empty());
    EXPECT_FALSE(QFile::exists(t.receiveDirectory + "c.txt"));
    EXPECT_TRUE(t.serverView.log.contains("(dwType = 16?)"));
    EXPECT_TRUE(t.serverView.log.contains("(dwType = 17?)"));
    EXPECT_TRUE(t.serverView.log.contains("(dwType = 20?)"));
    EXPECT_EQ(t.clientView.caption, "Transmission complete!") << "only from the plain copy before";
}

TEST(ExtendedCopyTest, ALostConnectionEndsTheWaitForTheSummary)
{
    ExtendedCopy t;
    t.toClient.to = [](QByteArray&) {}; // the t.answers never arrive
    t.server.SetAnswerSink(nullptr);
    t.client.SetAnswerTimeout(60000);
    t.toServer.tamper = [&t](QByteArray& m) {
        if (typeOf(m) == std::uint32_t(ExtensionType::CopyEnd))
            t.client.ConnectionLost();
        return true;
    };
    try {
        t.client.StartCopy({t.file("a.txt", "abc")});
        ADD_FAILURE() << "the copy should not be confirmed";
    } catch (const AppError& error) {
        EXPECT_EQ(error.message(), "The connection to the server was lost before it confirmed the copy");
    }
}

// A peer that sends whatever it likes in the extension's messages: paths out of the receive
// directory or through a link, sizes no file can have, runs of zeros past a file's end,
// answers of its own. Each entry is refused with its receipt; nothing appears outside the
// receive directory and no temporary file stays.
TEST(ExtendedCopyTest, HostilePathsAndFieldsAreRefusedAndNothingLeavesTheDirectory)
{
    ExtendedCopy t;
    RecordingSink answers;
    t.server.SetAnswerSink(&answers);
    QDir().mkpath(t.root.filePath("outside"));
    ASSERT_TRUE(QFile::link(t.root.filePath("outside"), t.receiveDirectory + "link"));
    QFile(t.receiveDirectory + "plain").open(QIODevice::WriteOnly);
    const auto feed = [&](QByteArray message) {
        t.server.HandleTransferMessage(message.data(), message.size());
        t.server.Flush();
    };
    const QByteArray data =
        EncodeDataPacket("abc", 3, BlockChecksum(kChecksumStart, reinterpret_cast<const std::uint8_t*>("abc"), 3));

    feed(EncodeFileEntry({1, 3, "early"}));
    EXPECT_TRUE(
        t.serverView.log.contains("Message dropped: a message of the extended protocol outside an extended copy"));
    feed(EncodeCopyStart({2048, false, 0, 30, 30, 0, 1}));

    const struct {
        QByteArray path;
        RefusedWhy why;
    } rows[] = {
        {"..", RefusedWhy::UnsafeName},           {"../x", RefusedWhy::UnsafeName},
        {"a/../../x", RefusedWhy::UnsafeName},    {"/etc/x", RefusedWhy::UnsafeName},
        {"a//b", RefusedWhy::UnsafeName},         {"a/./b", RefusedWhy::UnsafeName},
        {"a\\..\\x", RefusedWhy::UnsafeName},     {"evil\nServer shut down", RefusedWhy::UnsafeName},
        {"a/", RefusedWhy::UnsafeName},           {"link/x", RefusedWhy::CannotCreate},
        {"link/sub/x", RefusedWhy::CannotCreate}, {"plain/x", RefusedWhy::CannotCreate},
    };
    std::uint32_t entry = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path.toStdString());
        for (const bool isFolder : {false, true}) {
            answers.sent.clear();
            ++entry;
            if (isFolder) {
                feed(EncodeFolderEntry({entry, row.path}));
            } else {
                feed(EncodeFileEntry({entry, 3, row.path}));
                feed(data);
            }
            ASSERT_EQ(answers.sent.size(), 1u);
            const Receipt receipt = std::get<Receipt>(DecodeExtensionMessage(answers.sent[0]));
            EXPECT_EQ(receipt.entry, entry);
            EXPECT_EQ(receipt.kind, isFolder ? EntryKind::Folder : EntryKind::File);
            EXPECT_EQ(receipt.outcome, Outcome::Refused);
            EXPECT_EQ(receipt.detail, std::uint8_t(row.why));
        }
    }

    const struct {
        const char* what;
        std::vector<QByteArray> messages;
        const char* line; // what the server logs
    } dropped[] = {
        {"a size no file can have",
         {EncodeFileEntry({++entry, 0x8000000000000000ull, "huge"}), data},
         "Refused \"huge\": announced size 9223372036854775808 is larger than a file can be"},
        {"zeros up to the file's end",
         {EncodeFileEntry({++entry, 3, "z"}), EncodeZeroRun({3})},
         "Message dropped: a run of 3 zero bytes, but \"z\" lacks 3 bytes"},
        {"zeros past the file's end",
         {EncodeFileEntry({++entry, 3, "y"}), EncodeZeroRun({0xFFFFFFFFFFFFFFFFull})},
         "Message dropped: a run of 18446744073709551615 zero bytes, but \"y\" lacks 3 bytes"},
        {"a data packet past the file's end",
         {EncodeFileEntry({++entry, 3, "x"}), EncodeDataPacket("abcd", 4, 0)},
         "Message dropped: data packet with count 4, but \"x\" lacks only 3 bytes"},
        {"a receipt of its own",
         {EncodeReceipt({1, EntryKind::File, Outcome::Stored, 0, 0, 0, 0, {}, {}})},
         "Message dropped: answers are the server's to send"},
        {"a plain file header",
         {EncodeFileHeader({"plain.txt", 3, 1})},
         "Message dropped: a file header of the plain protocol inside an extended copy"},
    };
    for (const auto& row : dropped) {
        for (const QByteArray& message : row.messages)
            feed(message);
        EXPECT_TRUE(t.serverView.log.contains(QString::fromUtf8(row.line)))
            << row.what << "\n"
            << t.serverView.log.join('\n').toStdString();
    }
    // Each file that lost a run or packet is discarded at once.
    std::vector<std::uint32_t> discarded;
    for (const QByteArray& message : answers.sent) {
        const Receipt receipt = std::get<Receipt>(DecodeExtensionMessage(message));
        if (receipt.outcome == Outcome::Discarded && receipt.detail == std::uint8_t(DiscardedWhy::PacketDropped))
            discarded.push_back(receipt.entry);
    }
    EXPECT_EQ(discarded, (std::vector<std::uint32_t>{entry - 2, entry - 1, entry}));
    feed(data); // goes nowhere: "x" is gone
    feed(EncodeFileEntry({++entry, 3, "w"}));
    feed(data);
    answers.sent.clear();
    feed(EncodeCopyEnd({entry}));
    ASSERT_EQ(answers.sent.size(), 1u);
    const CopySummary summary = std::get<CopySummary>(DecodeExtensionMessage(answers.sent[0]));
    EXPECT_EQ(summary, (CopySummary{1, 0, 16, 0, 12, 3}));

    EXPECT_EQ(ExtendedCopy::tree(t.root.filePath("outside")), QStringList());
    EXPECT_EQ(ExtendedCopy::tree(t.receiveDirectory), QStringList({"link", "plain", "w"}));
    for (const QString& line : t.serverView.log)
        EXPECT_FALSE(HasControlBytes(line.toUtf8())) << line.toStdString();
}

} // namespace
