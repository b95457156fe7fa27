// Resume with real processes: the sender or the server killed outright (SIGKILL) in the
// middle of a large file, of one file and of a folder, then the same copy again, which goes
// on where the first stopped; and a sender that finds a restarted server by itself.
#include "support/endtoend.h"
#include "support/flakyproxy.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QThread>

#include <csignal>

#include <sys/statvfs.h>

namespace {

constexpr qint64 kMiB = qint64(1) << 20;

QByteArray randomBytes(qint64 size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    generator.fillRange(reinterpret_cast<quint32*>(bytes.data()), size / 4);
    return bytes;
}

class Resume : public EndToEnd {
protected:
    QString partials() const { return dir.filePath("in/.ferrowarden-partial"); }

    // Waits until the partial file being written holds `bytes` (and `first`, if given, has
    // arrived whole); false when the copy ended first.
    bool waitForPartial(qint64 bytes, const QString& first = {})
    {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 20000 && sender.state() != QProcess::NotRunning) {
            if (first.isEmpty() || QFileInfo::exists(dir.filePath("in/" + first))) {
                for (const QFileInfo& part : QDir(partials()).entryInfoList({"*.part"}, QDir::Files | QDir::Hidden))
                    if (part.size() >= bytes)
                        return true;
            }
            QThread::usleep(300);
        }
        return false;
    }

    static void kill(QProcess& process)
    {
        ::kill(pid_t(process.processId()), SIGKILL);
        process.waitForFinished(5000);
    }
};

} // namespace

TEST_F(Resume, AKilledSenderOrServerLeavesWhatArrivedAndTheNextCopyGoesOnFromThere)
{
    const std::vector<SourceFile> one{{"big.bin", randomBytes(320 * kMiB, 11)}};
    const std::vector<SourceFile> tree{{"tree/a.bin", randomBytes(24 * kMiB, 12)},
                                       {"tree/sub/b.bin", randomBytes(320 * kMiB, 13)},
                                       {"tree/sub/c.txt", "small"}};
    const struct {
        const char* what;
        bool killServer;
        bool folder;
    } rows[] = {
        {"sender killed, one file", false, false},
        {"server killed, one file", true, false},
        {"sender killed, a folder", false, true},
        {"server killed, a folder", true, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        QDir(dir.filePath("in")).removeRecursively();
        QDir(dir.filePath("out")).removeRecursively();
        QDir(dir.path()).mkpath("in");
        const std::vector<SourceFile>& files = row.folder ? tree : one;
        writeSources(files);
        const QStringList what{row.folder ? dir.filePath("out/tree") : dir.filePath("out/big.bin")};
        const QStringList where{"--host", QStringLiteral("127.0.0.1:%1").arg(port), "--retry", "0"};
        startServer();
        startSenderWith(where + what);
        ASSERT_TRUE(waitForPartial(96 * kMiB, row.folder ? "tree/a.bin" : QString()))
            << "the copy ended before it could be cut";
        kill(row.killServer ? server : sender);
        if (row.killServer) {
            sender.waitForFinished(20000);
            startServer();
        } else {
            ASSERT_TRUE(waitForServer("Client disconnected..."));
        }
        const QString cut = row.folder ? "tree/sub/b.bin" : "big.bin";
        EXPECT_FALSE(QFileInfo::exists(dir.filePath("in/" + cut))) << "never under its name until whole";

        QByteArray out, err;
        ASSERT_EQ(run(QStringList{"send"} + where + what, &out, &err), 0) << out.toStdString() << err.toStdString();
        EXPECT_TRUE(out.contains(QStringLiteral("Resuming \"%1\": ").arg(cut).toUtf8())) << out.toStdString();
        EXPECT_TRUE(out.contains("sent over the network")) << out.toStdString();
        ASSERT_TRUE(waitForServer("Client disconnected..."));
        for (const SourceFile& file : files)
            EXPECT_TRUE(received(file.name) == file.bytes) << file.name.toStdString();
        EXPECT_FALSE(QFileInfo::exists(partials())) << "nothing is left of the cut copy";
        server.terminate();
        server.waitForFinished(5000);
    }
}

TEST_F(Resume, ASenderFindsARestartedServerAndGoesOn)
{
    const std::vector<SourceFile> files{{"big.bin", randomBytes(320 * kMiB, 21)}, {"after.txt", "after"}};
    const QStringList paths = writeSources(files);
    startServer();
    startSenderWith(QStringList{"--host", QStringLiteral("127.0.0.1:%1").arg(port), "--retry", "20"} + paths);
    ASSERT_TRUE(waitForPartial(96 * kMiB));
    kill(server);
    startServer();
    ASSERT_TRUE(sender.waitForFinished(40000));
    const QByteArray out = sender.readAllStandardOutput();
    const QByteArray err = sender.readAllStandardError();
    ASSERT_EQ(sender.exitCode(), 0) << out.toStdString() << err.toStdString();
    EXPECT_TRUE(err.contains("the connection to the server was lost; looking for the session again for up to 20 s"))
        << err.toStdString();
    EXPECT_TRUE(out.contains("Resuming \"big.bin\": ")) << out.toStdString();
    for (const SourceFile& file : files)
        EXPECT_TRUE(received(file.name) == file.bytes) << file.name.toStdString();
}

namespace {

// "12.3 MiB" (as the sender's summary writes sizes) in bytes.
qint64 bytesOf(const QRegularExpressionMatch& match)
{
    const QString unit = match.captured(2);
    const double scale = unit == "GiB" ? kMiB * 1024.0 : unit == "MiB" ? kMiB : unit == "KiB" ? 1024.0 : 1.0;
    return qint64(match.captured(1).toDouble() * scale);
}

} // namespace

// The sender killed in the middle of a tree of many files: the same send again asks the
// server about every file first, and sends nothing of those that arrived whole.
TEST_F(Resume, AfterAKilledSenderTheSameTreeAgainSendsOnlyWhatDidNotArrive)
{
    std::vector<SourceFile> files;
    for (int i = 0; i < 300; ++i)
        files.push_back(
            {QStringLiteral("tree/f%1.bin").arg(i, 3, 10, QLatin1Char('0')), randomBytes(64 * 1024, 100 + i)});
    files.push_back({"tree/m/big1.bin", randomBytes(20 * kMiB, 31)});
    files.push_back({"tree/m/big2.bin", randomBytes(20 * kMiB, 32)});
    qint64 total = 0;
    for (const SourceFile& file : files)
        total += file.bytes.size();
    writeSources(files);
    const QStringList send{"send",    "--host", QStringLiteral("127.0.0.1:%1").arg(port),
                           "--retry", "0",      dir.filePath("out/tree")};
    startServer();
    startSenderWith(send.mid(1));
    // Cut once a third of the small files is there.
    const QDir small(dir.filePath("in/tree"));
    QElapsedTimer clock;
    clock.start();
    while (small.entryList({"f*.bin"}, QDir::Files).size() < 100 && sender.state() != QProcess::NotRunning
           && clock.elapsed() < 20000)
        QThread::usleep(200);
    kill(sender);
    ASSERT_TRUE(waitForServer("Client disconnected..."));
    qint64 arrived = 0; // a file under its own name is whole
    for (const SourceFile& file : files)
        if (QFileInfo(dir.filePath("in/" + file.name)).exists())
            arrived += file.bytes.size();
    ASSERT_GT(arrived, 0);
    ASSERT_LT(arrived, total) << "the copy ended before it could be cut";
    EXPECT_EQ(QDir(dir.filePath("data/ferrowarden/cut-copies")).entryList(QDir::Files).size(), 1)
        << "the sender remembers the cut copy";

    QByteArray out, err;
    ASSERT_EQ(run(send, &out, &err), 0) << out.toStdString() << err.toStdString();
    EXPECT_TRUE(out.contains("already there, unchanged")) << out.toStdString();
    for (const SourceFile& file : files)
        EXPECT_TRUE(received(file.name) == file.bytes) << file.name.toStdString();
    const QRegularExpressionMatch wire =
        QRegularExpression("([0-9.]+) (B|KiB|MiB|GiB) sent over the network").match(QString::fromUtf8(out));
    ASSERT_TRUE(wire.hasMatch()) << out.toStdString();
    // What had arrived whole goes no more (the summary rounds to a tenth).
    EXPECT_LE(bytesOf(wire), total - arrived + kMiB / 10) << out.toStdString();
    EXPECT_TRUE(QDir(dir.filePath("data/ferrowarden/cut-copies")).isEmpty()) << "the copy ran through";
}

namespace {

// The link between two namespaces goes down in the middle of a large file and comes back.
class ResumeAcrossALink : public NamespaceCopy {};

} // namespace

TEST_F(ResumeAcrossALink, TheSenderGoesOnWhenTheLinkComesBack)
{
    if (!skipReason.isEmpty())
        GTEST_SKIP() << skipReason.toStdString();
    // About 2 MB/s each way, so that the copy is still under way when the link goes.
    for (const QString& side : {nsServer + " dev " + vethS, nsClient + " dev " + vethC})
        if (!sh("ip netns exec " + side.section(' ', 0, 0) + " tc qdisc add " + side.section(' ', 1)
                + " root tbf rate 16mbit burst 32kbit latency 400ms"))
            GTEST_SKIP() << "cannot shape the veth link with tc tbf here";
    const std::vector<SourceFile> files{{"big.bin", randomBytes(20 * kMiB, 31)}};
    startServer({}, {"ip", "netns", "exec", nsServer});
    startSenderWith(QStringList{"--retry", "60", "--session", label} + writeSources(files),
                    {"ip", "netns", "exec", nsClient});
    const QString part = dir.filePath("in/.ferrowarden-partial");
    QElapsedTimer clock;
    clock.start();
    const auto held = [&] {
        qint64 bytes = 0;
        for (const QFileInfo& info : QDir(part).entryInfoList({"*.part"}, QDir::Files | QDir::Hidden))
            bytes = std::max(bytes, info.size());
        return bytes;
    };
    while (held() < 6 * kMiB && clock.elapsed() < 30000)
        QThread::msleep(20);
    ASSERT_GE(held(), 6 * kMiB) << serverOutput.toStdString();
    ASSERT_TRUE(sh(QStringLiteral("ip -n %1 link set %2 down").arg(nsClient, vethC)));
    ASSERT_TRUE(waitForServer("received data kept for the next copy of it", 20000)) << serverOutput.toStdString();
    ASSERT_TRUE(sh(QStringLiteral("ip -n %1 link set %2 up").arg(nsClient, vethC)));

    ASSERT_TRUE(sender.waitForFinished(60000)) << "the sender hangs";
    const QByteArray out = sender.readAllStandardOutput();
    const QByteArray err = sender.readAllStandardError();
    EXPECT_EQ(sender.exitCode(), 0) << out.toStdString() << err.toStdString();
    EXPECT_TRUE(out.contains("Resuming \"big.bin\": ")) << out.toStdString();
    EXPECT_TRUE(received("big.bin") == files[0].bytes);
    EXPECT_FALSE(QFileInfo::exists(part));
}

namespace {

// The server's directory is a small ext2 disk of its own (a loop image mounted in a mount
// namespace of the server's): ext2 reserves nothing ahead, so another writer can fill the
// disk while a file arrives. The test sees into it through /proc/<pid>/root.
class ResumeAfterAFullDisk : public Resume {
protected:
    QString inside(const QString& name) const
    {
        return QStringLiteral("/proc/%1/root%2/%3").arg(server.processId()).arg(dir.filePath("in"), name);
    }

    // Writes `name` on the server's disk until the disk is full; the bytes written.
    qint64 fill(const QString& name) const
    {
        QFile file(inside(name));
        if (!file.open(QIODevice::WriteOnly))
            return -1;
        const QByteArray block(1 << 20, 'f');
        qint64 filled = 0;
        for (qint64 n = 1; n > 0; filled += std::max<qint64>(n, 0))
            n = file.write(block) == block.size() && file.flush() ? block.size() : 0;
        return filled;
    }
};

} // namespace

TEST_F(ResumeAfterAFullDisk, WhatArrivedBeforeTheDiskFilledIsKeptAndTheNextCopyGoesOnOnceThereIsRoom)
{
    const QString image = dir.filePath("disk.img");
    const QString in = dir.filePath("in");
    {
        QFile disk(image);
        ASSERT_TRUE(disk.open(QIODevice::WriteOnly) && disk.resize(96 * kMiB));
    }
    const QString mount = QStringLiteral("mount -o loop '%1' \"$0\"").arg(image);
    const auto format = [&] { return QProcess::execute("mkfs.ext2", {"-q", "-F", image}) == 0; };
    if (!format() || QProcess::execute("unshare", {"-m", "sh", "-c", mount, in}) != 0)
        GTEST_SKIP() << "cannot mount a loop disk in a private mount namespace here (needs root and loop devices)";

    const std::vector<SourceFile> one{{"big.bin", randomBytes(48 * kMiB, 41)}};
    const std::vector<SourceFile> tree{{"tree/a.bin", randomBytes(2 * kMiB, 42)},
                                       {"tree/sub/b.bin", randomBytes(48 * kMiB, 43)},
                                       {"tree/sub/c.txt", "small"}};
    for (const bool folder : {false, true}) {
        SCOPED_TRACE(folder ? "a folder" : "one file");
        ASSERT_TRUE(format()); // an empty disk for each row
        QDir(dir.filePath("out")).removeRecursively();
        const std::vector<SourceFile>& files = folder ? tree : one;
        writeSources(files);
        const QString cut = folder ? "tree/sub/b.bin" : "big.bin";
        const QStringList what{folder ? dir.filePath("out/tree") : dir.filePath("out/big.bin")};
        const int proxyPort = port + 1;
        FlakyProxy proxy(std::uint16_t(proxyPort), std::uint16_t(port), 7);
        ASSERT_TRUE(proxy.Listening());
        proxy.SetShape({1 << 16, 2000}); // slow enough that the disk fills while the file arrives
        startServer({}, {"unshare", "-m", "sh", "-c", mount + " && exec \"$@\"", in});
        startSenderWith(QStringList{"--retry", "0", "--host", QStringLiteral("127.0.0.1:%1").arg(proxyPort)} + what);
        const auto held = [&] {
            qint64 bytes = 0;
            for (const QFileInfo& part :
                 QDir(inside(".ferrowarden-partial")).entryInfoList({"*.part"}, QDir::Files | QDir::Hidden))
                bytes = std::max(bytes, part.size());
            return bytes;
        };
        QElapsedTimer clock;
        clock.start();
        while (held() < 16 * kMiB && sender.state() != QProcess::NotRunning && clock.elapsed() < 20000)
            QThread::msleep(5);
        ASSERT_GE(held(), 16 * kMiB) << "the copy ended before the disk could fill";
        ASSERT_GT(fill("filler.bin"), 0);
        proxy.SetShape({});

        ASSERT_TRUE(sender.waitForFinished(30000));
        QByteArray err = sender.readAllStandardError();
        EXPECT_EQ(sender.exitCode(), 1) << err.toStdString();
        EXPECT_TRUE(err.contains(QStringLiteral("  %1: the server's disk is full (").arg(cut).toUtf8()))
            << err.toStdString();
        ASSERT_TRUE(waitForServer("Client disconnected...", 15000)) << serverOutput.toStdString();
        EXPECT_TRUE(serverOutput.contains(
            QStringLiteral("\"%1\": the disk is full; received data kept for the next copy of it").arg(cut).toUtf8()))
            << serverOutput.toStdString();
        const qint64 kept = held();
        EXPECT_GE(kept, 16 * kMiB);
        EXPECT_FALSE(QFileInfo::exists(inside(cut))) << "never under its name until whole";

        // Room again, though less than the whole file: what the partial file holds need not
        // fit twice. The same copy sends about what was missing, and the file is whole.
        ASSERT_TRUE(QFile::remove(inside("filler.bin")));
        const auto available = [&] {
            struct statvfs disk {};
            return ::statvfs(QFile::encodeName(inside("")).constData(), &disk) == 0
                       ? qint64(disk.f_bavail) * qint64(disk.f_frsize)
                       : qint64(-1);
        };
        const qint64 spare = available() - (48 * kMiB - kept) - 6 * kMiB;
        ASSERT_GT(spare, 0);
        {
            QFile filler(inside("filler.bin"));
            ASSERT_TRUE(filler.open(QIODevice::WriteOnly));
            ASSERT_EQ(filler.write(QByteArray(spare, 'f')), spare);
        }
        ASSERT_LT(available(), 48 * kMiB);
        serverOutput.clear();
        QByteArray out;
        ASSERT_EQ(run(QStringList{"send", "--retry", "0", "--host", QStringLiteral("127.0.0.1:%1").arg(port)} + what,
                      &out, &err),
                  0)
            << out.toStdString() << err.toStdString();
        const QRegularExpression resumed(
            QStringLiteral("Resuming \"%1\": ([0-9,]+) bytes already there").arg(QRegularExpression::escape(cut)));
        const QRegularExpressionMatch there = resumed.match(QString::fromUtf8(out));
        ASSERT_TRUE(there.hasMatch()) << out.toStdString();
        const qint64 already = there.captured(1).remove(',').toLongLong();
        EXPECT_GT(already, 8 * kMiB);
        const QRegularExpressionMatch sent =
            QRegularExpression("([0-9.]+) MiB sent over the network").match(QString::fromUtf8(out));
        ASSERT_TRUE(sent.hasMatch()) << out.toStdString();
        EXPECT_LE(sent.captured(1).toDouble() * kMiB, double(48 * kMiB - already + 4 * kMiB)) << out.toStdString();
        ASSERT_TRUE(waitForServer("Client disconnected...", 15000));
        for (const SourceFile& file : files) {
            QFile arrived(inside(file.name));
            EXPECT_TRUE(arrived.open(QIODevice::ReadOnly) && arrived.readAll() == file.bytes)
                << file.name.toStdString();
        }
        EXPECT_FALSE(QFileInfo::exists(inside(".ferrowarden-partial"))) << "nothing is left of the cut copy";
        server.terminate();
        server.waitForFinished(5000);
    }
}
