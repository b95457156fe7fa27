// Secure copies between real processes on loopback, each end with a config folder (and so
// an identity and a list of trusted devices) of its own: pairing with the code, a wrong code,
// three wrong codes and the new one, trusted devices without a code, a changed key, each
// policy against senders with and without the extension, a proxy that alters, replays,
// drops or cuts records, and one that strips the server's offer. Whatever is refused or
// attacked, nothing of it is written.
#include "support/endtoend.h"
#include "support/flakyproxy.h"

#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QtEndian>

namespace {

class Secure : public EndToEnd {
protected:
    void SetUp() override
    {
        EndToEnd::SetUp();
        proxyPort = port + 1;
        QDir(dir.path()).mkpath("server-cfg");
        QDir(dir.path()).mkpath("sender-cfg");
        environment.insert("XDG_CONFIG_HOME", dir.filePath("server-cfg"));
    }

    void serve(const QString& policy)
    {
        environment.insert("XDG_CONFIG_HOME", dir.filePath("server-cfg"));
        startServer({"--accept", policy});
        ASSERT_TRUE(waitForServer("this device's fingerprint: ")) << serverOutput.toStdString();
        environment.insert("XDG_CONFIG_HOME", dir.filePath("sender-cfg"));
    }
    // The code the server showed last.
    QString code() const
    {
        const auto all =
            QRegularExpression("Pairing code: (\\d{4}-\\d{4})").globalMatch(QString::fromUtf8(serverOutput));
        QString last;
        for (auto it = all; it.hasNext();)
            last = it.next().captured(1);
        return last;
    }
    QString serverFingerprint() const
    {
        return QRegularExpression("this device's fingerprint: ([0-9a-f ]{29})")
            .match(QString::fromUtf8(serverOutput))
            .captured(1);
    }
    // Sends `files` to the server (or through the proxy); the exit code, out and err.
    int send(const QStringList& extra, const QStringList& files, QByteArray* out, QByteArray* err, bool proxy = false)
    {
        serverOutput.clear();
        const QStringList where{"--host", QStringLiteral("127.0.0.1:%1").arg(proxy ? proxyPort : port)};
        const int exit = run(QStringList{"send"} + where + extra + files, out, err);
        waitForServer("Client disconnected...");
        return exit;
    }
    QStringList written() const { return QDir(dir.filePath("in")).entryList(QDir::Files | QDir::Hidden); }

    int proxyPort = 0;
};

TEST_F(Secure, PairingWithTheCodeThenTrustedWithoutIt)
{
    serve("paired");
    const QString shown = code();
    ASSERT_FALSE(shown.isEmpty()) << serverOutput.toStdString();
    const QString fingerprint = serverFingerprint();
    const QStringList a = writeSources({{"a.txt", "secret"}});
    QByteArray out, err;

    // No code, not trusted: refused in plain words; nothing written.
    EXPECT_EQ(send({}, a, &out, &err), 1);
    EXPECT_TRUE(err.contains("needs the pairing code")) << err.toStdString();
    EXPECT_TRUE(serverOutput.contains("Refused a copy from")) << serverOutput.toStdString();
    // A wrong code.
    QString wrong = shown;
    wrong[0] = wrong[0] == '9' ? '0' : QChar(wrong[0].unicode() + 1);
    EXPECT_EQ(send({"--code", wrong}, a, &out, &err), 1);
    EXPECT_TRUE(err.contains("The pairing code was wrong")) << err.toStdString();
    EXPECT_TRUE(serverOutput.contains("The pairing code was wrong")) << serverOutput.toStdString();
    EXPECT_EQ(written(), QStringList());

    // The right code, typed without its dash: stored, and both ends trust each other.
    EXPECT_EQ(send({"--code", QString(shown).remove('-')}, a, &out, &err), 0) << out.toStdString() << err.toStdString();
    EXPECT_EQ(received("a.txt"), "secret");
    EXPECT_TRUE(out.contains("paired with the code")) << out.toStdString();
    EXPECT_TRUE(out.contains(fingerprint.toUtf8())) << out.toStdString();
    EXPECT_TRUE(serverOutput.contains("is a trusted device now")) << serverOutput.toStdString();

    // Trusted now: no code needed, and `devices` lists the server by its fingerprint.
    writeExisting("a.txt", "old");
    EXPECT_EQ(send({}, a, &out, &err), 0) << out.toStdString() << err.toStdString();
    EXPECT_EQ(received("a.txt"), "secret");
    EXPECT_TRUE(out.contains("(a trusted device;")) << out.toStdString();
    ASSERT_EQ(run({"devices"}, &out, &err), 0) << err.toStdString();
    EXPECT_TRUE(out.startsWith("This device: ")) << out.toStdString();
    EXPECT_TRUE(out.contains("Trusted devices:\n")) << out.toStdString();
    EXPECT_TRUE(out.contains(fingerprint.toUtf8())) << out.toStdString();
    const QString name = QRegularExpression("Trusted devices:\n  ([^\t]+)\t").match(QString::fromUtf8(out)).captured(1);

    // Forgotten on the sender: it needs the code again.
    EXPECT_EQ(run({"devices", "forget", "no such device"}, &out, &err), 1);
    ASSERT_EQ(run({"devices", "forget", name}, &out, &err), 0) << err.toStdString();
    EXPECT_EQ(send({}, a, &out, &err), 0) << "the server still trusts the sender" << err.toStdString();
    EXPECT_TRUE(out.contains("not authenticated")) << out.toStdString();
}

TEST_F(Secure, ThreeWrongCodesMakeANewOne)
{
    serve("paired");
    const QString first = code();
    const QStringList a = writeSources({{"a.txt", "abc"}});
    QByteArray out, err;
    for (int attempt = 1; attempt <= 3; ++attempt) {
        QString wrong = first;
        wrong[8] = QChar('0' + (wrong[8].digitValue() + attempt) % 10);
        EXPECT_EQ(send({"--code", wrong}, a, &out, &err), 1) << attempt;
    }
    EXPECT_TRUE(serverOutput.contains("Three wrong pairing codes")) << serverOutput.toStdString();
    const QString renewed = code();
    ASSERT_FALSE(renewed.isEmpty());
    EXPECT_NE(renewed, first);
    EXPECT_EQ(send({"--code", first}, a, &out, &err), 1) << "the old code is spent";
    EXPECT_EQ(written(), QStringList());
    EXPECT_EQ(send({"--code", renewed}, a, &out, &err), 0) << err.toStdString();
    EXPECT_EQ(received("a.txt"), "abc");
}

TEST_F(Secure, EachPolicyAgainstSendersWithAndWithoutTheExtension)
{
    const QStringList a = writeSources({{"a.txt", "abc"}});
    const struct {
        const char* policy;
        bool senderExtension;
        bool stored;
        const char* serverSays;
    } rows[] = {
        {"open", true, true, "not authenticated"},
        {"open", false, true, "Transmission Complete!"},
        {"paired", true, false, "needs the pairing code"},
        {"paired", false, false, "without secure copies"},
        {"trusted", true, false, "accepts trusted devices only"},
        {"trusted", false, false, "without secure copies"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.policy) + (row.senderExtension ? ", extended sender" : ", older sender"));
        QDir(dir.filePath("in")).removeRecursively();
        QDir(dir.path()).mkpath("in");
        serve(row.policy);
        environment.insert("FERROWARDEN_EXTENSION", row.senderExtension ? "on" : "off");
        QByteArray out, err;
        const int exit = send({}, a, &out, &err);
        // A sender of an earlier build never waits for answers: a copy this small may be
        // through before the server refuses it, so only the extended sender's exit is sure.
        if (row.senderExtension || row.stored) {
            EXPECT_EQ(exit, row.stored ? 0 : 1) << out.toStdString() << err.toStdString();
        }
        EXPECT_EQ(written(), row.stored ? QStringList{"a.txt"} : QStringList());
        EXPECT_TRUE(serverOutput.contains(row.serverSays)) << serverOutput.toStdString();
        environment.remove("FERROWARDEN_EXTENSION");
        server.terminate();
        server.waitForFinished(5000);
    }
}

TEST_F(Secure, AChangedKeyIsRefusedWithBothFingerprints)
{
    serve("paired");
    const QString shown = code();
    const QStringList a = writeSources({{"a.txt", "abc"}});
    QByteArray out, err;
    ASSERT_EQ(send({"--code", shown}, a, &out, &err), 0) << err.toStdString();
    QFile::remove(dir.filePath("in/a.txt"));
    // The sender set up anew: same name, another key.
    QDir(dir.filePath("sender-cfg/ferrowarden")).removeRecursively();
    EXPECT_EQ(send({"--code", shown}, a, &out, &err), 1);
    EXPECT_TRUE(serverOutput.contains("is trusted here with another key")) << serverOutput.toStdString();
    EXPECT_EQ(QRegularExpression("[0-9a-f]{4}( [0-9a-f]{4}){5}").globalMatch(QString::fromUtf8(err)).hasNext(), true)
        << err.toStdString();
    EXPECT_EQ(written(), QStringList());
}

TEST_F(Secure, AnAttackedStreamEndsTheCopyAndNothingOfTheFileIsStored)
{
    FlakyProxy proxy(std::uint16_t(proxyPort), std::uint16_t(port), 5);
    ASSERT_TRUE(proxy.Listening());
    const SourceFile big{"big.bin", RandomBytes(600000, 31)};
    const QStringList files = writeSources({{"first.txt", "whole"}, big});
    using Edit = FlakyProxy::Edit;
    // Messages from the sender: 0 hello, 1 confirm, then sealed records; 40 is a data packet.
    const struct {
        const char* what;
        Edit edit;
    } rows[] = {
        {"altered",
         [](int i, const QByteArray& m) {
             QByteArray c = m;
             if (i == 40)
                 c[30] = char(c[30] ^ 1);
             return std::vector{c};
         }},
        {"replayed",
         [](int i, const QByteArray& m) {
             return i == 40 ? std::vector{m, m} : std::vector{m};
         }},
        {"dropped", [](int i, const QByteArray& m) { return i == 40 ? std::vector<QByteArray>{} : std::vector{m}; }},
        {"reordered",
         [held = QByteArray()](int i, const QByteArray& m) mutable {
             if (i == 40) {
                 held = m;
                 return std::vector<QByteArray>{};
             }
             return i == 41 ? std::vector{m, held} : std::vector{m};
         }},
        {"cut short",
         [](int i, const QByteArray& m) { return i == 40 ? std::vector{m.left(m.size() - 5)} : std::vector{m}; }},
    };
    serve("open");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        writeExisting("big.bin", "good old contents");
        proxy.EditMessages(row.edit);
        QByteArray out, err;
        // A sender that gives up at once: how the attacked copy ends is the point.
        EXPECT_EQ(send({"--retry", "0"}, files, &out, &err, true), 1) << out.toStdString();
        EXPECT_TRUE(serverOutput.contains("The secure copy from")) << serverOutput.toStdString();
        EXPECT_EQ(received("big.bin"), "good old contents");
        EXPECT_EQ(temporaryFiles(), QStringList());
    }
    proxy.EditMessages({});
    expectAGoodCopy("after the attacks");
}

TEST_F(Secure, ASenderWithACodeRefusesAServerWhoseOfferWasStripped)
{
    FlakyProxy proxy(std::uint16_t(proxyPort), std::uint16_t(port), 6);
    ASSERT_TRUE(proxy.Listening());
    proxy.StripOffer(true);
    serve("paired");
    const QStringList a = writeSources({{"a.txt", "abc"}});
    QByteArray out, err;
    EXPECT_EQ(send({"--code", code()}, a, &out, &err, true), 1);
    EXPECT_TRUE(err.contains("cannot take the pairing code")) << err.toStdString();
    EXPECT_EQ(written(), QStringList());
}

} // namespace
