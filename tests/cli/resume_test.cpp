// Resume with real processes: the sender or the server killed outright (SIGKILL) in the
// middle of a large file, of one file and of a folder, then the same copy again, which goes
// on where the first stopped; and a sender that finds a restarted server by itself.
#include "support/endtoend.h"

#include <QRandomGenerator>
#include <QThread>

#include <csignal>

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
