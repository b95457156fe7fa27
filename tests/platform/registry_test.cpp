#include "platform/apperror.h"
#include "platform/registry/registry.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace {

class RegistryTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString path() const { return dir.filePath(QStringLiteral("sub/registry.json")); }
};

TEST_F(RegistryTest, ValuesSurviveANewInstanceAndNamesIgnoreCase)
{
    {
        Registry registry(path());
        registry.writeText("Software\\Brindlecraft\\Ferrowarden", "LogFile", "my log.txt");
        registry.writeNumber("Software\\Brindlecraft\\Ferrowarden\\MainWindow", "Left", -12);
    }
    Registry reloaded(path());
    EXPECT_EQ(reloaded.readText("software\\BRINDLECRAFT\\ferrowarden", "logfile"), "my log.txt");
    EXPECT_EQ(reloaded.readNumber("Software\\Brindlecraft\\Ferrowarden\\mainwindow", "LEFT"), -12);
    EXPECT_TRUE(reloaded.keyExists("SOFTWARE\\brindlecraft"));
    EXPECT_FALSE(reloaded.keyExists("Software\\Other"));

    // Rewriting with other case keeps one value, not two.
    reloaded.writeText("SOFTWARE\\Brindlecraft\\Ferrowarden", "LOGFILE", "other.txt");
    EXPECT_EQ(reloaded.readText("Software\\Brindlecraft\\Ferrowarden", "LogFile"), "other.txt");
}

TEST_F(RegistryTest, MissingKeysAndValuesReadAsAbsent)
{
    Registry registry(path());
    EXPECT_EQ(registry.readText("Software\\Nothing", "x"), std::nullopt);
    registry.createKey("Software\\Brindlecraft");
    EXPECT_EQ(registry.readNumber("Software\\Brindlecraft", "x"), std::nullopt);
}

TEST_F(RegistryTest, WrongTypeFailsWithAnErrorNamingTheValue)
{
    Registry registry(path());
    registry.writeNumber("K", "Blocksize", 2048);
    registry.writeText("K", "Protocol", "IPX");
    try {
        (void)registry.readText("K", "Blocksize");
        FAIL() << "no error";
    } catch (const AppError& error) {
        EXPECT_TRUE(error.message().contains("Blocksize")) << error.message().toStdString();
    }
    EXPECT_THROW((void)registry.readNumber("K", "Protocol"), AppError);
    EXPECT_EQ(registry.valueType("K", "Blocksize"), Registry::ValueType::Number);
}

TEST_F(RegistryTest, WriteReplacesTheFileAtomically)
{
    Registry registry(path());
    registry.writeText("K", "A", "1");
    // No temporary file is left beside the store, and a damaged store reads as empty
    // rather than failing (it is kept aside, see below).
    const QStringList files = QDir(dir.filePath("sub")).entryList(QDir::Files);
    EXPECT_EQ(files.filter(QStringLiteral("registry.json")).size(), 1) << files.join(' ').toStdString();
    QFile file(path());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("{ not json");
    file.close();
    EXPECT_EQ(registry.readText("K", "A"), std::nullopt);
    registry.writeText("K", "A", "2");
    EXPECT_EQ(registry.readText("K", "A"), "2");
}

TEST_F(RegistryTest, DamagedStoreIsKeptAsideAndNeverOverwritten)
{
    const QByteArray rows[] = {"{ bad", "", "[1, 2]", "\xff\xfe\x00garbage", "{\"keys\": {"};
    for (const QByteArray& damaged : rows) {
        QDir(dir.filePath("sub")).removeRecursively();
        QDir().mkpath(dir.filePath("sub"));
        QFile file(path());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(damaged);
        file.close();

        Registry registry(path());
        EXPECT_EQ(registry.readText("K", "A"), std::nullopt) << damaged.constData();
        EXPECT_EQ(registry.readText("K", "B"), std::nullopt) << damaged.constData();
        const QStringList aside =
            QDir(dir.filePath("sub")).entryList({QStringLiteral("registry.json.damaged-*")}, QDir::Files);
        ASSERT_EQ(aside.size(), 1) << damaged.constData();
        QFile kept(dir.filePath("sub/" + aside.first()));
        ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
        EXPECT_EQ(kept.readAll(), damaged);
        ASSERT_EQ(registry.Problems().size(), 1) << "told once, however often it is read";
        EXPECT_TRUE(registry.Problems().first().contains(aside.first())) << registry.Problems().first().toStdString();

        registry.writeText("K", "A", "new");
        EXPECT_EQ(Registry(path()).readText("K", "A"), "new");
        EXPECT_EQ(registry.Problems().size(), 1);
    }
}

TEST_F(RegistryTest, UnwritableStoreRaisesNamingTheValue)
{
    Registry registry(QStringLiteral("/proc/ferrowarden-no-such-dir/registry.json"));
    try {
        registry.writeText("K", "Encrypt", "1");
        FAIL() << "no error";
    } catch (const AppError& error) {
        EXPECT_TRUE(error.message().contains("Encrypt")) << error.message().toStdString();
    }
}

TEST(RegistryDefault, FollowsXdgConfigHome)
{
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", home.path().toUtf8());
    EXPECT_TRUE(Registry::defaultFilePath().startsWith(home.path()));
}

} // namespace
