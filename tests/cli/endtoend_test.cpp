// Two ferrowarden processes copying files on loopback (and, where permitted, between two
// network namespaces), compared byte for byte.
#include "support/testdata.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <functional>
#include <unistd.h>

namespace {

struct SourceFile {
    QString name;
    QByteArray bytes;
};


std::vector<SourceFile> sampleFiles()
{
    return {
        {"empty.bin", {}},
        {"three.txt", "abc"},
        {"block.bin", RandomBytes(2048, 1)},
        {"two blocks.bin", RandomBytes(4096, 2)},
        {"five thousand.bin", RandomBytes(5000, 3)},
        {"Grüße aus Köln – ÄÖÜ.dat", RandomBytes(1 << 20, 4)},
    };
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        QDir(dir.path()).mkpath("in");
        QDir(dir.path()).mkpath("out");
        QDir(dir.path()).mkpath("cfg");
        // A discovery port of our own so that tests running side by side never meet; below
        // the ephemeral range, and apart from the ranges the other test programs use.
        static int sequence = 0;
        port = 10000 + (::getpid() * 7 + sequence++ * 13) % 12000;
        environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_CONFIG_HOME", dir.filePath("cfg"));
        environment.insert("FERROWARDEN_DISCOVERY_PORT", QString::number(port));
    }

    void TearDown() override
    {
        if (server.state() != QProcess::NotRunning) {
            server.terminate();
            server.waitForFinished(5000);
        }
    }

    QStringList writeSources(const std::vector<SourceFile>& files)
    {
        QStringList paths;
        for (const SourceFile& file : files) {
            QFile out(dir.filePath("out/" + file.name));
            EXPECT_TRUE(out.open(QIODevice::WriteOnly));
            out.write(file.bytes);
            paths << out.fileName();
        }
        return paths;
    }

    void startServer(const QStringList& extra = {}, const QStringList& wrapper = {})
    {
        server.setProcessEnvironment(environment);
        server.setWorkingDirectory(dir.path());
        QStringList arguments = wrapper;
        arguments << FERROWARDEN_BIN << "serve" << dir.filePath("in") << "--label" << label;
        arguments << extra;
        server.start(arguments.takeFirst(), arguments);
        ASSERT_TRUE(server.waitForStarted());
        QByteArray output;
        while (!output.contains("Server started succesfully!")) {
            ASSERT_TRUE(server.waitForReadyRead(10000)) << output.toStdString();
            output += server.readAllStandardOutput();
        }
        serverOutput = output;
    }

    // Runs `ferrowarden ARGS` to its end; returns the exit code.
    int run(const QStringList& arguments, QByteArray* out = nullptr, QByteArray* err = nullptr,
            const QStringList& wrapper = {})
    {
        QProcess process;
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(dir.path());
        QStringList all = wrapper;
        all << FERROWARDEN_BIN << arguments;
        process.start(all.takeFirst(), all);
        EXPECT_TRUE(process.waitForFinished(60000));
        if (out)
            *out = process.readAllStandardOutput();
        const QByteArray errors = process.readAllStandardError();
        if (err)
            *err = errors;
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    void expectReceived(const std::vector<SourceFile>& files, const std::string& context)
    {
        for (const SourceFile& file : files) {
            QFile in(dir.filePath("in/" + file.name));
            ASSERT_TRUE(in.open(QIODevice::ReadOnly)) << context << ": " << file.name.toStdString();
            EXPECT_TRUE(in.readAll() == file.bytes) << context << ": " << file.name.toStdString();
        }
        // Nothing but the files themselves: no temporary files left behind.
        EXPECT_EQ(QDir(dir.filePath("in")).entryList(QDir::Files | QDir::Hidden).size(),
                  qsizetype(files.size()))
            << context;
    }

    QTemporaryDir dir;
    QProcessEnvironment environment;
    QProcess server;
    QByteArray serverOutput;
    QString label = QStringLiteral("E2E %1").arg(::getpid());
    int port = 0;
};

TEST_F(EndToEnd, EveryBlockSizeEncryptedAndNotIntoOneServer)
{
    const auto files = sampleFiles();
    const QStringList paths = writeSources(files);
    startServer();

    // One client after another into the same server: each leaves and the next finds the
    // session available again. Searches ask 127.0.0.1 only (broadcasts are tested between
    // namespaces), with and without the port.
    const struct {
        int blockSize;
        bool encrypt;
        bool withPort;
    } rows[] = {{2048, false, true}, {1024, true, true}, {576, false, false}, {576, true, true},
                {2048, true, false}, {1024, false, true}};
    for (const auto& row : rows) {
        QDir(dir.filePath("in")).removeRecursively();
        QDir(dir.path()).mkpath("in");
        QStringList arguments{"send", "--session", label, "--block-size", QString::number(row.blockSize),
                              row.encrypt ? "--encrypt" : "--no-encrypt"};
        arguments << "--host" << (row.withPort ? QStringLiteral("127.0.0.1:%1").arg(port) : QStringLiteral("127.0.0.1"));
        arguments << paths;
        QByteArray out;
        QByteArray err;
        const std::string context = "block size " + std::to_string(row.blockSize)
                                    + (row.encrypt ? ", encrypted" : ", plain");
        ASSERT_EQ(run(arguments, &out, &err), 0) << context << "\n" << out.toStdString() << err.toStdString();
        EXPECT_TRUE(out.contains("Transmission complete!")) << out.toStdString();
        EXPECT_TRUE(out.contains(QStringLiteral("Protocol: TCP/IP; BlockSize: %1").arg(row.blockSize).toUtf8()));
        EXPECT_EQ(out.contains("; Using Encryption"), row.encrypt);

        // The server has taken everything once the client has gone.
        QByteArray seen;
        while (!seen.contains("Client disconnected...")) {
            ASSERT_TRUE(server.waitForReadyRead(20000)) << context << "\n" << seen.toStdString();
            seen += server.readAllStandardOutput();
        }
        // Each file completes once; a non-empty file whose size is a multiple of the block
        // size ends with an empty packet, which reports completion once more.
        qsizetype completions = 0;
        for (const SourceFile& file : files)
            completions += (!file.bytes.isEmpty() && file.bytes.size() % row.blockSize == 0) ? 2 : 1;
        EXPECT_EQ(seen.count("Transmission Complete!"), completions) << context;
        expectReceived(files, context);
    }
}

TEST_F(EndToEnd, ServeOnceExitsWithTheCopysOutcome)
{
    const auto files = sampleFiles();
    const QStringList paths = writeSources({files[1], files[4]});
    startServer({"--once"});
    QByteArray out;
    ASSERT_EQ(run(QStringList{"send", "--host", "127.0.0.1"} + paths, &out), 0) << out.toStdString();
    ASSERT_TRUE(server.waitForFinished(20000));
    EXPECT_EQ(server.exitCode(), 0);
    expectReceived({files[1], files[4]}, "once");

    // The log file holds the server's record.
    QFile log(dir.filePath("fwd.txt"));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QByteArray text = log.readAll();
    EXPECT_TRUE(text.contains("[New Entry]\r\n"));
    EXPECT_TRUE(text.contains("\r\nFilename: five thousand.bin  255"));
    EXPECT_TRUE(text.contains("Session closed "));
}

TEST_F(EndToEnd, ServeEndsOnInterruptTerminateOrHangupAndClosesItsLog)
{
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        QFile::remove(dir.filePath("fwd.txt"));
        startServer();
        ::kill(static_cast<pid_t>(server.processId()), signal);
        ASSERT_TRUE(server.waitForFinished(10000));
        EXPECT_EQ(server.exitStatus(), QProcess::NormalExit) << signal;
        EXPECT_EQ(server.exitCode(), 0) << signal;
        QFile log(dir.filePath("fwd.txt"));
        ASSERT_TRUE(log.open(QIODevice::ReadOnly));
        EXPECT_TRUE(log.readAll().endsWith("\r\n\r\n")) << "closing lines written";
    }
}

TEST_F(EndToEnd, LogLinesReachTheFileWhileServingSoAKillLosesNothing)
{
    const auto files = sampleFiles();
    const QStringList paths = writeSources({files[1], files[4]});
    startServer();
    QByteArray out;
    ASSERT_EQ(run(QStringList{"send", "--host", "127.0.0.1"} + paths, &out), 0) << out.toStdString();
    // The server goes on running; its record is on disk within about a second.
    QFile log(dir.filePath("fwd.txt"));
    QByteArray text;
    for (int i = 0; i < 100 && !text.contains("Client disconnected..."); ++i) {
        QThread::msleep(50);
        ASSERT_TRUE(log.open(QIODevice::ReadOnly));
        text = log.readAll();
        log.close();
    }
    ::kill(static_cast<pid_t>(server.processId()), SIGKILL);
    ASSERT_TRUE(server.waitForFinished(5000));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    text = log.readAll();
    for (const char* line : {"[New Entry]\r\n", "\r\nServer started succesfully!", "\r\nClient has connected...",
                             "\r\nFilename: five thousand.bin  255", "\r\nTransmission Complete!",
                             "\r\nClient disconnected..."})
        EXPECT_TRUE(text.contains(line)) << line << "\n" << text.toStdString();
}

TEST_F(EndToEnd, UnusableSettingsStoreIsToldOnceAndTheDefaultsServe)
{
    QFile(dir.filePath("file")).open(QIODevice::WriteOnly); // a file where a folder should be
    const struct {
        const char* what;
        std::function<void()> prepare;
        const char* warning;
    } rows[] = {
        {"no config folder can be made",
         [&] {
             environment.remove("XDG_CONFIG_HOME");
             environment.insert("HOME", dir.filePath("file/home"));
         },
         "Settings cannot be stored: "},
        {"damaged store",
         [&] {
             environment.insert("XDG_CONFIG_HOME", dir.filePath("cfg"));
             QDir(dir.path()).mkpath("cfg/ferrowarden");
             QFile store(dir.filePath("cfg/ferrowarden/registry.json"));
             ASSERT_TRUE(store.open(QIODevice::WriteOnly));
             store.write("{ bad");
         },
         "was damaged"},
    };
    const auto files = sampleFiles();
    const QStringList paths = writeSources({files[1]});
    for (const auto& row : rows) {
        row.prepare();
        QByteArray out, err;
        // Nothing to list yet: the warning comes first, once, before the search's own words.
        ASSERT_EQ(run({"list", "--host", "127.0.0.1"}, &out, &err), 1) << row.what << err.toStdString();
        EXPECT_EQ(err.count(row.warning), 1) << row.what << "\n" << err.toStdString();
        EXPECT_TRUE(err.mid(err.indexOf('\n') + 1).startsWith("ferrowarden: no session found")) << row.what << "\n" << err.toStdString();

        startServer({"--once"});
        ASSERT_EQ(run(QStringList{"send", "--host", "127.0.0.1"} + paths, &out, &err), 0)
            << row.what << out.toStdString() << err.toStdString();
        ASSERT_TRUE(server.waitForFinished(20000)) << row.what;
        EXPECT_EQ(server.exitCode(), 0) << row.what;
        expectReceived({files[1]}, row.what);
    }
    // The damaged store was kept aside as it was; later runs have nothing to tell.
    const QStringList aside = QDir(dir.filePath("cfg/ferrowarden")).entryList({"registry.json.damaged-*"});
    ASSERT_EQ(aside.size(), 1);
    QFile kept(dir.filePath("cfg/ferrowarden/" + aside.first()));
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), "{ bad");
    QByteArray out, err;
    ASSERT_EQ(run({"list", "--host", "127.0.0.1"}, &out, &err), 1);
    EXPECT_TRUE(err.startsWith("ferrowarden: no session found")) << err.toStdString();
}

TEST_F(EndToEnd, ServeRefusesLabelsThatCannotBeFoundAgain)
{
    const struct {
        QString label;
        const char* reason;
    } rows[] = {
        {"Lab #2", "holds a \"#\""},
        {"tab\there", "\"tab\\x09here\" holds control characters"},
        {"line\nbreak", "\"line\\x0Abreak\" holds control characters"},
        {QString(5000, 'x'), "The label is too long"},
    };
    for (const auto& row : rows) {
        QByteArray out, err;
        EXPECT_EQ(run({"serve", dir.filePath("in"), "--label", row.label}, &out, &err), 2) << row.reason;
        EXPECT_TRUE(err.contains(row.reason)) << err.toStdString();
        EXPECT_EQ(out, "") << "nothing hosted";
    }
}

TEST_F(EndToEnd, ListShowsTheSessionAndErrorsAreReported)
{
    startServer();
    QByteArray out;
    ASSERT_EQ(run({"list", "--host", "127.0.0.1"}, &out), 0);
    EXPECT_TRUE(out.contains((label + "\t" + dir.filePath("in") + "/\n").toUtf8())) << out.toStdString();

    QByteArray err;
    EXPECT_EQ(run({"send", "--session", "no such label", "--host", "127.0.0.1", FERROWARDEN_BIN}, &out, &err), 1);
    EXPECT_TRUE(err.contains("no session \"no such label\" found")) << err.toStdString();
    EXPECT_EQ(run({"send", dir.filePath("missing.bin")}, &out, &err), 1);
    EXPECT_TRUE(err.contains("missing.bin")) << err.toStdString();
    EXPECT_EQ(run({"send", "--block-size", "4096", "x"}, &out, &err), 2);
    EXPECT_TRUE(err.contains("Usage")) << err.toStdString();
}

TEST_F(EndToEnd, NothingFoundEndsTheSendWithAnError)
{
    QByteArray out;
    QByteArray err;
    EXPECT_EQ(run({"send", "--host", "127.0.0.1", FERROWARDEN_BIN}, &out, &err), 1);
    EXPECT_TRUE(err.contains("no session found")) << err.toStdString();
}

// Two network namespaces joined by a veth pair: the client finds the server by broadcast.
class NamespaceCopy : public EndToEnd {
protected:
    void SetUp() override
    {
        EndToEnd::SetUp();
        const QString tag = QString::number(::getpid());
        nsServer = "fw-srv-" + tag;
        nsClient = "fw-cli-" + tag;
        if (!sh("ip netns add " + nsServer) || !sh("ip netns add " + nsClient)) {
            skipReason = "cannot create network namespaces here (needs root and ip netns)";
            return;
        }
        const QString vethS = "fws" + tag.right(8), vethC = "fwc" + tag.right(8);
        ok = sh(QStringLiteral("ip link add %1 netns %2 type veth peer name %3 netns %4")
                    .arg(vethS, nsServer, vethC, nsClient))
             && sh(QStringLiteral("ip -n %1 addr add 10.231.7.1/24 brd 10.231.7.255 dev %2").arg(nsServer, vethS))
             && sh(QStringLiteral("ip -n %1 addr add 10.231.7.2/24 brd 10.231.7.255 dev %2").arg(nsClient, vethC))
             && sh(QStringLiteral("ip -n %1 link set %2 up").arg(nsServer, vethS))
             && sh(QStringLiteral("ip -n %1 link set %2 up").arg(nsClient, vethC))
             && sh(QStringLiteral("ip -n %1 link set lo up").arg(nsServer))
             && sh(QStringLiteral("ip -n %1 link set lo up").arg(nsClient))
             && sh(QStringLiteral("ip netns exec %1 true").arg(nsClient)); // entering can be refused too
        if (!ok)
            skipReason = "cannot set up a veth pair between namespaces";
    }

    void TearDown() override
    {
        EndToEnd::TearDown();
        sh("ip netns del " + nsServer);
        sh("ip netns del " + nsClient);
    }

    static bool sh(const QString& command)
    {
        return QProcess::execute("sh", {"-c", command + " 2>/dev/null"}) == 0;
    }

    QString nsServer, nsClient, skipReason;
    bool ok = false;
};

TEST_F(NamespaceCopy, ClientInAnotherNamespaceFindsServerByBroadcast)
{
    if (!skipReason.isEmpty())
        GTEST_SKIP() << skipReason.toStdString();
    const auto files = sampleFiles();
    const QStringList paths = writeSources({files[3], files[5]});
    startServer({"--once"}, {"ip", "netns", "exec", nsServer});
    QByteArray out;
    QByteArray err;
    ASSERT_EQ(run(QStringList{"send", "--session", label, "--encrypt"} + paths, &out, &err,
                  {"ip", "netns", "exec", nsClient}),
              0)
        << out.toStdString() << err.toStdString();
    EXPECT_TRUE(out.contains("Joining Session " + label.toUtf8() + "#")) << out.toStdString();
    ASSERT_TRUE(server.waitForFinished(20000));
    EXPECT_EQ(server.exitCode(), 0);
    expectReceived({files[3], files[5]}, "namespaces");
}

} // namespace
