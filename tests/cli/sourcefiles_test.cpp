#include "cli/sourcefiles.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

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
            result.paths << dir.filePath(files.first());
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
            EXPECT_EQ(checked.paths, QStringList{dir.filePath(row.file)});
            continue;
        }
        ASSERT_EQ(checked.problems.size(), 1u) << row.file.toStdString();
        EXPECT_EQ(checked.problems[0].file, row.file);
        EXPECT_EQ(checked.problems[0].reason.toStdString(), row.reason);
        EXPECT_TRUE(checked.paths.isEmpty());
    }
}

TEST_F(SourceFilesCheck, GoodFilesAddUpAndTwoOfOneNameAreRefused)
{
    write("more.txt", "more!!");
    const SourceFiles good = CheckSourceFiles({"good.txt", "folder/../more.txt"});
    EXPECT_TRUE(good.problems.empty());
    EXPECT_EQ(good.totalBytes, 10);
    EXPECT_EQ(good.paths, (QStringList{dir.filePath("good.txt"), dir.filePath("more.txt")}));

    const SourceFiles twice = CheckSourceFiles({"good.txt", "other/good.txt", "missing.txt"});
    ASSERT_EQ(twice.problems.size(), 2u);
    EXPECT_EQ(twice.problems[0].file, "other/good.txt");
    EXPECT_EQ(twice.problems[0].reason, "has the same name as good.txt; the server would keep only one");
    EXPECT_EQ(twice.problems[1].file, "missing.txt");
    EXPECT_TRUE(twice.paths.isEmpty()) << "one bad file stops them all";
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
    EXPECT_EQ(checked.paths, (QStringList{dir.filePath("good.txt"), dir.filePath("huge.bin")}));
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

    const SourceFiles checked = CheckSourceFiles({"tree", "good.txt"});
    EXPECT_TRUE(checked.problems.empty());
    QStringList entries;
    for (const SendEntry& entry : checked.entries)
        entries << QString::fromUtf8(entry.name) + (entry.folder ? "/" : "=" + entry.path);
    EXPECT_EQ(entries, (QStringList{"tree/", "tree/a b #1.txt=" + dir.filePath("tree/a b #1.txt"), "tree/b/",
                                    "tree/b/deep/", "tree/b/deep/z.txt=" + dir.filePath("tree/b/deep/z.txt"),
                                    "tree/empty/", "good.txt=" + dir.filePath("good.txt")}));
    EXPECT_EQ(checked.skipped, (QStringList{"Skipped the link tree/link-to-file: links are not followed",
                                            "Skipped the link tree/link-to-folder: links are not followed",
                                            "Skipped tree/pipe: not a regular file"}));
    EXPECT_EQ(checked.totalBytes, 7);
    EXPECT_EQ(checked.folderCount, 4);

    write("tree/b/bad\\name", "x");
    const SourceFiles bad = CheckSourceFiles({"tree"});
    ASSERT_EQ(bad.problems.size(), 1u);
    EXPECT_EQ(bad.problems[0].file, "tree/b/bad\\name");
    EXPECT_TRUE(bad.entries.isEmpty());
}

} // namespace
