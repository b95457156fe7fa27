#pragma once

// The fixture of the tests that run ferrowarden processes: a directory of their own with
// "in" (the receive directory), "out" (the files to send) and "cfg" (the settings), a
// discovery port of their own, a server process and short-lived client runs.

#include "support/testdata.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <unistd.h>

#include <string>
#include <vector>

struct SourceFile {
    QString name;
    QByteArray bytes;
};

inline std::vector<SourceFile> sampleFiles()
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
        environment.insert("XDG_DATA_HOME", dir.filePath("data"));
        environment.insert("FERROWARDEN_DISCOVERY_PORT", QString::number(port));
    }

    void TearDown() override
    {
        if (sender.state() != QProcess::NotRunning) {
            sender.kill();
            sender.waitForFinished(5000);
        }
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
            QDir().mkpath(QFileInfo(out.fileName()).path());
            EXPECT_TRUE(out.open(QIODevice::WriteOnly));
            out.write(file.bytes);
            paths << out.fileName();
        }
        return paths;
    }

    // Reads the server's stdout into serverOutput until it holds `text`; false after
    // `timeoutMs` or when the server ends.
    bool waitForServer(const QByteArray& text, int timeoutMs = 10000)
    {
        QElapsedTimer clock;
        clock.start();
        while (!serverOutput.contains(text)) {
            const int left = timeoutMs - int(clock.elapsed());
            if (left <= 0
                || (!server.waitForReadyRead(left) && server.state() == QProcess::NotRunning
                    && server.bytesAvailable() == 0))
                return serverOutput.contains(text);
            serverOutput += server.readAllStandardOutput();
        }
        return true;
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
        EXPECT_EQ(QDir(dir.filePath("in")).entryList(QDir::Files | QDir::Hidden).size(), qsizetype(files.size()))
            << context;
    }

    // Starts `ferrowarden send ARGS` without waiting for its end.
    void startSenderWith(const QStringList& arguments, const QStringList& wrapper = {})
    {
        sender.setProcessEnvironment(environment);
        sender.setWorkingDirectory(dir.path());
        QStringList all = wrapper;
        all << FERROWARDEN_BIN << "send" << arguments;
        sender.start(all.takeFirst(), all);
        ASSERT_TRUE(sender.waitForStarted());
    }

    void writeExisting(const QString& name, const QByteArray& bytes)
    {
        QFile file(dir.filePath("in/" + name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }

    QByteArray received(const QString& name) const
    {
        QFile file(dir.filePath("in/" + name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }

    QStringList temporaryFiles() const
    {
        return QDir(dir.filePath("in")).entryList({".ferrowarden-*"}, QDir::Files | QDir::Hidden);
    }

    // A copy straight into the server after a fault: it must work as ever.
    void expectAGoodCopy(const std::string& context, const QStringList& wrapper = {}, const QStringList& target = {})
    {
        const SourceFile after{"after.bin", RandomBytes(300000, 77)};
        const QStringList paths = writeSources({after});
        serverOutput.clear();
        QByteArray out, err;
        const QStringList where =
            target.isEmpty() ? QStringList{"--host", QStringLiteral("127.0.0.1:%1").arg(port)} : target;
        ASSERT_EQ(run(QStringList{"send"} + where + paths, &out, &err, wrapper), 0)
            << context << "\n"
            << out.toStdString() << err.toStdString();
        // The sender is done when its data is on the way; the server, once the client left.
        ASSERT_TRUE(waitForServer("Client disconnected...")) << context << serverOutput.toStdString();
        EXPECT_EQ(received("after.bin"), after.bytes) << context;
    }

    QTemporaryDir dir;
    QProcessEnvironment environment;
    QProcess server;
    QProcess sender;
    QByteArray serverOutput;
    QString label = QStringLiteral("E2E %1").arg(::getpid());
    int port = 0;
};

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
        vethS = "fws" + tag.right(8);
        vethC = "fwc" + tag.right(8);
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

    static bool sh(const QString& command) { return QProcess::execute("sh", {"-c", command + " 2>/dev/null"}) == 0; }

    QString nsServer, nsClient, vethS, vethC, skipReason;
    bool ok = false;
};
