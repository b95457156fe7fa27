// The identity key on disk (made once, private, read back the same, refused when damaged or
// readable by others) and the list of trusted devices (add, check, forget, last seen, a
// known name with another key).
#include "platform/apperror.h"
#include "secure/identity.h"
#include "secure/trusteddevices.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <sys/stat.h>

namespace {

TEST(IdentityStore, MadeOnceKeptPrivateAndReadBack)
{
    QTemporaryDir folder;
    const QString path = folder.path() + "/ferrowarden/identity.key";
    const Identity made = Identity::LoadOrCreate(path);
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    const Identity again = Identity::LoadOrCreate(path);
    EXPECT_EQ(again.publicKey(), made.publicKey());
    EXPECT_NE(Identity::Generate().publicKey(), made.publicKey());

    const QByteArray text = "a signed text";
    const auto signature =
        again.sign(reinterpret_cast<const std::uint8_t*>(text.constData()), std::size_t(text.size()));
    EXPECT_TRUE(Identity::Verify(made.publicKey(), signature, reinterpret_cast<const std::uint8_t*>(text.constData()),
                                 std::size_t(text.size())));
    EXPECT_FALSE(Identity::Verify(Identity::Generate().publicKey(), signature,
                                  reinterpret_cast<const std::uint8_t*>(text.constData()), std::size_t(text.size())));

    EXPECT_TRUE(QRegularExpression("^([0-9a-f]{4} ){5}[0-9a-f]{4}$").match(made.fingerprint()).hasMatch())
        << made.fingerprint().toStdString();
    EXPECT_EQ(made.fingerprint(), again.fingerprint());
}

TEST(IdentityStore, RefusesADamagedOrExposedFile)
{
    QTemporaryDir folder;
    const QString path = folder.path() + "/identity.key";
    Identity::LoadOrCreate(path);
    const struct {
        const char* what;
        QByteArray content;
        QFileDevice::Permissions permissions;
        const char* words;
    } rows[] = {
        {"readable by others",
         {},
         QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther,
         "read by other"},
        {"cut short", "ferrowarden-identity ed25519\n0011", QFileDevice::ReadOwner | QFileDevice::WriteOwner,
         "damaged"},
        {"another kind", "something else\n", QFileDevice::ReadOwner | QFileDevice::WriteOwner, "damaged"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        QTemporaryDir other;
        const QString copy = other.path() + "/identity.key";
        ASSERT_TRUE(QFile::copy(path, copy));
        if (!row.content.isEmpty()) {
            QFile file(copy);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(row.content);
        }
        QFile::setPermissions(copy, row.permissions);
        try {
            Identity::LoadOrCreate(copy);
            ADD_FAILURE() << "loaded";
        } catch (const AppError& error) {
            EXPECT_TRUE(error.message().contains(row.words)) << error.message().toStdString();
        }
    }
}

TEST(TrustedDevicesStore, AddCheckForget)
{
    QTemporaryDir folder;
    TrustedDevices devices(folder.path() + "/trusted-devices.json");
    const Identity alpha = Identity::Generate();
    const Identity beta = Identity::Generate();
    EXPECT_TRUE(devices.list().isEmpty());
    EXPECT_EQ(devices.check("alpha", alpha.publicKey()).standing, TrustedDevices::Standing::Unknown);

    devices.add("alpha", alpha.publicKey());
    devices.add("beta", beta.publicKey());
    // Another store object on the same file sees the same list (the command line and the window).
    TrustedDevices reread(devices.filePath());
    ASSERT_EQ(reread.list().size(), 2);
    EXPECT_EQ(reread.list()[0].name, "alpha");
    EXPECT_LE(reread.list()[0].lastSeen.secsTo(QDateTime::currentDateTimeUtc()), 5);

    EXPECT_EQ(reread.check("alpha", alpha.publicKey()).standing, TrustedDevices::Standing::Trusted);
    EXPECT_EQ(reread.check("ALPHA", alpha.publicKey()).standing, TrustedDevices::Standing::Trusted);
    // A renamed device is still known by its key.
    EXPECT_EQ(reread.check("gamma", alpha.publicKey()).stored.name, "alpha");
    // A known name with another key: refused, never trusted, and never silently replaced.
    const Identity impostor = Identity::Generate();
    const auto changed = reread.check("Alpha", impostor.publicKey());
    EXPECT_EQ(changed.standing, TrustedDevices::Standing::KeyChanged);
    EXPECT_EQ(changed.stored.key, alpha.publicKey());
    EXPECT_THROW(reread.add("alpha", impostor.publicKey()), AppError);
    EXPECT_EQ(reread.check("alpha", alpha.publicKey()).standing, TrustedDevices::Standing::Trusted);

    EXPECT_FALSE(reread.forget("nobody"));
    EXPECT_TRUE(reread.forget("Alpha"));
    EXPECT_EQ(devices.check("alpha", impostor.publicKey()).standing, TrustedDevices::Standing::Unknown);
    ASSERT_EQ(devices.list().size(), 1);
    // Pairing again under a new name renames the entry.
    devices.add("beta-laptop", beta.publicKey());
    ASSERT_EQ(devices.list().size(), 1);
    EXPECT_EQ(devices.list()[0].name, "beta-laptop");
}

TEST(TrustedDevicesStore, LastSeenAndADamagedFile)
{
    QTemporaryDir folder;
    const QString path = folder.path() + "/trusted-devices.json";
    TrustedDevices devices(path);
    const Identity alpha = Identity::Generate();
    devices.add("alpha", alpha.publicKey());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QByteArray json = file.readAll();
    file.close();
    // Backdate the entry, then see it: last seen moves to now.
    QByteArray old = json;
    old.replace(QDateTime::currentDateTimeUtc().toString("yyyy").toUtf8() + "-", "2001-");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(old);
    file.close();
    EXPECT_EQ(devices.list()[0].lastSeen.date().year(), 2001);
    devices.seen(alpha.publicKey());
    EXPECT_EQ(devices.list()[0].lastSeen.date().year(), QDate::currentDate().year());

    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("{ not json");
    file.close();
    EXPECT_THROW(devices.list(), AppError);
    EXPECT_THROW(devices.add("beta", Identity::Generate().publicKey()), AppError)
        << "a damaged list is never overwritten";
}

} // namespace
