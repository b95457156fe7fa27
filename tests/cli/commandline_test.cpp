// The command line as a user meets it: each row a command line, the state of the network it
// meets, its exit code and the first words it says. Real processes on loopback.
#include "cli/support/clienvironment.h"
#include "ferrowardenversion.h"
#include "support/testdata.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <memory>
#include <optional>

namespace {

// What a row finds on the network.
enum class Network { Nothing, Server, BusyServer, FullHost, UnreachableHost };

struct Row {
    Network network;
    QStringList arguments; // "LABEL" stands for the server's label
    int code;
    // The first line of stderr starts with this; or, for a row that succeeds, a line of
    // stdout does.
    QString says;
};

QByteArray firstLineStartingWith(const QByteArray& text, const QByteArray& prefix)
{
    for (const QByteArray& line : text.split('\n'))
        if (line.startsWith(prefix))
            return line;
    return {};
}

class CommandLine : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(env.IsValid());
        env.WriteFile("a.txt", "alpha");
        env.WriteFile("b.bin", RandomBytes(100000, 7));
        QDir(env.Path()).mkpath("folder");
    }
    void TearDown() override
    {
        if (server.state() != QProcess::NotRunning) {
            server.terminate();
            server.waitForFinished(5000);
        }
    }

    void meet(Network network)
    {
        holder.reset();
        fake.reset();
        const bool serving = network == Network::Server || network == Network::BusyServer;
        if (!serving && server.state() != QProcess::NotRunning) {
            server.terminate();
            ASSERT_TRUE(server.waitForFinished(5000));
        }
        if (serving && server.state() == QProcess::NotRunning) {
            ASSERT_TRUE(env.StartServer(server));
        }
        if (network == Network::BusyServer) {
            holder = std::make_unique<SessionHolder>(env.Port);
            ASSERT_TRUE(holder->Joined());
        }
        if (network == Network::FullHost)
            fake = std::make_unique<FakeHost>(env.Port, "Fake", FakeHost::Mode::RefusesAsFull);
        if (network == Network::UnreachableHost)
            fake = std::make_unique<FakeHost>(env.Port, "Fake", FakeHost::Mode::Unreachable);
    }

    CliEnvironment env;
    QProcess server;
    std::unique_ptr<SessionHolder> holder;
    std::unique_ptr<FakeHost> fake;
};

TEST_F(CommandLine, EachCommandLineEndsWithItsCodeAndSaysWhy)
{
    const QString host = QStringLiteral("127.0.0.1");
    const Row rows[] = {
        {Network::Nothing, {"--help"}, 0, "Ferrowarden "},
        {Network::Nothing, {"serve", "--help"}, 0, "Usage: ferrowarden serve DIR"},
        {Network::Nothing, {"list", "-h"}, 0, "Usage: ferrowarden list"},
        {Network::Nothing, {"send", "--help"}, 0, "Usage: ferrowarden send"},
        {Network::Nothing, {"help", "send"}, 0, "Usage: ferrowarden send"},
        {Network::Nothing, {"--version"}, 0, "ferrowarden " FERROWARDEN_VERSION},
        {Network::Nothing, {"--bogus"}, 2, "ferrowarden: unknown option \"--bogus\""},
        {Network::Nothing, {"-v"}, 2, "ferrowarden: unknown option \"-v\""},
        {Network::Nothing, {"bogus"}, 2, "ferrowarden: unknown command \"bogus\""},
        {Network::Nothing, {"serve", "--frobnicate", "in"}, 2, "ferrowarden: unknown option 'frobnicate'"},
        {Network::Nothing, {"send"}, 2, "ferrowarden: send needs at least one file"},
        {Network::Nothing, {"send", "--session"}, 2, "ferrowarden: missing value after '--session'"},
        {Network::Nothing, {"send", "--block-size", "4096", "a.txt"}, 2, "ferrowarden: the block size must be"},
        {Network::Nothing,
         {"send", "--host", "127.0.0.1:abc", "a.txt"},
         2,
         "ferrowarden: --host \"127.0.0.1:abc\": give HOST or HOST:PORT"},
        {Network::Nothing,
         {"list", "--host", "lab-pc:0"},
         2,
         "ferrowarden: --host \"lab-pc:0\": give HOST or HOST:PORT"},
        {Network::Nothing, {"list", "--wait", "soon"}, 2, "ferrowarden: --wait takes a whole number of seconds"},
        {Network::Nothing, {"serve", "in", "--label", "Lab #2"}, 2, "ferrowarden: The label \"Lab #2\" holds a \"#\""},
        {Network::Nothing,
         {"send", "--host", "no-such-host.invalid", "a.txt"},
         1,
         "ferrowarden: cannot find host \"no-such-host.invalid\""},
        {Network::Nothing, {"send", "--host", host, "a.txt"}, 1, "ferrowarden: no session found"},
        {Network::Nothing, {"list", "--host", host}, 1, "ferrowarden: no session found"},
        {Network::Nothing, {"send", "missing.txt", "a.txt"}, 1, "ferrowarden: missing.txt: no such file"},
        {Network::Nothing,
         {"send", "a.txt", "folder/../a.txt"},
         1,
         "ferrowarden: folder/../a.txt: has the same name as a.txt"},
        {Network::Nothing,
         {"serve", "nowhere"},
         1,
         "ferrowarden: nowhere: no such directory; create it, or add --mkdir"},
        {Network::Nothing, {"serve", "a.txt"}, 1, "ferrowarden: a.txt: not a directory"},
        {Network::Server, {"list", "--host", host}, 0, "LABEL\t"},
        {Network::Server,
         {"send", "--host", host, "--session", "Other", "a.txt"},
         1,
         "ferrowarden: no session \"Other\" found; found \"LABEL\""},
        {Network::Server, {"send", "--host", host, "a.txt", "b.bin"}, 0, "Sent 2 files ("},
        {Network::Server, {"send", "--host", host, "folder"}, 0, "Sent 0 files ("},
        {Network::BusyServer,
         {"send", "--host", host, "a.txt"},
         1,
         "ferrowarden: session \"LABEL\" is busy: another client is sending"},
        {Network::BusyServer, {"list", "--host", host}, 1, "ferrowarden: no free session: session \"LABEL\" is busy"},
        {Network::FullHost,
         {"send", "--host", host, "a.txt"},
         1,
         "ferrowarden: session \"Fake\" is full: another client joined it first"},
        {Network::UnreachableHost,
         {"send", "--host", host, "a.txt"},
         1,
         "ferrowarden: cannot reach session \"Fake\" at 127.0.0.1, TCP port "},
    };
    for (const Row& row : rows) {
        QStringList arguments = row.arguments;
        arguments.replaceInStrings("LABEL", env.Label);
        const std::string context = arguments.join(' ').toStdString();
        meet(row.network);
        if (HasFailure())
            return;
        const CliResult result = env.Run(arguments);
        EXPECT_EQ(result.code, row.code) << context << "\n" << result.out.toStdString() << result.err.toStdString();
        const QByteArray says = QString(row.says).replace("LABEL", env.Label).toUtf8();
        if (row.code == 0)
            EXPECT_FALSE(firstLineStartingWith(result.out, says).isEmpty()) << context << "\n"
                                                                            << result.out.toStdString();
        else
            EXPECT_TRUE(result.FirstErrorLine().startsWith(says)) << context << "\n" << result.err.toStdString();
    }
}

// The program's version is the design's, and the manual page names the same one.
TEST(Version, TheManualPageNamesTheProgramsVersion)
{
    EXPECT_STREQ(FERROWARDEN_VERSION, "2.0");
    QFile page(QStringLiteral(FERROWARDEN_SOURCE_DIR "/docs/ferrowarden.1"));
    ASSERT_TRUE(page.open(QIODevice::ReadOnly));
    const QByteArray header = page.readLine();
    EXPECT_TRUE(header.startsWith(".TH FERROWARDEN 1 ")) << header.toStdString();
    EXPECT_TRUE(header.contains("\"Ferrowarden " FERROWARDEN_VERSION "\"")) << header.toStdString();
}

TEST_F(CommandLine, NothingFoundTellsWhomItAskedAndWhatCameBack)
{
    const CliResult alone = env.Run({"list", "--host", "127.0.0.1"});
    EXPECT_EQ(alone.code, 1);
    const QByteArray lines[] = {
        "ferrowarden: no session found\n",
        QStringLiteral("  asked: 127.0.0.1 on UDP port %1\n").arg(env.Port).toUtf8(),
        "  came back: nothing\n",
        QStringLiteral("  check: serve running on 127.0.0.1 with discovery port %1").arg(env.Port).toUtf8(),
    };
    for (const QByteArray& line : lines)
        EXPECT_TRUE(alone.err.contains(line)) << line.toStdString() << "\n" << alone.err.toStdString();
    EXPECT_EQ(alone.out, "") << "nothing to list";

    // Another program on the discovery port answers, but not as Ferrowarden does.
    const FakeHost stranger(env.Port, QString(), FakeHost::Mode::Stranger);
    const CliResult answered = env.Run({"send", "--host", "127.0.0.1", "a.txt"});
    EXPECT_EQ(answered.code, 1);
    EXPECT_TRUE(answered.err.contains(QStringLiteral("from 127.0.0.1:%1 that ").arg(env.Port).toUtf8()))
        << answered.err.toStdString();
    EXPECT_TRUE(answered.err.contains("no Ferrowarden answer (another program")) << answered.err.toStdString();
}

TEST_F(CommandLine, ListKeepsNoLogAndServeMakesItsFolderWhenAsked)
{
    EXPECT_EQ(env.Run({"list", "--host", "127.0.0.1"}).code, 1);
    EXPECT_FALSE(QFile::exists(env.Path("fwd.txt"))) << "list leaves no log behind";

    ASSERT_TRUE(env.StartServer(server, {"--once"}));
    server.terminate();
    ASSERT_TRUE(server.waitForFinished(5000));
    QProcess made;
    made.setProcessEnvironment(env.Environment);
    made.setWorkingDirectory(env.Path());
    made.start(FERROWARDEN_BIN, {"serve", "new/inbox", "--mkdir", "--once"});
    QByteArray seen;
    ASSERT_TRUE(CliEnvironment::WaitForOutput(made, seen, "Server started succesfully!")) << seen.toStdString();
    EXPECT_TRUE(QFileInfo(env.Path("new/inbox")).isDir());
    made.terminate();
    ASSERT_TRUE(made.waitForFinished(5000));
    // A server that waits leaves its last line whole.
    seen += made.readAllStandardOutput();
    EXPECT_TRUE(seen.endsWith('\n')) << seen.toStdString();
}

// Starts `ferrowarden ARGUMENTS` and reads its stderr until it holds `text`.
// The server puts a file in place just after it has read it, which may be a moment after
// send has ended: the server does not confirm its writes.
void waitForFile(const QFile& file)
{
    QElapsedTimer clock;
    clock.start();
    while (!file.exists() && clock.elapsed() < 10000)
        QThread::msleep(20);
}

bool startAndWaitForError(const CliEnvironment& env, QProcess& process, const QStringList& arguments,
                          const QByteArray& text, QByteArray& seen)
{
    process.setProcessEnvironment(env.Environment);
    process.setWorkingDirectory(env.Path());
    process.setReadChannel(QProcess::StandardError);
    process.start(FERROWARDEN_BIN, arguments);
    while (!seen.contains(text)) {
        if (!process.waitForReadyRead(20000))
            return false;
        seen += process.readAllStandardError();
    }
    return true;
}

TEST_F(CommandLine, WaitingSendFindsAServerStartedLater)
{
    QProcess send;
    QByteArray err;
    ASSERT_TRUE(startAndWaitForError(env, send,
                                     {"send", "--wait", "30", "--host", "127.0.0.1", "--session", env.Label, "b.bin"},
                                     "waiting up to", err))
        << err.toStdString();
    EXPECT_TRUE(
        err.startsWith(QStringLiteral("ferrowarden: no session \"%1\" yet; waiting up to").arg(env.Label).toUtf8()))
        << err.toStdString();
    ASSERT_TRUE(env.StartServer(server));
    ASSERT_TRUE(send.waitForFinished(30000));
    EXPECT_EQ(send.exitCode(), 0) << (err + send.readAllStandardError()).toStdString();
    QFile received(env.Path("in/b.bin"));
    waitForFile(received);
    ASSERT_TRUE(received.open(QIODevice::ReadOnly));
    EXPECT_TRUE(received.readAll() == RandomBytes(100000, 7));
}

TEST_F(CommandLine, WaitingSendAndListOutlastABusySession)
{
    ASSERT_TRUE(env.StartServer(server));
    SessionHolder holder(env.Port);
    ASSERT_TRUE(holder.Joined());

    QProcess list;
    QByteArray listErr;
    ASSERT_TRUE(
        startAndWaitForError(env, list, {"list", "--wait", "30", "--host", "127.0.0.1"}, "waiting up to", listErr))
        << listErr.toStdString();
    QProcess send;
    QByteArray sendErr;
    ASSERT_TRUE(startAndWaitForError(env, send, {"send", "--wait", "30", "--host", "127.0.0.1", "a.txt"},
                                     "waiting up to", sendErr))
        << sendErr.toStdString();
    const QByteArray busy =
        QStringLiteral("ferrowarden: session \"%1\" is busy: another client is sending; waiting up to")
            .arg(env.Label)
            .toUtf8();
    EXPECT_TRUE(listErr.startsWith(busy)) << listErr.toStdString();
    EXPECT_TRUE(sendErr.startsWith(busy)) << sendErr.toStdString();

    holder.Leave();
    ASSERT_TRUE(list.waitForFinished(30000));
    EXPECT_EQ(list.exitCode(), 0);
    EXPECT_TRUE(list.readAllStandardOutput().startsWith((env.Label + "\t").toUtf8()));
    ASSERT_TRUE(send.waitForFinished(30000));
    EXPECT_EQ(send.exitCode(), 0) << send.readAllStandardError().toStdString();
    QFile received(env.Path("in/a.txt"));
    waitForFile(received);
    ASSERT_TRUE(received.open(QIODevice::ReadOnly));
    EXPECT_EQ(received.readAll(), "alpha");
}

TEST_F(CommandLine, OneBadFileStopsTheCopyBeforeAnythingArrives)
{
    ASSERT_TRUE(env.StartServer(server));
    env.WriteFile("c.txt", "gamma");
    const CliResult bad = env.Run({"send", "--host", "127.0.0.1", "a.txt", "missing.txt", "b.bin", "folder/../b.bin"});
    EXPECT_EQ(bad.code, 1);
    EXPECT_EQ(bad.err, "ferrowarden: missing.txt: no such file\n"
                       "ferrowarden: folder/../b.bin: has the same name as b.bin; the server would keep only one\n"
                       "  nothing was sent\n");
    EXPECT_EQ(bad.out, "") << "no session was even searched for";

    // A good copy afterwards is the first and only one the server saw.
    ASSERT_EQ(env.Run({"send", "--host", "127.0.0.1", "c.txt"}).code, 0);
    QByteArray seen;
    ASSERT_TRUE(CliEnvironment::WaitForOutput(server, seen, "Received 1 file")) << seen.toStdString();
    EXPECT_EQ(seen.count("Client has connected..."), 1) << seen.toStdString();
    EXPECT_EQ(QDir(env.Path("in")).entryList(QDir::Files | QDir::Hidden), QStringList{"c.txt"});
}

// Two network namespaces joined by a veth pair whose addresses have no broadcast address: a
// search by broadcast cannot reach the server, says so, and --host finds it.
class NoBroadcast : public CommandLine {
protected:
    void SetUp() override
    {
        CommandLine::SetUp();
        const QString tag = QString::number(::getpid());
        nsServer = "fw-nbs-" + tag;
        nsClient = "fw-nbc-" + tag;
        client = "fwn" + tag.right(8);
        if (!sh("ip netns add " + nsServer) || !sh("ip netns add " + nsClient)) {
            skipReason = "cannot create network namespaces here (needs root and ip netns)";
            return;
        }
        const bool ok = sh(QStringLiteral("ip link add fwm%1 netns %2 type veth peer name %3 netns %4")
                               .arg(tag.right(8), nsServer, client, nsClient))
                        && sh(QStringLiteral("ip -n %1 addr add 10.232.7.1/24 dev fwm%2").arg(nsServer, tag.right(8)))
                        && sh(QStringLiteral("ip -n %1 addr add 10.232.7.2/24 dev %2").arg(nsClient, client))
                        && sh(QStringLiteral("ip -n %1 link set fwm%2 up").arg(nsServer, tag.right(8)))
                        && sh(QStringLiteral("ip -n %1 link set %2 up").arg(nsClient, client))
                        && sh(QStringLiteral("ip -n %1 link set lo up").arg(nsServer))
                        && sh(QStringLiteral("ip -n %1 link set lo up").arg(nsClient))
                        && sh(QStringLiteral("ip netns exec %1 true").arg(nsClient));
        if (!ok)
            skipReason = "cannot set up a veth pair between namespaces";
    }
    void TearDown() override
    {
        CommandLine::TearDown();
        sh("ip netns del " + nsServer);
        sh("ip netns del " + nsClient);
    }
    static bool sh(const QString& command) { return QProcess::execute("sh", {"-c", command + " 2>/dev/null"}) == 0; }

    QString nsServer, nsClient, client, skipReason;
};

TEST_F(NoBroadcast, SearchSaysWhichInterfaceItCouldNotAskAndHostStillFinds)
{
    if (!skipReason.isEmpty())
        GTEST_SKIP() << skipReason.toStdString();
    ASSERT_TRUE(env.StartServer(server, {}, {"ip", "netns", "exec", nsServer}));
    const QStringList inClient{"ip", "netns", "exec", nsClient};

    const CliResult broadcast = env.Run({"list"}, inClient);
    EXPECT_EQ(broadcast.code, 1);
    const QByteArray lines[] = {
        "ferrowarden: no session found\n",
        QStringLiteral("  asked: 127.255.255.255 (lo) on UDP port %1\n").arg(env.Port).toUtf8(),
        QStringLiteral("  not asked: %1 (10.232.7.2/24) has no broadcast address\n").arg(client).toUtf8(),
        "  came back: nothing\n",
        "  or name the server: --host HOST[:PORT]\n",
    };
    for (const QByteArray& line : lines)
        EXPECT_TRUE(broadcast.err.contains(line)) << line.toStdString() << "\n" << broadcast.err.toStdString();

    const CliResult named = env.Run({"list", "--host", "10.232.7.1"}, inClient);
    EXPECT_EQ(named.code, 0) << named.err.toStdString();
    EXPECT_TRUE(named.out.startsWith((env.Label + "\t").toUtf8())) << named.out.toStdString();
}

} // namespace
