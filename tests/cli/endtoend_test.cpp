// Two ferrowarden processes copying files on loopback (and, where permitted, between two
// network namespaces), compared byte for byte.
#include "support/endtoend.h"
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
    } rows[] = {{2048, false, true}, {1024, true, true},  {576, false, false},
                {576, true, true},   {2048, true, false}, {1024, false, true}};
    for (const auto& row : rows) {
        QDir(dir.filePath("in")).removeRecursively();
        QDir(dir.path()).mkpath("in");
        QStringList arguments{"send",
                              "--session",
                              label,
                              "--block-size",
                              QString::number(row.blockSize),
                              row.encrypt ? "--encrypt" : "--no-encrypt"};
        arguments << "--host"
                  << (row.withPort ? QStringLiteral("127.0.0.1:%1").arg(port) : QStringLiteral("127.0.0.1"));
        arguments << paths;
        QByteArray out;
        QByteArray err;
        const std::string context =
            "block size " + std::to_string(row.blockSize) + (row.encrypt ? ", encrypted" : ", plain");
        ASSERT_EQ(run(arguments, &out, &err), 0) << context << "\n" << out.toStdString() << err.toStdString();
        EXPECT_TRUE(out.contains("Transmission complete!")) << out.toStdString();
        EXPECT_TRUE(out.contains(QStringLiteral("Protocol: TCP/IP; BlockSize: %1").arg(row.blockSize).toUtf8()));
        // Both ends have secure copies: the records encrypt, and the older scrambling stays off.
        EXPECT_FALSE(out.contains("; Using Encryption"));
        EXPECT_EQ(out.contains("the older scrambling (--encrypt) is left off"), row.encrypt) << out.toStdString();

        // The server has taken everything once the client has gone.
        QByteArray seen;
        while (!seen.contains("Client disconnected...")) {
            ASSERT_TRUE(server.waitForReadyRead(20000)) << context << "\n" << seen.toStdString();
            seen += server.readAllStandardOutput();
        }
        // Each file completes once: in the extension's version 2 a file is put in place at
        // its end, after the empty packet that ends a file whose size is a multiple of the
        // block size.
        EXPECT_EQ(seen.count("Transmission Complete!"), qsizetype(files.size())) << context;
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
    for (const char* line :
         {"[New Entry]\r\n", "\r\nServer started succesfully!", "\r\nClient has connected...",
          "\r\nFilename: five thousand.bin  255", "\r\nTransmission Complete!", "\r\nClient disconnected..."})
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
        EXPECT_TRUE(err.mid(err.indexOf('\n') + 1).startsWith("ferrowarden: no session found")) << row.what << "\n"
                                                                                                << err.toStdString();

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

TEST_F(EndToEnd, ABadDiscoveryPortIsToldAndNothingStarts)
{
    writeSources({{"a.txt", "abc"}});
    for (const char* value : {"abc", "0", "70000", "", "-1"}) {
        environment.insert("FERROWARDEN_DISCOVERY_PORT", QString::fromLatin1(value));
        for (const QStringList& command : {QStringList{"list"}, QStringList{"serve", dir.filePath("in")},
                                           QStringList{"send", dir.filePath("out/a.txt")}}) {
            QByteArray out, err;
            EXPECT_EQ(run(command, &out, &err), 2) << value << " " << command.first().toStdString();
            EXPECT_TRUE(err.contains(QByteArray("FERROWARDEN_DISCOVERY_PORT is \"") + value
                                     + "\"; it must be a port number from 1 to 65535"))
                << err.toStdString();
            EXPECT_EQ(out, "") << "nothing searched or hosted";
        }
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
