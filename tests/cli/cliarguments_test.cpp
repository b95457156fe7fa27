#include "cli/cliarguments.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

using Command = CliArguments::Command;

CliArguments parsed(const QStringList& arguments)
{
    const auto result = ParseCliArguments(arguments);
    EXPECT_TRUE(std::holds_alternative<CliArguments>(result))
        << arguments.join(' ').toStdString() << ": "
        << (std::holds_alternative<UsageError>(result) ? std::get<UsageError>(result).message.toStdString() : "");
    return std::holds_alternative<CliArguments>(result) ? std::get<CliArguments>(result) : CliArguments{};
}

TEST(CliArguments, Commands)
{
    EXPECT_EQ(parsed({}).command, Command::Desktop);
    EXPECT_EQ(parsed({"--help"}).command, Command::Help);
    EXPECT_EQ(parsed({"--version"}).command, Command::Version);

    const CliArguments serve = parsed({"serve", "/tmp/in", "--label", "Lab #1", "--once"});
    EXPECT_EQ(serve.command, Command::Serve);
    EXPECT_EQ(serve.directory, "/tmp/in");
    EXPECT_EQ(serve.label, "Lab #1");
    EXPECT_TRUE(serve.once);

    const CliArguments list = parsed({"list", "--host", "127.0.0.1:4000", "--wait", "30"});
    EXPECT_EQ(list.host, "127.0.0.1");
    EXPECT_EQ(list.hostPort, std::optional<quint16>(4000));
    EXPECT_EQ(list.waitSeconds, 30);
    EXPECT_EQ(parsed({"serve", "d", "--mkdir"}).makeDirectory, true);

    const CliArguments send = parsed({"send", "--session", "S", "--block-size", "576", "--encrypt", "a b.txt", "c"});
    EXPECT_EQ(send.command, Command::Send);
    EXPECT_EQ(send.label, "S");
    EXPECT_EQ(send.blockSize, std::optional<qint16>(576));
    EXPECT_EQ(send.encrypt, std::optional<bool>(true));
    EXPECT_EQ(send.files, (QStringList{"a b.txt", "c"}));
    EXPECT_EQ(parsed({"send", "--no-encrypt", "f"}).encrypt, std::optional<bool>(false));
    EXPECT_EQ(parsed({"send", "f"}).encrypt, std::nullopt);
}

TEST(CliArguments, UsageErrors)
{
    const QStringList rows[] = {
        {"bogus"},
        {"serve"},
        {"serve", "a", "b"},
        {"serve", "d", "--frobnicate"},
        {"list", "x"},
        {"send"},
        {"send", "--block-size", "0", "f"},
        {"send", "--block-size", "2049", "f"},
        {"send", "--block-size", "many", "f"},
        {"send", "--encrypt", "--no-encrypt", "f"},
        {"send", "--session"},
        {"--bogus"},
        {"-v"},
        {"-platform"}, // a window-system option without its value
        {"stray"},
        {"help", "bogus"},
        {"list", "--host", "127.0.0.1:abc"},
        {"send", "--host", "", "f"},
        {"send", "--wait", "soon", "f"},
        {"list", "--wait", "-1"},
    };
    for (const QStringList& arguments : rows) {
        const auto result = ParseCliArguments(arguments);
        ASSERT_TRUE(std::holds_alternative<UsageError>(result)) << arguments.join(' ').toStdString();
        EXPECT_FALSE(std::get<UsageError>(result).message.isEmpty());
    }
}

TEST(CliArguments, HelpOfEachCommand)
{
    const struct {
        QStringList arguments;
        const char* topic;
    } rows[] = {
        {{"-h"}, ""},
        {{"help"}, ""},
        {{"help", "send"}, "send"},
        {{"serve", "--help"}, "serve"},
        {{"list", "-h"}, "list"},
        {{"send", "--help"}, "send"},
        {{"send", "--help", "--block-size", "9999"}, "send"}, // help wins over the values
    };
    for (const auto& row : rows) {
        const CliArguments arguments = parsed(row.arguments);
        EXPECT_EQ(arguments.command, Command::Help) << row.arguments.join(' ').toStdString();
        EXPECT_EQ(arguments.helpTopic, row.topic) << row.arguments.join(' ').toStdString();
    }
}

TEST(CliArguments, WindowSystemOptionsStartTheDesktop)
{
    for (const QStringList& arguments : {QStringList{"-platform", "offscreen"}, QStringList{"--style=fusion"},
                                         QStringList{"-reverse", "-qwindowtitle", "Copy"}}) {
        const CliArguments result = parsed(arguments);
        EXPECT_EQ(result.command, Command::Desktop) << arguments.join(' ').toStdString();
        EXPECT_EQ(result.passThrough, arguments);
    }
}

// Paths of files and folders open the window with them chosen; a command word stays a
// command, and a path that names nothing after a real one is a mistake.
TEST(CliArguments, FilesAndFoldersStartTheDesktopWithThemChosen)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString file = dir.filePath("a.txt");
    QFile(file).open(QIODevice::WriteOnly);
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    QFile(dir.filePath("send")).open(QIODevice::WriteOnly); // a file named like a command

    const CliArguments chosen = parsed({file, "-style", "fusion", dir.path()});
    EXPECT_EQ(chosen.command, Command::Desktop);
    EXPECT_EQ(chosen.files, (QStringList{file, dir.path()}));
    EXPECT_EQ(chosen.passThrough, (QStringList{"-style", "fusion"}));
    EXPECT_EQ(parsed({"a.txt"}).files, QStringList{"a.txt"});

    const auto command = ParseCliArguments({"send"});
    ASSERT_TRUE(std::holds_alternative<UsageError>(command));
    EXPECT_EQ(std::get<UsageError>(command).command, "send");

    const auto missing = ParseCliArguments({file, dir.filePath("gone.txt")});
    ASSERT_TRUE(std::holds_alternative<UsageError>(missing));
    EXPECT_TRUE(std::get<UsageError>(missing).message.contains("no such file or folder"));
    EXPECT_TRUE(std::holds_alternative<UsageError>(ParseCliArguments({dir.filePath("gone.txt")})));
}

TEST(CliArguments, HostAndPort)
{
    const struct {
        const char* text;
        const char* name; // nullptr: refused
        std::optional<quint16> port;
    } rows[] = {
        {"lab-pc", "lab-pc", std::nullopt},      {"192.168.1.20:4000", "192.168.1.20", 4000},
        {"lab-pc:65535", "lab-pc", 65535},       {"lab-pc:0", nullptr, std::nullopt},
        {"lab-pc:65536", nullptr, std::nullopt}, {"lab-pc:", nullptr, std::nullopt},
        {":4000", nullptr, std::nullopt},        {"::1", nullptr, std::nullopt},
        {" lab-pc", nullptr, std::nullopt},
    };
    for (const auto& row : rows) {
        const auto result = ParseHostArgument(row.text);
        if (!row.name) {
            ASSERT_TRUE(std::holds_alternative<UsageError>(result)) << row.text;
            EXPECT_EQ(
                std::get<UsageError>(result).message,
                QStringLiteral("--host \"%1\": give HOST or HOST:PORT, with a port from 1 to 65535").arg(row.text));
            continue;
        }
        ASSERT_TRUE(std::holds_alternative<HostArgument>(result)) << row.text;
        EXPECT_EQ(std::get<HostArgument>(result).name, row.name);
        EXPECT_EQ(std::get<HostArgument>(result).port, row.port) << row.text;
    }
}

} // namespace
