// The extended protocol between two ferrowarden processes on loopback: how the two ends
// agree on it (or keep to the design's protocol when either has it off), what send tells
// and how it exits when the server cannot store a file, folders with odd names and links,
// the policies for names that are taken, and a sparse file past 4 GiB.
#include "support/endtoend.h"
#include "support/testdata.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class Extension : public EndToEnd {
protected:
    void TearDown() override
    {
        EndToEnd::TearDown();
        ::chmod(QFile::encodeName(dir.filePath("in")).constData(), 0755);
    }

    // The lines of the server's output from the client's arrival to its leaving.
    QStringList copyLines() const
    {
        QStringList lines = QString::fromUtf8(serverOutput).split('\n');
        const qsizetype from = lines.indexOf("Client has connected...");
        const qsizetype to = lines.indexOf("Client disconnected...");
        return from >= 0 && to > from ? lines.mid(from + 1, to - from - 1) : QStringList{"<no copy>"};
    }
    static QStringList outLines(const QByteArray& out) { return QString::fromUtf8(out).split('\n'); }

    // Everything below `root`, relative, folders with a trailing "/", with each file's bytes.
    static QStringList treeOf(const QString& root)
    {
        QStringList found;
        QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            it.next();
            const QString relative = QDir(root).relativeFilePath(it.filePath());
            if (it.fileInfo().isSymLink()) {
                found << relative + " -> link";
            } else if (it.fileInfo().isDir()) {
                found << relative + "/";
            } else {
                QFile file(it.filePath());
                found << relative + " = " + (file.open(QIODevice::ReadOnly) ? file.readAll().toHex().left(64) : "?");
            }
        }
        found.sort();
        return found;
    }
};

// Either end with the extension off stands in for a program of an earlier build: the copy
// then goes exactly as the design has it, line for line on both sides, and what only the
// extension carries is refused before anything is sent.
TEST_F(Extension, EitherEndWithoutItKeepsToTheDesignsProtocol)
{
    const QString olderProtocol = "The server speaks the older protocol: no receipts, no folders, no encryption";
    const QStringList designClient{"Filelist contains 1 files", "Protocol: TCP/IP; BlockSize: 2048",
                                   "Sending Session Data...Done", "Transmitting file \"a.txt\"...Done",
                                   "Transmission complete!"};
    const QStringList designServer{"Protocol: TCP/IP; BlockSize: 2048", "Data size: 3 bytes (0KB)",
                                   "Filename: a.txt  255", "Receiving Data...", "Transmission Complete!"};
    const QStringList a = writeSources({{"a.txt", "abc"}});
    QDir(dir.path()).mkpath("out/folder");
    {
        QFile huge(dir.filePath("out/huge.bin"));
        ASSERT_TRUE(huge.open(QIODevice::WriteOnly));
        ASSERT_TRUE(huge.resize(qint64(2) << 30));
    }
    const struct {
        const char* what;
        bool serverOffers;
        bool clientUses;
    } rows[] = {
        {"both have it", true, true}, {"the server has it off", false, true}, {"the client has it off", true, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const bool extended = row.serverOffers && row.clientUses;
        environment.insert("FERROWARDEN_EXTENSION", row.serverOffers ? "on" : "off");
        startServer();
        environment.insert("FERROWARDEN_EXTENSION", row.clientUses ? "on" : "off");
        const QStringList where{"--host", QStringLiteral("127.0.0.1:%1").arg(port)};

        QByteArray out, err;
        ASSERT_EQ(run(QStringList{"send"} + where + a, &out, &err), 0) << out.toStdString() << err.toStdString();
        ASSERT_TRUE(waitForServer("Client disconnected...")) << serverOutput.toStdString();
        EXPECT_EQ(received("a.txt"), "abc");
        const QStringList sent = outLines(out);
        const QStringList copy = copyLines();
        if (extended) {
            EXPECT_TRUE(sent.contains("Extended protocol 2: the server answers for every file")) << out.toStdString();
            EXPECT_TRUE(sent.contains("Stored \"a.txt\" (3 bytes), replacing the server's file of that name")
                        || sent.contains("Stored \"a.txt\" (3 bytes)"))
                << out.toStdString();
            EXPECT_TRUE(copy.contains("Extended protocol 2: 1 files and 0 folders, 3 bytes"))
                << serverOutput.toStdString();
        } else {
            const qsizetype from = sent.indexOf("Filelist contains 1 files");
            EXPECT_EQ(sent.mid(from, designClient.size()), designClient) << out.toStdString();
            EXPECT_EQ(copy, designServer) << serverOutput.toStdString();
        }
        // Falling back is never silent: the line before the copy says what it goes without,
        // unless the older protocol was this end's own choice.
        EXPECT_EQ(sent.count(olderProtocol), row.serverOffers ? 0 : 1) << out.toStdString();
        if (!row.serverOffers) {
            EXPECT_EQ(sent.value(sent.indexOf(olderProtocol) + 1), "Filelist contains 1 files") << out.toStdString();
        }

        // A folder and a file of 2 GiB need the extension.
        serverOutput.clear();
        const int code =
            run(QStringList{"send"} + where + QStringList{dir.filePath("out/folder"), dir.filePath("out/huge.bin")},
                &out, &err);
        if (extended) {
            // Without room for 2 GiB here, the server says so.
            if (code == 1) {
                EXPECT_TRUE(err.contains("huge.bin: not enough free space on the server")) << err.toStdString();
            } else {
                EXPECT_EQ(code, 0) << err.toStdString();
                EXPECT_EQ(QFileInfo(dir.filePath("in/huge.bin")).size(), qint64(2) << 30);
            }
            EXPECT_TRUE(QFileInfo(dir.filePath("in/folder")).isDir());
        } else {
            EXPECT_EQ(code, 1);
            EXPECT_EQ(err,
                      QStringLiteral("ferrowarden: %1: is a folder; the server takes folders only with the extended "
                                     "protocol, which it does not offer\n"
                                     "ferrowarden: %2: 2.0 GiB; files of 2 GiB or more cannot be sent: the server "
                                     "does not offer the extended protocol\n"
                                     "  nothing was sent; send files under 2 GiB only, or update the server\n")
                          .arg(dir.filePath("out/folder"), dir.filePath("out/huge.bin"))
                          .toUtf8());
            ASSERT_TRUE(waitForServer("Client disconnected...")) << serverOutput.toStdString();
            EXPECT_FALSE(serverOutput.contains("Protocol: ")) << "nothing was sent";
        }
        server.terminate();
        ASSERT_TRUE(server.waitForFinished(5000));
    }
}

// A receive directory the server cannot write into: send says which files and why, and
// exits 1; nothing claims success.
TEST_F(Extension, ReadOnlyReceiveDirectoryEndsSendWithOneNamingEachFile)
{
    const QString in = dir.filePath("in");
    const bool root = ::geteuid() == 0;
    if (root)
        startServer({}, {"unshare", "-m", "sh", "-c", "mount --bind \"$0\" \"$0\" && exec \"$@\"", in});
    else
        startServer();
    if (HasFatalFailure())
        return;
    const bool readOnly = root ? QProcess::execute("nsenter", {"-t", QString::number(server.processId()), "-m", "mount",
                                                               "-o", "remount,ro,bind", in})
                                     == 0
                               : ::chmod(QFile::encodeName(in).constData(), 0555) == 0;
    if (!readOnly)
        GTEST_SKIP() << "cannot make the receive directory read-only here (needs nsenter as root, or chmod)";

    QDir(dir.path()).mkpath("out/tree/empty");
    const QStringList paths = writeSources({{"a.txt", "abc"}, {"tree/b.bin", RandomBytes(5000, 9)}});
    QByteArray out, err;
    EXPECT_EQ(
        run(QStringList{"send", "--host", QStringLiteral("127.0.0.1:%1").arg(port), paths[0], dir.filePath("out/tree")},
            &out, &err),
        1);
    const QString reason = root ? "Read-only file system" : "Permission denied";
    EXPECT_EQ(err, QStringLiteral("ferrowarden: the server did not store 4 of 4 files and folders:\n"
                                  "  a.txt: the server cannot create it (%1)\n"
                                  "  tree: the server cannot create it (%1)\n"
                                  "  tree/b.bin: the server cannot create it (%1)\n"
                                  "  tree/empty: the server cannot create it (%1)\n")
                       .arg(reason)
                       .toUtf8());
    EXPECT_TRUE(outLines(out).contains("Refused \"a.txt\": the server cannot create it (" + reason + ")"))
        << out.toStdString();
    EXPECT_FALSE(out.contains("Transmission complete!"));
    EXPECT_TRUE(out.contains("Sent 2 files (") && out.contains(": not all stored")) << out.toStdString();
    ASSERT_TRUE(waitForServer("Client disconnected...")) << serverOutput.toStdString();
    EXPECT_EQ(QDir(in).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
}

// A tree with nested and empty folders, names with spaces, "#", quotes, a leading dash and
// umlauts, and links that are not followed, arrives as it is; send waits for the server's
// word, so the files are in place when it ends.
TEST_F(Extension, ATreeArrivesWholeWithoutItsLinks)
{
    const QStringList paths = writeSources({
        {"photos/2019/a b.jpg", RandomBytes(70000, 1)},
        {"photos/2019/deeper/still/z", {}},
        {"photos/#odd 'name' -x.txt", "odd"},
        {"photos/Grüße – ÄÖÜ.txt", RandomBytes(5000, 2)},
        {"top.txt", "top"},
    });
    QDir(dir.path()).mkpath("out/photos/empty");
    QDir(dir.path()).mkpath("out/photos/2019/empty too");
    ASSERT_TRUE(QFile::link(dir.filePath("out/top.txt"), dir.filePath("out/photos/link to a file")));
    ASSERT_TRUE(QFile::link(dir.path(), dir.filePath("out/photos/2019/link to a folder")));
    startServer();

    QByteArray out, err;
    ASSERT_EQ(run({"send", "--host", QStringLiteral("127.0.0.1:%1").arg(port), dir.filePath("out/photos"),
                   dir.filePath("out/top.txt")},
                  &out, &err),
              0)
        << out.toStdString() << err.toStdString();
    // In place already: send ended after the server's summary.
    QStringList expected = treeOf(dir.filePath("out"));
    expected.removeIf([](const QString& entry) { return entry.endsWith(" -> link"); });
    EXPECT_EQ(treeOf(dir.filePath("in")), expected);
    const QStringList lines = outLines(out);
    EXPECT_TRUE(lines.contains("Skipped the link " + dir.filePath("out/photos/2019/link to a folder")
                               + ": links are not followed"))
        << out.toStdString();
    EXPECT_TRUE(
        lines.contains("Skipped the link " + dir.filePath("out/photos/link to a file") + ": links are not followed"));
    EXPECT_TRUE(lines.contains("Folder \"photos/2019/empty too\" made"));
    EXPECT_TRUE(lines.contains("Stored \"photos/Grüße – ÄÖÜ.txt\" (5000 bytes)"));
    EXPECT_TRUE(lines.contains("Transmission complete!"));
    EXPECT_TRUE(out.contains("Sent 5 files (")) << out.toStdString();
    ASSERT_TRUE(waitForServer("Client disconnected...")) << serverOutput.toStdString();
    EXPECT_TRUE(serverOutput.contains(": complete")) << serverOutput.toStdString();
}

// The sender walks its tree again as it sends it: a file gone after the check stops the copy
// at its folder, with a line that names the folder, and nothing of that folder goes; what was
// sent before it is stored, and the summary says the copy failed.
TEST_F(Extension, AFileGoneAfterTheCheckStopsTheCopyAtItsFolder)
{
    writeSources({{"tree/a.txt", "a"}, {"tree/b/one.txt", "one"}, {"tree/b/two.txt", "two"}});
    // The check is done once the sender waits for its session.
    sender.setReadChannel(QProcess::StandardError);
    startSenderWith({"--wait", "30", "--host", QStringLiteral("127.0.0.1:%1").arg(port), "--session", label,
                     dir.filePath("out/tree")});
    QByteArray err;
    while (!err.contains("waiting up to")) {
        ASSERT_TRUE(sender.waitForReadyRead(20000)) << err.toStdString();
        err += sender.readAllStandardError();
    }
    ASSERT_TRUE(QFile::remove(dir.filePath("out/tree/b/two.txt")));
    startServer();
    ASSERT_TRUE(sender.waitForFinished(30000));
    err += sender.readAllStandardError();
    const QByteArray out = sender.readAllStandardOutput();
    EXPECT_EQ(sender.exitCode(), 1) << out.toStdString() << err.toStdString();
    EXPECT_TRUE(err.contains(QStringLiteral("ferrowarden: the copy stopped: %1 changed after it was checked: "
                                            "something in it was added, removed or replaced")
                                 .arg(dir.filePath("out/tree/b"))
                                 .toUtf8()))
        << err.toStdString();
    EXPECT_TRUE(out.contains("failed")) << out.toStdString();
    EXPECT_FALSE(out.contains("Transmission complete!")) << out.toStdString();
    ASSERT_TRUE(waitForServer("Client disconnected...")) << serverOutput.toStdString();
    EXPECT_EQ(received("tree/a.txt"), "a");
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("in/tree/b")));
}

TEST_F(Extension, ATakenNameIsReplacedNumberedOrKeptAsServeIsTold)
{
    const struct {
        const char* policy;
        QStringList files; // what "in" holds after two copies of a.txt, "name = hex of its bytes"
        const char* secondLine;
    } rows[] = {
        {"overwrite", {"a.txt = 6e6577"}, "Stored \"a.txt\" (3 bytes), replacing the server's file of that name"},
        {"rename",
         {"a (1).txt = 6e6577", "a (2).txt = 6e6577", "a.txt = 6f6c64"},
         "Stored \"a.txt\" as \"a (2).txt\" (3 bytes): the server has a file of that name"},
        {"skip", {"a.txt = 6f6c64"}, "Skipped \"a.txt\": the server keeps its file of that name"},
    };
    const QStringList a = writeSources({{"a.txt", "new"}});
    for (const auto& row : rows) {
        SCOPED_TRACE(row.policy);
        QDir(dir.filePath("in")).removeRecursively();
        QDir(dir.path()).mkpath("in");
        writeExisting("a.txt", "old");
        startServer({"--existing", row.policy});
        QByteArray out, err;
        for (int copy = 0; copy < 2; ++copy)
            ASSERT_EQ(run(QStringList{"send", "--host", QStringLiteral("127.0.0.1:%1").arg(port)} + a, &out, &err), 0)
                << err.toStdString();
        EXPECT_TRUE(outLines(out).contains(row.secondLine)) << out.toStdString();
        EXPECT_EQ(treeOf(dir.filePath("in")), row.files);
        server.terminate();
        ASSERT_TRUE(server.waitForFinished(5000));
    }
}

// Past 4 GiB, with data on both sides of the mark; its holes travel as runs of zeros, so the
// copy is quick. Without the extension, the design's refusal of 2 GiB and more stays.
TEST_F(Extension, ASparseFilePast4GiBArrivesWhole)
{
    constexpr qint64 kFour = qint64(1) << 32;
    const qint64 size = kFour + 4097;
    const struct {
        qint64 at;
        QByteArray bytes;
    } pieces[] = {{0, "head"}, {kFour - 3000, RandomBytes(6000, 3)}, {size - 5, "tail!"}};
    const QString path = dir.filePath("out/big.bin");
    {
        QFile big(path);
        ASSERT_TRUE(big.open(QIODevice::WriteOnly));
        ASSERT_TRUE(big.resize(size));
        for (const auto& piece : pieces) {
            ASSERT_TRUE(big.seek(piece.at));
            ASSERT_EQ(big.write(piece.bytes), piece.bytes.size());
        }
    }
    {
        // Where holes cannot be kept, 4 GiB would travel as data: far too slow for a test.
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        struct stat info {};
        const bool holes =
            ::fstat(fd, &info) == 0 && info.st_blocks * 512 < 1 << 20 && ::lseek(fd, 0, SEEK_HOLE) < size;
        ::close(fd);
        if (!holes)
            GTEST_SKIP() << "this file system keeps no holes";
    }
    startServer();
    QByteArray out, err;
    const int code = run({"send", "--host", QStringLiteral("127.0.0.1:%1").arg(port), path}, &out, &err);
    if (code == 1 && err.contains("not enough free space on the server"))
        GTEST_SKIP() << "less than 4 GiB free here: " << err.toStdString();
    ASSERT_EQ(code, 0) << out.toStdString() << err.toStdString();
    EXPECT_TRUE(outLines(out).contains("Stored \"big.bin\" (4294971393 bytes)")) << out.toStdString();

    // Compared whole: every stretch that either file holds as data is the same in the other,
    // and the rest are holes, zeros in both.
    const QString arrived = dir.filePath("in/big.bin");
    ASSERT_EQ(QFileInfo(arrived).size(), size);
    for (const auto& [one, other] : {std::pair{path, arrived}, std::pair{arrived, path}}) {
        const int fd = ::open(QFile::encodeName(one).constData(), O_RDONLY);
        QFile a(one), b(other);
        ASSERT_TRUE(fd >= 0 && a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
        for (off_t at = ::lseek(fd, 0, SEEK_DATA); at >= 0 && at < size;) {
            const off_t end = std::min<off_t>(::lseek(fd, at, SEEK_HOLE), size);
            ASSERT_TRUE(a.seek(at) && b.seek(at));
            EXPECT_TRUE(a.read(end - at) == b.read(end - at)) << one.toStdString() << " at " << at;
            at = ::lseek(fd, end, SEEK_DATA);
        }
        ::close(fd);
    }
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(arrived).constData(), &info), 0);
    EXPECT_LT(info.st_blocks * 512, 1 << 20) << "the holes stayed holes";
    server.terminate();
    ASSERT_TRUE(server.waitForFinished(5000));

    environment.insert("FERROWARDEN_EXTENSION", "off");
    startServer();
    EXPECT_EQ(run({"send", "--host", QStringLiteral("127.0.0.1:%1").arg(port), path}, &out, &err), 1);
    EXPECT_TRUE(err.startsWith(
        QStringLiteral("ferrowarden: %1: 4.0 GiB; files of 2 GiB or more cannot be sent").arg(path).toUtf8()))
        << err.toStdString();
}

} // namespace
