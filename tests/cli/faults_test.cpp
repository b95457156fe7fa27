// Faults end to end, with real processes: a sender or a server killed mid-copy, a link that
// goes down, a bad link (a proxy of our own that splits, delays, stalls and cuts), and a full
// disk. Whatever happens, both ends notice, nothing that was there is lost, nothing corrupt
// lands under a real name, and the next copy works.
#include "support/endtoend.h"
#include "support/flakyproxy.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QThread>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Waits until `done` holds, checking every 20 ms; false after `timeoutMs`.
template <typename Predicate>
bool waitUntil(Predicate done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QThread::msleep(20);
    }
    return true;
}

class Faults : public EndToEnd {
protected:
    void SetUp() override
    {
        EndToEnd::SetUp();
        proxyPort = port + 1;
    }

    // Starts `ferrowarden send FILES` through the proxy (or straight to the server).
    // These senders give up when the link is lost (--retry 0): how they end is the point.
    void startSender(const QStringList& paths, bool throughProxy = true)
    {
        startSenderWith(
            QStringList{"--retry", "0", "--host", QStringLiteral("127.0.0.1:%1").arg(throughProxy ? proxyPort : port)}
            + paths);
    }

    int proxyPort = 0;
};

// A copy of a small file and a larger one that crosses a slow link, so that it can be cut
// in the middle of the larger one.
struct CutCopy {
    SourceFile first{"first.bin", RandomBytes(5000, 21)};
    SourceFile cut{"cut.bin", RandomBytes(3 << 20, 22)};
};

TEST_F(Faults, SenderKilledInTheMiddleOfAFile)
{
    FlakyProxy proxy(std::uint16_t(proxyPort), std::uint16_t(port), 1);
    ASSERT_TRUE(proxy.Listening());
    proxy.SetShape({4096, 20000});
    const CutCopy copy;
    writeExisting("cut.bin", "good old contents");
    startServer();
    startSender(writeSources({copy.first, copy.cut}));
    ASSERT_TRUE(waitForServer("Filename: cut.bin")) << serverOutput.toStdString();
    ASSERT_TRUE(waitUntil([&] { return proxy.Relayed() > (1 << 20); }, 20000));
    sender.kill();
    ASSERT_TRUE(sender.waitForFinished(5000));

    ASSERT_TRUE(waitForServer("Client disconnected...")) << serverOutput.toStdString();
    EXPECT_TRUE(waitForServer("Transmission aborted: \"cut.bin\" incomplete")) << serverOutput.toStdString();
    EXPECT_EQ(received("first.bin"), copy.first.bytes);
    EXPECT_EQ(received("cut.bin"), "good old contents");
    EXPECT_EQ(temporaryFiles(), QStringList());
    expectAGoodCopy("after the sender was killed");
}

TEST_F(Faults, ServerKilledInTheMiddleOfACopy)
{
    FlakyProxy proxy(std::uint16_t(proxyPort), std::uint16_t(port), 2);
    ASSERT_TRUE(proxy.Listening());
    proxy.SetShape({4096, 20000});
    const CutCopy copy;
    writeExisting("cut.bin", "good old contents");
    startServer();
    startSender(writeSources({copy.first, copy.cut}));
    ASSERT_TRUE(waitForServer("Filename: cut.bin")) << serverOutput.toStdString();
    server.kill();
    ASSERT_TRUE(server.waitForFinished(5000));

    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(sender.waitForFinished(15000)) << "the sender hangs";
    std::printf("[ measure  ] the sender ended %lld ms after the server was killed\n",
                static_cast<long long>(clock.elapsed()));
    EXPECT_EQ(sender.exitStatus(), QProcess::NormalExit);
    EXPECT_NE(sender.exitCode(), 0);
    // Cut off while sending (SendEx fails) or while waiting for the server to take the rest
    // or to answer for it.
    const QByteArray err = sender.readAllStandardError();
    const QByteArray out = sender.readAllStandardOutput();
    EXPECT_TRUE(
        err.contains("SendEx: ") || err.contains("did not confirm that it received the whole copy")
        || err.contains("The connection to the server was lost before it confirmed the copy")
        || err.contains("the connection to the server was lost; the same copy again goes on where this one stopped"))
        << err.toStdString();
    EXPECT_FALSE(out.contains("Transmission complete!")) << out.toStdString();
    EXPECT_EQ(received("first.bin"), copy.first.bytes);
    EXPECT_EQ(received("cut.bin"), "good old contents");

    // A new server takes the place; it removes what the killed one left once it is old.
    startServer();
    expectAGoodCopy("after the server was killed");
}

TEST_F(Faults, CopiesThroughASplittingDelayingLinkArriveByteForByte)
{
    FlakyProxy proxy(std::uint16_t(proxyPort), std::uint16_t(port), 3);
    ASSERT_TRUE(proxy.Listening());
    startServer();
    const auto files = sampleFiles();
    const struct {
        const char* what;
        FlakyProxy::Shape shape;
        std::vector<SourceFile> files;
        QStringList options;
    } rows[] = {
        {"single bytes", {1, 0}, {files[0], files[1], files[2], files[4]}, {"--block-size", "576"}},
        {"up to 7 bytes, delayed", {7, 300}, {files[1], files[3], files[4]}, {"--encrypt"}},
        {"up to 3000 bytes, delayed", {3000, 200}, files, {"--block-size", "1000", "--encrypt"}},
        {"large pieces", {1 << 16, 0}, files, {}},
    };
    for (const auto& row : rows) {
        QDir(dir.filePath("in")).removeRecursively();
        QDir(dir.path()).mkpath("in");
        proxy.SetShape(row.shape);
        QByteArray out, err;
        ASSERT_EQ(run(QStringList{"send", "--host", QStringLiteral("127.0.0.1:%1").arg(proxyPort)} + row.options
                          + writeSources(row.files),
                      &out, &err),
                  0)
            << row.what << "\n"
            << out.toStdString() << err.toStdString();
        ASSERT_TRUE(waitForServer("Client disconnected...")) << row.what;
        serverOutput.clear();
        expectReceived(row.files, row.what);
    }
}

TEST_F(Faults, StallOrCutEndsTheCopyCleanlyOnBothSides)
{
    const CutCopy copy;
    for (const bool stall : {true, false}) {
        const std::string what = stall ? "stall" : "cut";
        FlakyProxy proxy(std::uint16_t(proxyPort), std::uint16_t(port), 4);
        ASSERT_TRUE(proxy.Listening());
        proxy.SetShape({4096, 20000});
        QDir(dir.filePath("in")).removeRecursively();
        QDir(dir.path()).mkpath("in");
        writeExisting("cut.bin", "good old contents");
        startServer();
        startSender(writeSources({copy.first, copy.cut}));
        ASSERT_TRUE(waitForServer("Filename: cut.bin")) << what << serverOutput.toStdString();
        ASSERT_TRUE(waitUntil([&] { return proxy.Relayed() > (1 << 20); }, 20000)) << what;
        QElapsedTimer clock;
        clock.start();
        if (stall)
            proxy.Stall(true);
        else
            proxy.Cut();

        ASSERT_TRUE(waitForServer("Client disconnected...", 15000)) << what << serverOutput.toStdString();
        std::printf("[ measure  ] %s: the server noticed after %lld ms\n", what.c_str(),
                    static_cast<long long>(clock.elapsed()));
        ASSERT_TRUE(sender.waitForFinished(15000)) << what << ": the sender hangs";
        std::printf("[ measure  ] %s: the sender ended after %lld ms\n", what.c_str(),
                    static_cast<long long>(clock.elapsed()));
        EXPECT_NE(sender.exitCode(), 0) << what;
        EXPECT_FALSE(sender.readAllStandardOutput().contains("Transmission complete!")) << what;
        EXPECT_TRUE(waitForServer("Transmission aborted: \"cut.bin\" incomplete")) << what;
        EXPECT_EQ(received("first.bin"), copy.first.bytes) << what;
        EXPECT_EQ(received("cut.bin"), "good old contents") << what;
        EXPECT_EQ(temporaryFiles(), QStringList()) << what;
        proxy.Stall(false);
        expectAGoodCopy(what);
        server.terminate();
        ASSERT_TRUE(server.waitForFinished(5000));
    }
}

// The receive directory is a small tmpfs in a mount namespace of the server's own; the test
// sees into it through /proc/<pid>/root.
TEST_F(Faults, FullDiskRefusesWhatCannotFitKeepsRoomForWhatItTookAndReportsAWriteThatFails)
{
    const QString in = dir.filePath("in");
    if (QProcess::execute("unshare", {"-m", "sh", "-c", "mount -t tmpfs -o size=64k tmpfs " + in}) != 0)
        GTEST_SKIP() << "cannot mount a tmpfs in a private mount namespace here (needs root or user namespaces)";
    FlakyProxy proxy(std::uint16_t(proxyPort), std::uint16_t(port), 5);
    ASSERT_TRUE(proxy.Listening());
    startServer({}, {"unshare", "-m", "sh", "-c", "mount -t tmpfs -o size=4m tmpfs \"$0\" && exec \"$@\"", in});
    const QString seen = QStringLiteral("/proc/%1/root%2/").arg(server.processId()).arg(in);
    const auto inside = [&](const QString& name) {
        QFile file(seen + name);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    };
    {
        QFile existing(seen + "keep.bin");
        ASSERT_TRUE(existing.open(QIODevice::WriteOnly)) << seen.toStdString();
        existing.write("kept as it was");
    }

    // What cannot fit is refused before anything is written, and the sender is told; what
    // fits arrives.
    const SourceFile fits{"fits.bin", RandomBytes(1 << 20, 31)};
    const SourceFile tooLarge{"toolarge.bin", RandomBytes(5 << 20, 32)};
    QByteArray out, err;
    ASSERT_EQ(
        run(QStringList{"send", "--host", QStringLiteral("127.0.0.1:%1").arg(port)} + writeSources({fits, tooLarge}),
            &out, &err),
        1)
        << err.toStdString();
    EXPECT_TRUE(err.startsWith("ferrowarden: the server did not store 1 of 2 files:\n"
                               "  toolarge.bin: not enough free space on the server ("))
        << err.toStdString();
    ASSERT_TRUE(waitForServer("Client disconnected...")) << serverOutput.toStdString();
    EXPECT_TRUE(
        serverOutput.contains("Not enough free space for " + in.toUtf8() + "/toolarge.bin: 5242880 bytes needed"))
        << serverOutput.toStdString();
    // The refused file's data is dropped: in full when it all arrived before the sender heard
    // of the refusal, or cut off at the copy's end when the sender stopped sending it. The
    // line may reach the server's output after the line of the client leaving.
    const auto discarded = [this] {
        return serverOutput.contains("Transmission failed: \"toolarge.bin\" was not written")
               || serverOutput.contains("Transmission aborted: \"toolarge.bin\" incomplete");
    };
    for (int wait = 0; wait < 40 && !discarded(); ++wait) {
        server.waitForReadyRead(250);
        serverOutput += server.readAllStandardOutput();
    }
    EXPECT_TRUE(discarded()) << serverOutput.toStdString();
    EXPECT_EQ(inside("fits.bin"), fits.bytes);
    EXPECT_EQ(inside("toolarge.bin"), "<missing>");

    // Fills the server's disk with a file of `name` as far as it takes up to `bytes`; returns
    // what it took.
    const auto fill = [&](const QString& name, std::size_t bytes) {
        std::size_t filled = 0;
        const int fd = ::open(QFile::encodeName(seen + name).constData(), O_WRONLY | O_CREAT, 0644);
        EXPECT_GE(fd, 0);
        const QByteArray block(64 << 10, 'f');
        for (ssize_t n = 1; n > 0 && filled < bytes; filled += std::size_t(std::max<ssize_t>(n, 0)))
            n = ::write(fd, block.constData(), std::size_t(block.size()));
        ::close(fd);
        return filled;
    };

    // A file of 1 MiB or more that fits when it is announced keeps its room: the disk
    // reserved it, so another writer that fills the disk meanwhile runs out first, and the
    // file arrives whole.
    serverOutput.clear();
    proxy.SetShape({4096, 20000});
    const SourceFile fills{"fills.bin", RandomBytes(2 << 20, 33)};
    startSender(writeSources({fills}));
    ASSERT_TRUE(waitForServer("Receiving Data...")) << serverOutput.toStdString();
    EXPECT_LT(fill("filler.bin", 2u << 20), 2u << 20) << "the filler found room the copy had reserved";
    ASSERT_TRUE(sender.waitForFinished(30000));
    EXPECT_EQ(sender.exitCode(), 0) << sender.readAllStandardError().toStdString();
    ASSERT_TRUE(waitForServer("Client disconnected...", 15000)) << serverOutput.toStdString();
    EXPECT_TRUE(serverOutput.contains("Transmission Complete!")) << serverOutput.toStdString();
    EXPECT_EQ(inside("fills.bin"), fills.bytes);
    ASSERT_TRUE(QFile::remove(seen + "filler.bin"));

    // A smaller file, which nothing reserves: it fits when it is announced, but the disk
    // fills while it arrives.
    serverOutput.clear();
    const SourceFile runsOut{"runsout.bin", RandomBytes(768 << 10, 34)};
    startSender(writeSources({runsOut}));
    ASSERT_TRUE(waitForServer("Receiving Data...")) << serverOutput.toStdString();
    fill("filler.bin", 2u << 20);
    ASSERT_TRUE(sender.waitForFinished(30000));
    EXPECT_EQ(sender.exitCode(), 1);
    EXPECT_TRUE(sender.readAllStandardError().contains("  runsout.bin: the server's disk is full ("));
    ASSERT_TRUE(waitForServer("Client disconnected...", 15000)) << serverOutput.toStdString();
    EXPECT_TRUE(serverOutput.contains("Transmission failed: " + in.toUtf8() + "/runsout.bin could not be written ("))
        << serverOutput.toStdString();
    EXPECT_FALSE(serverOutput.contains("Transmission Complete!")) << serverOutput.toStdString();
    EXPECT_EQ(inside("runsout.bin"), "<missing>");
    EXPECT_EQ(inside("fills.bin"), fills.bytes);
    EXPECT_EQ(inside("fits.bin"), fits.bytes);
    EXPECT_EQ(inside("keep.bin"), "kept as it was");
    EXPECT_EQ(QDir(seen).entryList({".ferrowarden-*"}, QDir::Files | QDir::Hidden), QStringList());
}

// A link that delivers one data packet of a file twice: the server has to drop the packet
// that no longer fits, so the file cannot be whole. It is never stored, whether or not the
// server can tell the sender so.
TEST_F(Faults, FileThatLostADataPacketOnTheWayIsNotStored)
{
    // 1464 full blocks and one of 1728 bytes: with the fifth packet twice, the last full
    // block is the one that does not fit.
    const SourceFile file{"file.bin", RandomBytes(3000000, 41)};
    const QStringList paths = writeSources({file});
    for (const bool extended : {true, false}) {
        const std::string what = extended ? "extended protocol" : "the design's protocol";
        FlakyProxy proxy(std::uint16_t(proxyPort), std::uint16_t(port), 6);
        ASSERT_TRUE(proxy.Listening());
        proxy.DuplicateDataPacket(5);
        writeExisting("file.bin", "good old contents");
        environment.insert("FERROWARDEN_EXTENSION", extended ? "on" : "off");
        startServer();
        environment.insert("FERROWARDEN_EXTENSION", "on");

        QByteArray out, err;
        const int code =
            run(QStringList{"send", "--retry", "0", "--host", QStringLiteral("127.0.0.1:%1").arg(proxyPort)} + paths,
                &out, &err);
        ASSERT_TRUE(waitForServer("Client disconnected...")) << what << serverOutput.toStdString();
        EXPECT_EQ(proxy.Duplicated(), 1) << what;
        EXPECT_FALSE(serverOutput.contains("Transmission Complete!")) << what << serverOutput.toStdString();
        EXPECT_EQ(received("file.bin"), "good old contents") << what;
        EXPECT_EQ(temporaryFiles(), QStringList()) << what;
        if (extended) {
            // Both ends have secure copies: the record sent again is a replay, and ends the copy.
            EXPECT_TRUE(serverOutput.contains("replayed, reordered or lost")) << what << serverOutput.toStdString();
            EXPECT_EQ(code, 1) << what << out.toStdString() << err.toStdString();
            EXPECT_FALSE(out.contains("Transmission complete!")) << out.toStdString();
        } else {
            EXPECT_TRUE(serverOutput.contains("Message dropped: data packet with count 2048, but \"file.bin\" lacks "
                                              "only 1728 bytes"))
                << what << serverOutput.toStdString();
            EXPECT_TRUE(serverOutput.contains("Transmission failed: a data packet of \"file.bin\" was dropped, so it "
                                              "cannot be whole; received data discarded"))
                << what << serverOutput.toStdString();
            EXPECT_TRUE(serverOutput.contains(": 1 discarded for dropped data packets"))
                << what << serverOutput.toStdString();
        }
        server.terminate();
        ASSERT_TRUE(server.waitForFinished(5000));
        serverOutput.clear();
    }
}

// The link between two namespaces goes down in the middle of a copy and comes back.
class LinkFaults : public NamespaceCopy {};

TEST_F(LinkFaults, LinkDownMidCopyIsNoticedByBothEndsAndANewCopyWorks)
{
    if (!skipReason.isEmpty())
        GTEST_SKIP() << skipReason.toStdString();
    // About 2 MB/s each way, so that the copy is still under way when the link goes.
    for (const QString& side : {nsServer + " dev " + vethS, nsClient + " dev " + vethC})
        if (!sh("ip netns exec " + side.section(' ', 0, 0) + " tc qdisc add " + side.section(' ', 1)
                + " root tbf rate 16mbit burst 32kbit latency 400ms"))
            GTEST_SKIP() << "cannot shape the veth link with tc tbf here";
    const CutCopy copy;
    writeExisting("cut.bin", "good old contents");
    startServer({}, {"ip", "netns", "exec", nsServer});
    startSenderWith(QStringList{"--retry", "0", "--session", label} + writeSources({copy.first, copy.cut}),
                    {"ip", "netns", "exec", nsClient});
    ASSERT_TRUE(waitForServer("Filename: cut.bin")) << serverOutput.toStdString();
    QThread::msleep(300);
    ASSERT_TRUE(sh(QStringLiteral("ip -n %1 link set %2 down").arg(nsClient, vethC)));
    QElapsedTimer clock;
    clock.start();

    ASSERT_TRUE(waitForServer("Client disconnected...", 15000)) << serverOutput.toStdString();
    std::printf("[ measure  ] the server noticed after %lld ms\n", static_cast<long long>(clock.elapsed()));
    ASSERT_TRUE(sender.waitForFinished(15000)) << "the sender hangs";
    std::printf("[ measure  ] the sender ended after %lld ms\n", static_cast<long long>(clock.elapsed()));
    EXPECT_NE(sender.exitCode(), 0) << sender.readAllStandardOutput().toStdString();
    EXPECT_TRUE(waitForServer("Transmission aborted: \"cut.bin\" incomplete")) << serverOutput.toStdString();
    EXPECT_EQ(received("first.bin"), copy.first.bytes);
    EXPECT_EQ(received("cut.bin"), "good old contents");
    EXPECT_EQ(temporaryFiles(), QStringList());

    ASSERT_TRUE(sh(QStringLiteral("ip -n %1 link set %2 up").arg(nsClient, vethC)));
    expectAGoodCopy("after the link came back", {"ip", "netns", "exec", nsClient}, {"--session", label});
}

} // namespace
