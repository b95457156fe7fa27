#include "settings/settings.h"
#include "settings/settingsregistry.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

namespace {

const QString kKey = QStringLiteral("Software\\Brindlecraft\\Ferrowarden");

class SettingsTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    Registry registry{dir.filePath(QStringLiteral("registry.json"))};
    SettingsRegistry store{registry};

    void stored(const char* name, const char* text)
    {
        registry.writeText(kKey, QString::fromLatin1(name), QString::fromUtf8(text));
    }
};

TEST_F(SettingsTest, DefaultsWithAnEmptyStore)
{
    const Settings s = LoadSettings(store);
    EXPECT_FALSE(s.ExtFileList);
    EXPECT_TRUE(s.ShowMessages);
    EXPECT_TRUE(s.AutoSearch);
    EXPECT_FALSE(s.Encrypt);
    EXPECT_EQ(s.Blocksize, 2048);
    EXPECT_EQ(s.Transport, trTCPIP);
    EXPECT_TRUE(s.CreateLog);
    EXPECT_TRUE(s.AppendLogData);
    EXPECT_EQ(s.LogFile, "fwd.txt");
}

TEST_F(SettingsTest, TransportRule)
{
    const struct {
        const char* text;
        TTransport expected;
    } rows[] = {{"IPX", trIPX},     {"ipx", trTCPIP},    {"IPX ", trTCPIP},
                {"TCPIP", trTCPIP}, {"TCP/IP", trTCPIP}, {"", trTCPIP}};
    for (const auto& row : rows) {
        stored("Protocol", row.text);
        EXPECT_EQ(LoadSettings(store).Transport, row.expected) << '"' << row.text << '"';
    }
}

TEST_F(SettingsTest, LogFileFallback)
{
    const struct {
        const char* text;
        const char* expected;
    } rows[] = {{"", "fwd.txt"}, {" ", "fwd.txt"}, {"  ", "  "}, {"/var/log/x.txt", "/var/log/x.txt"}};
    for (const auto& row : rows) {
        stored("LogFile", row.text);
        EXPECT_EQ(LoadSettings(store).LogFile, QString::fromUtf8(row.expected)) << '"' << row.text << '"';
    }
}

TEST_F(SettingsTest, FlagAndNumberReadings)
{
    stored("ExtFileList", "2");
    stored("ShowMessages", "yes");
    stored("Encrypt", "yes");
    stored("AutoSearch", "0");
    stored("CreateLog", "");
    EXPECT_TRUE(store.ReadFlag("Ferrowarden", "ExtFileList", false));
    const Settings s = LoadSettings(store);
    EXPECT_TRUE(s.ExtFileList);
    EXPECT_TRUE(s.ShowMessages); // not an integer: its default
    EXPECT_FALSE(s.Encrypt);     // likewise
    EXPECT_FALSE(s.AutoSearch);
    EXPECT_TRUE(s.CreateLog);

    const struct {
        const char* text;
        qint16 expected;
    } blocksizes[] = {{"1024", 1024}, {"576", 576}, {"1", 1},       {"2048", 2048},  {"abc", 2048},
                      {"0", 2048},    {"-5", 2048}, {"2049", 2048}, {"67584", 2048}, {"99999999999", 2048}};
    for (const auto& row : blocksizes) {
        stored("Blocksize", row.text);
        EXPECT_EQ(LoadSettings(store).Blocksize, row.expected) << '"' << row.text << '"';
    }
}

TEST_F(SettingsTest, EncodingsAndReload)
{
    store.StoreFlag("Ferrowarden", "Encrypt", true);
    store.StoreFlag("Ferrowarden", "CreateLog", false);
    store.StoreNumber("Ferrowarden", "Blocksize", 576);
    store.StoreNumber("Ferrowarden", "Other", -42);
    store.StoreText("Ferrowarden", "Protocol", TransportText(trIPX));
    store.StoreText("Ferrowarden", "LogFile", "logs/ferro log.txt");

    EXPECT_EQ(registry.readText(kKey, "Encrypt"), "1");
    EXPECT_EQ(registry.readText(kKey, "CreateLog"), "0");
    EXPECT_EQ(registry.readText(kKey, "Blocksize"), "576");
    EXPECT_EQ(registry.readText(kKey, "Other"), "-42");
    EXPECT_EQ(registry.valueType(kKey, "Encrypt"), Registry::ValueType::Text);

    Registry reopened(registry.filePath());
    const Settings s = LoadSettings(SettingsRegistry(reopened));
    EXPECT_TRUE(s.Encrypt);
    EXPECT_FALSE(s.CreateLog);
    EXPECT_EQ(s.Blocksize, 576);
    EXPECT_EQ(s.Transport, trIPX);
    EXPECT_EQ(s.LogFile, "logs/ferro log.txt");
    EXPECT_EQ(TransportText(trTCPIP), "TCP/IP");
}

TEST_F(SettingsTest, ValueOfTheWrongTypeLoadsAsItsDefault)
{
    registry.writeNumber(kKey, "ShowMessages", 0);
    registry.writeNumber(kKey, "LogFile", 7);
    stored("Encrypt", "1");
    const Settings s = LoadSettings(store);
    EXPECT_TRUE(s.ShowMessages);
    EXPECT_EQ(s.LogFile, "fwd.txt");
    EXPECT_TRUE(s.Encrypt); // the other values still load
}

TEST(SettingsStore, UnwritableStoreRunsWithTheDefaultsAndSaysSo)
{
    Registry registry(QStringLiteral("/proc/ferrowarden-no-such-dir/registry.json"));
    SettingsRegistry store(registry);
    const Settings s = LoadSettings(store);
    EXPECT_EQ(s.Blocksize, 2048);
    EXPECT_EQ(s.LogFile, "fwd.txt");
    ASSERT_EQ(store.Problems().size(), 1);
    EXPECT_TRUE(store.Problems().first().startsWith(QStringLiteral("Settings cannot be stored: ")))
        << store.Problems().first().toStdString();
}

} // namespace
