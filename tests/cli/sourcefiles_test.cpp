#include "cli/sourcefiles.h"
#include "cli/sourcewalk.h"
#include "platform/apperror.h"
#include "transfer/storedfiles.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <functional>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// What a walk sends after its check: "name/" for a folder, "name=path" for a file.
QStringList sent(SourceWalk& walk)
{
    QStringList entries;
    SendEntry entry;
    while (walk.Next(entry))
        entries << QString::fromUtf8(entry.name) + (entry.folder ? "/" : "=" + entry.path);
    return entries;
}

QStringList sent(const QStringList& files)
{
    SourceWalk walk(files);
    EXPECT_TRUE(walk.Check().problems.empty());
    return sent(walk);
}

class SourceFilesCheck : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(QDir::setCurrent(dir.path()));
        write("good.txt", "good");
        write("other/good.txt", "same name");
        write("back\\slash.txt", "x");
        write("tab\there.txt", "x");
        QDir(dir.path()).mkpath("folder");
        ASSERT_EQ(::mkfifo("pipe", 0644), 0);
        // Sparse: takes no room, but announces 2 GiB.
        QFile huge("huge.bin");
        ASSERT_TRUE(huge.open(QIODevice::WriteOnly));
        ASSERT_TRUE(huge.resize(qint64(2) << 30));
        write("locked.txt", "secret");
        ASSERT_EQ(::chmod("locked.txt", 0), 0);
    }
    void TearDown() override { QDir::setCurrent(QDir::rootPath()); }

    // Root reads every file: as root, the check runs in a child that has become "nobody",
    // which reports back the first problem's reason.
    SourceFiles checkAsUser(const QStringList& files)
    {
        if (::geteuid() != 0)
            return CheckSourceFiles(files);
        ::chmod(QFile::encodeName(dir.path()).constData(), 0755);
        int channel[2];
        if (::pipe(channel) != 0)
            return {};
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(channel[0]);
            if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(2);
            const SourceFiles checked = CheckSourceFiles(files);
            const QByteArray reason = checked.problems.empty() ? QByteArray() : checked.problems[0].reason.toUtf8();
            (void)!::write(channel[1], reason.constData(), size_t(reason.size()));
            ::_exit(0);
        }
        ::close(channel[1]);
        QByteArray reason;
        char buffer[512];
        ssize_t n;
        while ((n = ::read(channel[0], buffer, sizeof buffer)) > 0)
            reason.append(buffer, n);
        ::close(channel[0]);
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child could not become nobody";
        SourceFiles result;
        if (reason.isEmpty())
            result.firstFile = dir.filePath(files.first());
        else
            result.problems.push_back({files.first(), QString::fromUtf8(reason)});
        return result;
    }

    void write(const QString& name, const QByteArray& bytes)
    {
        QDir(dir.path()).mkpath(QFileInfo(name).path());
        QFile file(name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }

    QTemporaryDir dir;
};

TEST_F(SourceFilesCheck, EachBadFileIsNamedWithItsReason)
{
    const struct {
        QString file;
        const char* reason; // nullptr: may be sent
    } rows[] = {
        {"good.txt", nullptr},
        {"missing.txt", "no such file"},
        {"pipe", "not a regular file"}, // and checking it does not wait for a writer
        {"back\\slash.txt", "the server refuses names with \"\\\" or control characters; rename it"},
        {"tab\there.txt", "the server refuses names with \"\\\" or control characters; rename it"},
        {"locked.txt", "permission denied"},
    };
    for (const auto& row : rows) {
        const SourceFiles checked = checkAsUser({row.file});
        if (!row.reason) {
            EXPECT_TRUE(checked.problems.empty()) << row.file.toStdString();
            EXPECT_EQ(checked.firstFile, dir.filePath(row.file));
            continue;
        }
        ASSERT_EQ(checked.problems.size(), 1u) << row.file.toStdString();
        EXPECT_EQ(checked.problems[0].file, row.file);
        EXPECT_EQ(checked.problems[0].reason.toStdString(), row.reason);
    }
}

TEST_F(SourceFilesCheck, GoodFilesAddUpAndTwoOfOneNameAreRefused)
{
    write("more.txt", "more!!");
    const SourceFiles good = CheckSourceFiles({"good.txt", "folder/../more.txt"});
    EXPECT_TRUE(good.problems.empty());
    EXPECT_EQ(good.totalBytes, 10);
    EXPECT_EQ(good.fileCount, 2);
    EXPECT_EQ(sent({"good.txt", "folder/../more.txt"}),
              (QStringList{"good.txt=" + dir.filePath("good.txt"), "more.txt=" + dir.filePath("more.txt")}));

    const SourceFiles twice = CheckSourceFiles({"good.txt", "other/good.txt", "missing.txt"});
    ASSERT_EQ(twice.problems.size(), 2u);
    EXPECT_EQ(twice.problems[0].file, "other/good.txt");
    EXPECT_EQ(twice.problems[0].reason, "has the same name as good.txt; the server would keep only one");
    EXPECT_EQ(twice.problems[1].file, "missing.txt");
}

// What only the extended protocol carries is listed apart, with what a server without it
// would say; a folder travels as itself and everything below it.
TEST_F(SourceFilesCheck, FoldersAndLargeFilesNeedTheExtension)
{
    const SourceFiles checked = CheckSourceFiles({"good.txt", "huge.bin", "folder"});
    EXPECT_TRUE(checked.problems.empty());
    ASSERT_EQ(checked.needExtension.size(), 2u);
    EXPECT_EQ(checked.needExtension[0].file, "huge.bin");
    EXPECT_EQ(checked.needExtension[0].reason,
              "2.0 GiB; files of 2 GiB or more cannot be sent: the server does not offer the extended protocol");
    EXPECT_EQ(checked.needExtension[1].file, "folder");
    EXPECT_TRUE(checked.needExtension[1].reason.startsWith("is a folder; the server takes folders only with the "
                                                           "extended protocol"));
    EXPECT_EQ(checked.fileCount, 2);
    EXPECT_EQ(checked.firstFile, dir.filePath("good.txt"));
    EXPECT_EQ(checked.totalBytes, 4 + (qint64(2) << 30));
    EXPECT_EQ(checked.folderCount, 1);
}

// A tree is walked in name order, folders before what they hold, empty ones included; links
// and special files inside it are skipped with a line, never followed; a bad name anywhere
// in it stops the copy like a bad file given.
TEST_F(SourceFilesCheck, ATreeIsWalkedWithoutFollowingLinks)
{
    write("tree/b/deep/z.txt", "z");
    write("tree/a b #1.txt", "ab");
    QDir(dir.path()).mkpath("tree/empty");
    ASSERT_TRUE(QFile::link(dir.filePath("good.txt"), "tree/link-to-file"));
    ASSERT_TRUE(QFile::link(dir.filePath("other"), "tree/link-to-folder"));
    ASSERT_EQ(::mkfifo("tree/pipe", 0644), 0);

    SourceWalk walk({"tree", "good.txt"});
    const SourceFiles checked = walk.Check();
    EXPECT_TRUE(checked.problems.empty());
    EXPECT_EQ(sent(walk), (QStringList{"tree/", "tree/a b #1.txt=" + dir.filePath("tree/a b #1.txt"), "tree/b/",
                                       "tree/b/deep/", "tree/b/deep/z.txt=" + dir.filePath("tree/b/deep/z.txt"),
                                       "tree/empty/", "good.txt=" + dir.filePath("good.txt")}));
    EXPECT_EQ(checked.skipped, (QStringList{"Skipped the link tree/link-to-file: links are not followed",
                                            "Skipped the link tree/link-to-folder: links are not followed",
                                            "Skipped tree/pipe: not a regular file"}));
    EXPECT_EQ(checked.totalBytes, 7);
    EXPECT_EQ(checked.fileCount, 3);
    EXPECT_EQ(checked.folderCount, 4);
    walk.Rewind();
    EXPECT_EQ(sent(walk).size(), 7) << "a rewound walk gives the same entries again";

    write("tree/b/bad\\name", "x");
    const SourceFiles bad = CheckSourceFiles({"tree"});
    ASSERT_EQ(bad.problems.size(), 1u);
    EXPECT_EQ(bad.problems[0].file, "tree/b/bad\\name");
}

// What changed between the check and the send: the copy stops where it meets the change, with
// a line that names the file or the folder, before anything of that folder's contents is
// sent; sizes and times may change (the file's header carries what is sent).
TEST_F(SourceFilesCheck, WhatChangedAfterTheCheckStopsTheSendThere)
{
    const struct {
        const char* what;
        std::function<void()> change;
        const char* error; // nullptr: sent as it is now
        int entriesBefore; // sent before the error
    } rows[] = {
        {"a file gone", [] { QFile::remove("tree/b/two.txt"); },
         "tree/b changed after it was checked: something in it was added, removed or replaced", 2},
        {"a file added", [this] { write("tree/b/new.txt", "new"); },
         "tree/b changed after it was checked: something in it was added, removed or replaced", 2},
        {"a file now a link",
         [this] {
             QFile::remove("tree/b/two.txt");
             QFile::link(dir.filePath("good.txt"), "tree/b/two.txt");
         },
         "tree/b changed after it was checked: something in it was added, removed or replaced", 2},
        {"a file given gone", [] { QFile::remove("good.txt"); }, "good.txt: no such file", 5},
        {"a folder given now a file",
         [this] {
             QDir("tree").removeRecursively();
             write("tree", "x");
         },
         "tree changed after it was checked: it is a file now", 0},
        {"a file grown", [this] { write("tree/b/two.txt", "twotwo"); }, nullptr, 6},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        QDir("tree").removeRecursively();
        QFile::remove("tree");
        write("tree/a.txt", "a");
        write("tree/b/one.txt", "one");
        write("tree/b/two.txt", "two");
        write("good.txt", "good");
        SourceWalk walk({"tree", "good.txt"});
        ASSERT_TRUE(walk.Check().problems.empty());
        row.change();
        QStringList entries;
        SendEntry entry;
        QString error;
        try {
            while (walk.Next(entry))
                entries << QString::fromUtf8(entry.name);
        } catch (const AppError& failure) {
            error = failure.message();
        }
        EXPECT_EQ(error, row.error ? QString(row.error) : QString());
        EXPECT_EQ(entries.size(), row.entriesBefore) << entries.join(' ').toStdString();
    }
}

// After a cut copy the files the server stored are left out, unless they changed since;
// folders always go again.
TEST_F(SourceFilesCheck, StoredFilesAreLeftOutUnlessChanged)
{
    write("tree/a.txt", "a");
    write("tree/b.txt", "b");
    StoredFiles stored;
    for (const char* name : {"tree/a.txt", "tree/b.txt", "good.txt"}) {
        struct stat info {};
        ASSERT_EQ(::stat(name, &info), 0);
        stored.Add(
            StoredFiles::Key(name, info.st_size, qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec));
    }
    write("tree/b.txt", "b, changed");
    SourceWalk walk({"tree", "good.txt"}, &stored);
    const SourceFiles left = walk.Check();
    EXPECT_EQ(left.fileCount, 1);
    EXPECT_EQ(left.totalBytes, 10);
    EXPECT_EQ(sent(walk), (QStringList{"tree/", "tree/b.txt=" + dir.filePath("tree/b.txt")}));
}

} // namespace
