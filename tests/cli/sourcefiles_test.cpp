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
        {"folder", "is a directory"},
        {"pipe", "not a regular file"}, // and checking it does not wait for a writer
        {"huge.bin", "2.0 GiB; files of 2 GiB or more cannot be sent"},
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

} // namespace
