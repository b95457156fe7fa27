// Times, modes and resume between the two engines, without a network: a sending engine whose
// messages go straight into a receiving engine (and its answers straight back), cut off
// after a given number of data packets as a lost link would, then started again by a fresh
// sending engine as the next copy is. What the receive directory holds is checked byte for
// byte, and so is what travels the second time.
#include "platform/apperror.h"
#include "support/recordingviews.h"
#include "transfer/extensionmessages.h"
#include "transfer/listentrysource.h"
#include "transfer/partialstore.h"
#include "transfer/receivingengine.h"
#include "transfer/sendingengine.h"
#include "transfer/storedfiles.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtEndian>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
#include <functional>

namespace {

constexpr qint64 kMiB = qint64(1) << 20;

QByteArray randomBytes(qint64 size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    generator.fillRange(reinterpret_cast<quint32*>(bytes.data()), size / 4);
    return bytes;
}

std::uint32_t typeOf(const QByteArray& message)
{
    return qFromLittleEndian<std::uint32_t>(message.constData());
}

// Passes each message on; after `cutAfter` data packets the link is gone.
class Loopback final : public MessageSink {
public:
    std::function<void(QByteArray&)> to;
    std::function<void(QByteArray&)> tamper;
    qint64 cutAfter = -1;
    qint64 dataPackets = 0;
    qint64 dataBytes = 0;

    void Send(std::uint32_t, std::uint32_t, const void* data, std::uint32_t size) override
    {
        QByteArray message(static_cast<const char*>(data), static_cast<qsizetype>(size));
        if (typeOf(message) == 3) {
            if (cutAfter >= 0 && dataPackets >= cutAfter)
                throw AppError(QStringLiteral("the link is down"));
            ++dataPackets;
            dataBytes += qFromLittleEndian<std::int32_t>(message.constData() + 2052);
        }
        if (tamper)
            tamper(message);
        to(message);
    }
};

struct Round {
    bool cut = false;
    qint64 dataBytes = 0;
    QStringList clientLog;
    QList<EntryProblem> problems;
    StoredFiles stored; // what need not go again
    std::vector<Receipt> receipts;
    TransferProgress progress; // the sender's, last shown
};

class ResumeCopy {
public:
    QTemporaryDir root;
    QString source = root.filePath(QStringLiteral("src")) + QLatin1Char('/');
    QString receiveDirectory = root.filePath(QStringLiteral("recv")) + QLatin1Char('/');
    QString partials = receiveDirectory + QLatin1String(PartialStore::kFolder);
    RecordingView serverView;
    ReceivingEngine server{serverView};
    Loopback toServer;
    Loopback toClient;

    ResumeCopy()
    {
        QDir().mkpath(source);
        QDir().mkpath(receiveDirectory);
        server.SetReceiveDirectory(receiveDirectory);
        server.SetExtensionOffered(true);
        server.SetAnswerSink(&toClient);
        server.SetSenderName("10.0.0.2");
        server.SetFreeSpaceProbe([](const QByteArray&) { return qint64(-1); });
        toServer.to = [this](QByteArray& message) {
            server.HandleTransferMessage(message.data(), message.size());
            server.Flush();
        };
    }

    SendEntry file(const QString& name, const QByteArray& bytes)
    {
        const QString path = source + name;
        QDir().mkpath(QFileInfo(path).path());
        QFile out(path);
        EXPECT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(bytes);
        return {path, QFile::encodeName(name), false};
    }
    SendEntry folder(const QString& name)
    {
        QDir().mkpath(source + name);
        return {source + name, QFile::encodeName(name), true};
    }

    // One copy by a new sending engine, cut off after `cutAfter` data packets (-1: never); a
    // cut copy's client is gone, as the server's front end then tells it.
    // `skip`: files a cut copy stored, left out.
    Round copy(const QList<SendEntry>& entries, qint64 cutAfter = -1, std::uint16_t version = kExtensionVersion,
               bool careful = false, const StoredFiles* skip = nullptr)
    {
        Round round;
        RecordingView clientView;
        SendingEngine client(toServer, clientView, [] { return std::uint16_t(7); });
        client.SetExtension(version);
        client.SetCareful(careful);
        client.SetAnswerTimeout(300);
        toClient.to = [&](QByteArray& message) {
            const ExtensionMessage decoded = DecodeExtensionMessage(message);
            if (const auto* receipt = std::get_if<Receipt>(&decoded))
                round.receipts.push_back(*receipt);
            client.HandleAnswer(message.constData(), message.size());
        };
        toServer.cutAfter = cutAfter;
        toServer.dataPackets = toServer.dataBytes = 0;
        try {
            ListEntrySource source(entries, skip);
            client.StartCopy(source);
        } catch (const AppError&) {
            round.cut = true;
            server.CloseCurrentFile();
        }
        round.dataBytes = toServer.dataBytes;
        round.clientLog = clientView.log;
        round.progress = clientView.progress;
        round.problems = client.Problems();
        round.stored = client.Stored();
        toClient.to = [](QByteArray&) {};
        return round;
    }

    QByteArray received(const QString& name) const
    {
        QFile in(receiveDirectory + name);
        return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray("<missing>");
    }
    QStringList partialFiles() const { return QDir(partials).entryList(QDir::Files | QDir::Hidden); }
    QString partialPath(const char* suffix) const
    {
        for (const QString& name : partialFiles())
            if (name.endsWith(QLatin1String(suffix)))
                return partials + QLatin1Char('/') + name;
        return QString();
    }
};

qint64 modifiedNs(const QString& path)
{
    struct stat info {};
    ::stat(QFile::encodeName(path).constData(), &info);
    return qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

void setModified(const QString& path, qint64 ns)
{
    const timespec times[2] = {{0, UTIME_OMIT}, {time_t(ns / 1000000000), long(ns % 1000000000)}};
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, AT_SYMLINK_NOFOLLOW), 0);
}

mode_t modeOf(const QString& path)
{
    struct stat info {};
    ::stat(QFile::encodeName(path).constData(), &info);
    return info.st_mode & 07777;
}

bool logHas(const QStringList& log, const QString& part)
{
    for (const QString& line : log)
        if (line.contains(part))
            return true;
    return false;
}

} // namespace

TEST(ResumeTest, TimesAndModesTravelFoldersTimesAfterTheirContents)
{
    ResumeCopy t;
    const SendEntry folder = t.folder("d");
    const SendEntry inner = t.file("d/run.sh", "#!/bin/sh\n");
    const SendEntry plain = t.file("notes.txt", "notes");
    const qint64 folderTime = 1000000000LL * 1234567890 + 987654321;
    const qint64 fileTime = 1000000000LL * 999999999 + 5;
    ASSERT_EQ(::chmod(QFile::encodeName(inner.path).constData(), 04751), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(plain.path).constData(), 0600), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(folder.path).constData(), 0750), 0);
    setModified(inner.path, fileTime);
    setModified(plain.path, fileTime + 1);
    setModified(folder.path, folderTime);

    const Round round = t.copy({folder, inner, plain});
    ASSERT_TRUE(round.problems.isEmpty()) << round.problems.value(0).reason.toStdString();
    EXPECT_EQ(modifiedNs(t.receiveDirectory + "d/run.sh"), fileTime);
    EXPECT_EQ(modifiedNs(t.receiveDirectory + "notes.txt"), fileTime + 1);
    EXPECT_EQ(modifiedNs(t.receiveDirectory + "d"), folderTime) << "set after run.sh went in";
    EXPECT_EQ(modeOf(t.receiveDirectory + "d/run.sh"), mode_t(0751)) << "never set-user-ID";
    EXPECT_EQ(modeOf(t.receiveDirectory + "notes.txt"), mode_t(0600));
    EXPECT_EQ(modeOf(t.receiveDirectory + "d"), mode_t(0750));

    // A copy of version 1 carries neither; a folder that was there keeps its permissions.
    ASSERT_EQ(::chmod(QFile::encodeName(t.receiveDirectory + "d").constData(), 0755), 0);
    ResumeCopy older;
    const Round v1 = older.copy({older.file("notes.txt", "notes")}, -1, 1);
    ASSERT_TRUE(v1.problems.isEmpty());
    EXPECT_GT(modifiedNs(older.receiveDirectory + "notes.txt"), fileTime + 1000000000LL * 3600 * 24 * 365);
    const Round again = t.copy({folder});
    ASSERT_TRUE(again.problems.isEmpty());
    EXPECT_EQ(modeOf(t.receiveDirectory + "d"), mode_t(0755));
    EXPECT_EQ(modifiedNs(t.receiveDirectory + "d"), folderTime);
}

// A file whose mode is what the umask gives a new file is not set again; in a folder with a
// default ACL, which decides a new file's mode instead, it still is.
TEST(ResumeTest, AFileGetsItsModeInAFolderWithADefaultAcl)
{
    ResumeCopy t;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    const mode_t umaskMode = 0666 & ~mask;
    const SendEntry folder = t.folder("acl");
    const SendEntry inAcl = t.file("acl/f.txt", "f");
    const SendEntry plain = t.file("plain.txt", "p");
    ASSERT_EQ(::chmod(QFile::encodeName(inAcl.path).constData(), umaskMode), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(plain.path).constData(), umaskMode), 0);
    // A default ACL of user rwx, group ---, other --- (the kernel's binary form).
    QDir().mkpath(t.receiveDirectory + "acl");
    const std::uint8_t acl[] = {2, 0, 0,    0,    1,    0,    7,    0, 0xff, 0xff, 0xff, 0xff, 4,    0,
                                0, 0, 0xff, 0xff, 0xff, 0xff, 0x20, 0, 0,    0,    0xff, 0xff, 0xff, 0xff};
    if (::setxattr(QFile::encodeName(t.receiveDirectory + "acl").constData(), "system.posix_acl_default", acl,
                   sizeof acl, 0)
        != 0)
        GTEST_SKIP() << "no ACLs here: " << std::strerror(errno);

    const Round round = t.copy({folder, inAcl, plain});
    ASSERT_TRUE(round.problems.isEmpty()) << round.problems.value(0).reason.toStdString();
    EXPECT_EQ(modeOf(t.receiveDirectory + "acl/f.txt"), umaskMode) << "the ACL alone would give 0600";
    EXPECT_EQ(modeOf(t.receiveDirectory + "plain.txt"), umaskMode);
}

// Cut at several points of one file and of a folder; the next copy sends what is missing.
TEST(ResumeTest, ACutCopyGoesOnWhereItStopped)
{
    const qint64 size = 20 * kMiB + 1234;
    const qint64 packets = size / 2048 + 1;
    const struct {
        const char* what;
        bool folder;
        double cutAt; // of the big file's packets
    } rows[] = {
        {"one file, cut in its first chunk", false, 0.05},
        {"one file, cut half-way", false, 0.5},
        {"one file, cut in its last chunk", false, 0.97},
        {"a folder, cut half-way through its second big file", true, 0.5},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ResumeCopy t;
        const QByteArray big = randomBytes(size, 1);
        const QByteArray second = randomBytes(18 * kMiB, 2);
        QList<SendEntry> entries;
        qint64 cutAfter = qint64(packets * row.cutAt);
        if (row.folder) {
            entries = {t.folder("d"), t.file("d/a.bin", big), t.file("d/small.txt", "small"),
                       t.file("d/b.bin", second)};
            cutAfter = packets + 1 + qint64((18 * kMiB / 2048 + 1) * row.cutAt);
        } else {
            entries = {t.file("big.bin", big)};
        }
        const Round first = t.copy(entries, cutAfter);
        ASSERT_TRUE(first.cut);
        const QString cutName = row.folder ? "d/b.bin" : "big.bin";
        EXPECT_FALSE(QFileInfo::exists(t.receiveDirectory + cutName)) << "never under its name until whole";
        EXPECT_EQ(t.partialFiles().size(), 2) << t.partialFiles().join(' ').toStdString();
        struct stat part {};
        ASSERT_EQ(::stat(QFile::encodeName(t.partialPath(".part")).constData(), &part), 0);
        EXPECT_LE(part.st_blocks * 512, part.st_size + 4 * kMiB) << "what was reserved for the rest went back";
        EXPECT_TRUE(logHas(t.serverView.log, "received data kept for the next copy of it"));

        const Round second_ = t.copy(entries, -1, kExtensionVersion, false, row.folder ? &first.stored : nullptr);
        if (row.folder) {
            EXPECT_EQ(first.stored.Count(), 2u) << "d/a.bin and d/small.txt";
            EXPECT_FALSE(logHas(second_.clientLog, "Transmitting file \"d/a.bin\"")) << "stored: not sent again";
            EXPECT_TRUE(logHas(second_.clientLog, "Sending folder \"d\"")) << "folders go again";
        }
        ASSERT_FALSE(second_.cut);
        ASSERT_TRUE(second_.problems.isEmpty()) << second_.problems.value(0).reason.toStdString();
        const qint64 cutSize = row.folder ? 18 * kMiB : size;
        const qint64 arrived = qint64(cutSize * row.cutAt);
        // Only the chunks not yet whole go again: at most what was missing and one chunk.
        EXPECT_LE(second_.dataBytes, cutSize - arrived + 4 * kMiB + 2048);
        if (arrived >= 4 * kMiB + 2048) {
            EXPECT_TRUE(logHas(second_.clientLog, QStringLiteral("Resuming \"%1\": ").arg(cutName)))
                << second_.clientLog.join('\n').toStdString();
        }
        EXPECT_TRUE(t.received(cutName) == (row.folder ? second : big));
        if (row.folder) {
            EXPECT_TRUE(t.received("d/a.bin") == big);
            EXPECT_EQ(t.received("d/small.txt"), "small");
        }
        EXPECT_FALSE(QFileInfo::exists(t.partials)) << "the hidden folder goes once it is empty";
    }
}

// After a cut copy the sender asks about every file first: the server answers at once for a
// file it has with the same size, time and permissions, and nothing of it is sent; any other
// goes whole (or from its partial file).
TEST(ResumeTest, ACarefulCopySendsNothingOfAFileTheServerHasUnchanged)
{
    ResumeCopy t;
    const qint64 time = 1000000000LL * 1600000000 + 123;
    const QList<SendEntry> entries{t.file("same.txt", "same"), t.file("size.txt", "size"), t.file("time.txt", "time"),
                                   t.file("mode.txt", "mode"), t.file("big.bin", randomBytes(17 * kMiB, 3))};
    for (const SendEntry& entry : entries)
        setModified(entry.path, time);
    ASSERT_TRUE(t.copy(entries).problems.isEmpty());
    // The sender's files change after the first copy; new.txt is not on the server at all.
    t.file("size.txt", "size and more");
    setModified(entries[1].path, time);
    setModified(entries[2].path, time + 1);
    ASSERT_EQ(::chmod(QFile::encodeName(entries[3].path).constData(), 0600), 0);
    const QList<SendEntry> all = entries + QList<SendEntry>{t.file("new.txt", "new")};

    const Round careful = t.copy(all, -1, kExtensionVersion, true);
    ASSERT_FALSE(careful.cut);
    ASSERT_TRUE(careful.problems.isEmpty()) << careful.problems.value(0).reason.toStdString();
    std::vector<bool> there;
    for (const Receipt& receipt : careful.receipts)
        there.push_back(receipt.outcome == Outcome::Stored
                        && receipt.detail == static_cast<std::uint8_t>(StoredHow::AlreadyThere));
    EXPECT_EQ(there, (std::vector<bool>{true, false, false, false, true, false}));
    EXPECT_EQ(careful.dataBytes, qint64(std::strlen("size and more") + 4 + 4 + 3));
    EXPECT_TRUE(logHas(careful.clientLog, "\"same.txt\": already there, unchanged"));
    EXPECT_TRUE(logHas(t.serverView.log, "\"big.bin\" is there already, unchanged"));
    EXPECT_EQ(t.received("size.txt"), "size and more");
    EXPECT_EQ(modifiedNs(t.receiveDirectory + "time.txt"), time + 1);
    EXPECT_EQ(modeOf(t.receiveDirectory + "mode.txt"), mode_t(0600));
    EXPECT_EQ(t.received("new.txt"), "new");
    EXPECT_EQ(careful.progress.totalBytes, careful.progress.totalSize) << "what was there counts as done";

    // Without the flag nothing changes: every file goes again.
    const Round plain = t.copy(all);
    ASSERT_TRUE(plain.problems.isEmpty());
    EXPECT_EQ(plain.dataBytes, 17 * kMiB + 4 + 13 + 4 + 4 + 3);
}

// What was kept is thrown away, with a line, and the copy starts from zero; or, after a
// stop without flushing, only the chunks that no longer hold what the record says go again.
TEST(ResumeTest, AKeptFileThatCannotBeTrustedIsThrownAwayOrChecked)
{
    const qint64 size = 24 * kMiB;
    const struct {
        const char* what;
        std::function<void(ResumeCopy&, const SendEntry&)> harm;
        const char* line; // the server's, or empty
        bool fromZero;
    } rows[] = {
        {"a damaged record",
         [](ResumeCopy& t, const SendEntry&) {
             QFile record(t.partialPath(".record"));
             ASSERT_TRUE(record.open(QIODevice::ReadWrite));
             record.seek(9);
             record.write("\x7f");
         },
         "from an earlier copy was thrown away: its record is damaged", true},
        {"a partial file shorter than its record",
         [](ResumeCopy& t, const SendEntry&) { ASSERT_TRUE(QFile::resize(t.partialPath(".part"), kMiB)); },
         "its data is shorter than its record says", true},
        {"a source whose time changed",
         [](ResumeCopy&, const SendEntry& entry) { setModified(entry.path, 1000000000LL * 1600000000); },
         "the file has changed since (size or time)", true},
        {"a source with other bytes in its second chunk, same size and time",
         [](ResumeCopy&, const SendEntry& entry) {
             const qint64 time = modifiedNs(entry.path);
             QFile file(entry.path);
             ASSERT_TRUE(file.open(QIODevice::ReadWrite));
             file.seek(5 * kMiB);
             file.write("changed");
             file.close();
             setModified(entry.path, time);
         },
         "", false},
        {"a receiver stopped without flushing, whose first chunk is not what its record says",
         [](ResumeCopy& t, const SendEntry&) {
             // The last entry says it closed cleanly: as if it never got there.
             const QString record = t.partialPath(".record");
             ASSERT_TRUE(QFile::resize(record, QFileInfo(record).size() - 32));
             QFile part(t.partialPath(".part"));
             ASSERT_TRUE(part.open(QIODevice::ReadWrite));
             part.write("lost in a power cut");
         },
         "1 chunks no longer held what the record said", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ResumeCopy t;
        const SendEntry entry = t.file("big.bin", randomBytes(size, 3));
        ASSERT_TRUE(t.copy({entry}, size / 2048 * 3 / 4).cut);
        row.harm(t, entry);
        QFile source(entry.path);
        ASSERT_TRUE(source.open(QIODevice::ReadOnly));
        const QByteArray bytes = source.readAll();

        const Round again = t.copy({entry});
        ASSERT_TRUE(again.problems.isEmpty()) << again.problems.value(0).reason.toStdString();
        EXPECT_TRUE(t.received("big.bin") == bytes);
        if (*row.line) {
            EXPECT_TRUE(logHas(t.serverView.log, QString::fromUtf8(row.line)))
                << t.serverView.log.join('\n').toStdString();
        }
        if (row.fromZero) {
            EXPECT_EQ(again.dataBytes, size);
        } else {
            EXPECT_TRUE(logHas(again.clientLog, "Resuming \"big.bin\": "));
            // The chunk that differs goes again, and what was never there.
            EXPECT_LE(again.dataBytes, size / 4 + 4 * kMiB + 4 * kMiB);
        }
    }
}

TEST(ResumeTest, AFileThatDoesNotMatchTheSendersDigestIsNeitherStoredNorKept)
{
    ResumeCopy t;
    const SendEntry entry = t.file("big.bin", randomBytes(17 * kMiB, 4));
    t.toServer.tamper = [](QByteArray& message) {
        if (typeOf(message) == static_cast<std::uint32_t>(ExtensionType::FileEnd))
            message[10] = char(message[10] ^ 1);
    };
    const Round round = t.copy({entry});
    ASSERT_EQ(round.receipts.size(), 1u);
    EXPECT_EQ(round.receipts[0].outcome, Outcome::Discarded);
    EXPECT_EQ(round.receipts[0].detail, static_cast<std::uint8_t>(DiscardedWhy::Mismatch));
    ASSERT_EQ(round.problems.size(), 1);
    EXPECT_EQ(round.problems[0].reason, "what arrived does not match the file here");
    EXPECT_FALSE(QFileInfo::exists(t.receiveDirectory + "big.bin"));
    EXPECT_FALSE(QFileInfo::exists(t.partials));
    EXPECT_TRUE(logHas(t.serverView.log, "\"big.bin\" does not match the sender's file"));
}

TEST(ResumeTest, CutFilesAreNotKeptWhenCorruptSmallOrKeepingIsOff)
{
    const struct {
        const char* what;
        qint64 size;
        bool keep;
        bool corrupt;
    } rows[] = {
        {"keeping is off", 20 * kMiB, false, false},
        {"a corrupt block arrived", 20 * kMiB, true, true},
        {"too small to keep", 15 * kMiB, true, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ResumeCopy t;
        t.server.SetKeepPartials(row.keep);
        int packets = 0;
        if (row.corrupt) {
            t.toServer.tamper = [&packets](QByteArray& message) {
                if (typeOf(message) == 3 && ++packets == 10)
                    message[20] = char(message[20] ^ 0x55);
            };
        }
        ASSERT_TRUE(t.copy({t.file("big.bin", randomBytes(row.size, 5))}, row.size / 2048 / 2).cut);
        EXPECT_FALSE(QFileInfo::exists(t.partials)) << t.serverView.log.join("\n").toStdString();
        EXPECT_EQ(QDir(t.receiveDirectory).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                  QStringList());
    }
}

TEST(ResumeTest, OldPartialsAndThoseBeyondTheBudgetGoWhenHostingStarts)
{
    ResumeCopy t;
    ASSERT_TRUE(t.copy({t.file("old.bin", randomBytes(20 * kMiB, 6))}, 5000).cut);
    setModified(t.partialPath(".record"), (qint64(::time(nullptr)) - 8 * 86400) * 1000000000LL);
    ASSERT_TRUE(t.copy({t.file("new.bin", randomBytes(20 * kMiB, 7))}, 5000).cut);
    ASSERT_EQ(t.partialFiles().size(), 4);

    t.server.RemoveOldPartials(qint64(1) << 40);
    EXPECT_TRUE(logHas(t.serverView.log, "Removed the partial file of \"old.bin\": cut off more than 7 days ago"));
    EXPECT_EQ(t.partialFiles().size(), 2);
    t.server.RemoveOldPartials(kMiB);
    EXPECT_TRUE(
        logHas(t.serverView.log, "Removed the partial file of \"new.bin\": partial files may take 1048576 bytes"));
    EXPECT_FALSE(QFileInfo::exists(t.partials));
}

TEST(ResumeTest, NoSenderWritesIntoTheReceiversOwnFolder)
{
    ResumeCopy t;
    const Round round =
        t.copy({t.folder(PartialStore::kFolder), t.file(QStringLiteral("%1/x").arg(PartialStore::kFolder), "x")});
    ASSERT_EQ(round.receipts.size(), 2u);
    for (const Receipt& receipt : round.receipts) {
        EXPECT_EQ(receipt.outcome, Outcome::Refused);
        EXPECT_EQ(receipt.note, "the name is the receiver's own") << t.serverView.log.join("\n").toStdString();
    }
}
