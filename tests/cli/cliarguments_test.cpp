#include "cli/cliarguments.h"

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

    EXPECT_EQ(parsed({"list", "--host", "127.0.0.1:4000"}).host, "127.0.0.1:4000");

    const CliArguments send = parsed({"send", "--session", "S", "--block-size", "576", "--encrypt",
                                      "a b.txt", "c"});
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
    };
    for (const QStringList& arguments : rows) {
        const auto result = ParseCliArguments(arguments);
        ASSERT_TRUE(std::holds_alternative<UsageError>(result)) << arguments.join(' ').toStdString();
        EXPECT_FALSE(std::get<UsageError>(result).message.isEmpty());
    }
}

} // namespace
