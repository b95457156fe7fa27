// Sealed records with both ciphers: what is sealed opens once, in place, and every record
// altered, replayed, reordered, dropped, cut, reflected or sent after a refusal is refused.
#include "secure/recordchannel.h"

#include <QtEndian>

#include <gtest/gtest.h>

#include <sodium.h>

#include <cstring>
#include <functional>

namespace {

struct Pair {
    explicit Pair(RecordCipher cipher)
    {
        randombytes_buf(up.data(), up.size());
        randombytes_buf(down.data(), down.size());
        client = std::make_unique<RecordChannel>(cipher, RecordChannel::Side::Client, up, down);
        server = std::make_unique<RecordChannel>(cipher, RecordChannel::Side::Server, down, up);
    }
    Bytes32 up{};
    Bytes32 down{};
    std::unique_ptr<RecordChannel> client;
    std::unique_ptr<RecordChannel> server;
};

std::vector<RecordCipher> ciphers()
{
    std::vector<RecordCipher> all{RecordCipher::ChaCha20Poly1305};
    if (AesGcmAvailable())
        all.push_back(RecordCipher::Aes256Gcm);
    return all;
}

RecordChannel::Opened open(RecordChannel& channel, QByteArray& record)
{
    return channel.OpenInPlace(reinterpret_cast<std::uint8_t*>(record.data()), std::size_t(record.size()));
}

TEST(RecordChannel, SealedInPlaceOpensInPlace)
{
    for (const RecordCipher cipher : ciphers()) {
        SCOPED_TRACE(CipherName(cipher).toStdString());
        Pair pair(cipher);
        // A data packet's size, sealed where it lies, as the send queue's room is.
        QByteArray message(2060, '\0');
        for (qsizetype i = 0; i < message.size(); ++i)
            message[i] = char(i * 7);
        QByteArray room(qsizetype(RecordChannel::kOverhead) + message.size(), '\0');
        std::memcpy(room.data() + RecordChannel::kHead, message.constData(), std::size_t(message.size()));
        pair.client->SealInPlace(reinterpret_cast<std::uint8_t*>(room.data()), std::size_t(message.size()));
        EXPECT_NE(room.mid(RecordChannel::kHead, message.size()), message) << "enciphered";
        EXPECT_EQ(room.left(16).toHex(), QByteArray("1700000000000000"
                                                    "0000000000000000"));
        // Sealing in place gives what libsodium's own out-of-place form opens.
        std::uint8_t nonce[12] = {1};
        QByteArray plain(message.size(), '\0');
        const auto* sealed = reinterpret_cast<const std::uint8_t*>(room.constData());
        const int checked = cipher == RecordCipher::Aes256Gcm
                                ? crypto_aead_aes256gcm_decrypt(reinterpret_cast<std::uint8_t*>(plain.data()), nullptr,
                                                                nullptr, sealed + 16, std::size_t(room.size() - 16),
                                                                sealed, 16, nonce, pair.up.data())
                                : crypto_aead_chacha20poly1305_ietf_decrypt(
                                    reinterpret_cast<std::uint8_t*>(plain.data()), nullptr, nullptr, sealed + 16,
                                    std::size_t(room.size() - 16), sealed, 16, nonce, pair.up.data());
        EXPECT_EQ(checked, 0);
        EXPECT_EQ(plain, message);
        for (int i = 0; i < 3; ++i) {
            QByteArray record = i == 0 ? room : pair.client->Seal(message);
            const auto opened = open(*pair.server, record);
            ASSERT_TRUE(opened.ok()) << opened.error.toStdString();
            EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(opened.data), qsizetype(opened.size)), message);
            EXPECT_EQ(opened.data, reinterpret_cast<std::uint8_t*>(record.data()) + RecordChannel::kHead);
        }
        QByteArray back = pair.server->Seal("answer");
        EXPECT_EQ(back.left(4).toHex(), QByteArray("23000000"));
        EXPECT_TRUE(open(*pair.client, back).ok());
        EXPECT_EQ(pair.client->sealed(), 3u);
        EXPECT_EQ(pair.server->opened(), 3u);
    }
}

TEST(RecordChannel, EveryAttackOnTheStreamIsRefused)
{
    using Stream = std::vector<QByteArray>;
    const struct {
        const char* what;
        std::function<void(Stream&)> attack; // edits three sealed records from the client
        int opensBefore;                     // records that open before the refusal
    } rows[] = {
        {"altered ciphertext", [](Stream& s) { s[1][20] = char(s[1][20] ^ 1); }, 1},
        {"altered tag", [](Stream& s) { s[1][s[1].size() - 1] = char(s[1][s[1].size() - 1] ^ 1); }, 1},
        {"altered sequence", [](Stream& s) { s[1][8] = 2; }, 1},
        {"altered type", [](Stream& s) { s[0][0] = 35; }, 0},
        {"non-zero field", [](Stream& s) { s[0][5] = 1; }, 0},
        {"replayed", [](Stream& s) { s[1] = s[0]; }, 1},
        {"reordered", [](Stream& s) { std::swap(s[1], s[2]); }, 1},
        {"dropped", [](Stream& s) { s.erase(s.begin() + 1); }, 1},
        {"cut short", [](Stream& s) { s[1].chop(1); }, 1},
        {"only a head", [](Stream& s) { s[1] = s[1].left(32); }, 1},
        {"sequence rewritten to match after a drop",
         [](Stream& s) {
             s.erase(s.begin() + 1);
             s[1][8] = 1;
         },
         1},
    };
    for (const RecordCipher cipher : ciphers())
        for (const auto& row : rows) {
            SCOPED_TRACE(CipherName(cipher).toStdString() + ": " + row.what);
            Pair pair(cipher);
            Stream stream{pair.client->Seal("first message"), pair.client->Seal("second message"),
                          pair.client->Seal("third message")};
            row.attack(stream);
            int opened = 0;
            QString error;
            for (QByteArray& record : stream) {
                const auto result = open(*pair.server, record);
                if (!result.ok()) {
                    error = result.error;
                    break;
                }
                ++opened;
            }
            EXPECT_EQ(opened, row.opensBefore);
            EXPECT_FALSE(error.isEmpty());
            EXPECT_TRUE(pair.server->broken());
            // Nothing opens after a refusal, not even a good record.
            QByteArray good = pair.client->Seal("later");
            EXPECT_FALSE(open(*pair.server, good).ok());
        }
}

TEST(RecordChannel, WrongKeysAndDirectionsDoNotOpen)
{
    for (const RecordCipher cipher : ciphers()) {
        Pair pair(cipher);
        Pair other(cipher);
        QByteArray record = pair.client->Seal("secret");
        EXPECT_FALSE(open(*other.server, record).ok()) << "another session's keys";
        // The client's own record fed back to it (a reflection).
        QByteArray reflected = pair.client->Seal("secret");
        EXPECT_FALSE(open(*pair.client, reflected).ok());
        EXPECT_THROW(pair.client->Seal(QByteArray()), std::exception);
        EXPECT_THROW(pair.client->Seal(QByteArray(qsizetype(RecordChannel::kMaxPlain) + 1, 'x')), std::exception);
    }
}

// A group of length-prefixed messages sealed as one record, as the sender's batches go.
QByteArray groupRecord(RecordChannel& client, const std::vector<QByteArray>& messages)
{
    QByteArray plain;
    for (const QByteArray& message : messages) {
        char length[4];
        qToLittleEndian(std::uint32_t(message.size()), length);
        plain += QByteArray(length, 4) + message;
    }
    QByteArray record =
        QByteArray(qsizetype(RecordChannel::kHead), '\0') + plain + QByteArray(qsizetype(RecordChannel::kTag), '\0');
    client.SealGroupInPlace(reinterpret_cast<std::uint8_t*>(record.data()), std::size_t(plain.size()));
    return record;
}

std::vector<QByteArray> split(const RecordChannel::Opened& opened, QString* error)
{
    std::vector<QByteArray> messages;
    RecordChannel::SplitGroup(
        opened.data, opened.size,
        [&](std::uint8_t* message, std::size_t size) {
            messages.emplace_back(reinterpret_cast<const char*>(message), qsizetype(size));
            return true;
        },
        error);
    return messages;
}

TEST(RecordChannel, GroupedRecordsOpenOnlyWhereAgreed)
{
    for (const RecordCipher cipher : ciphers()) {
        SCOPED_TRACE(CipherName(cipher).toStdString());
        const std::vector<QByteArray> messages{QByteArray(2060, 'a'), "b", QByteArray(2060, 'c')};
        Pair agreed(cipher);
        agreed.server->SetOpensGroups(true);
        QByteArray single = agreed.client->Seal("before");
        QByteArray group = groupRecord(*agreed.client, messages);
        EXPECT_EQ(group.left(4).toHex(), QByteArray("18000000"));
        EXPECT_FALSE(open(*agreed.server, single).grouped);
        const auto opened = open(*agreed.server, group);
        ASSERT_TRUE(opened.ok()) << opened.error.toStdString();
        EXPECT_TRUE(opened.grouped);
        QString error;
        EXPECT_EQ(split(opened, &error), messages);
        EXPECT_TRUE(error.isEmpty());
        // A server never seals one, and a client takes none.
        EXPECT_THROW(groupRecord(*agreed.server, messages), std::exception);
        agreed.client->SetOpensGroups(true);
        QByteArray back = agreed.server->Seal("answer");
        EXPECT_FALSE(open(*agreed.client, back).grouped);

        Pair plain(cipher); // the handshake did not agree: a group is a record of a wrong type
        QByteArray unasked = groupRecord(*plain.client, messages);
        EXPECT_FALSE(open(*plain.server, unasked).ok());
        EXPECT_TRUE(plain.server->broken());
    }
}

TEST(RecordChannel, AGroupWhoseLengthsDoNotFillItIsRefused)
{
    const auto le = [](std::uint32_t value) {
        char bytes[4];
        qToLittleEndian(value, bytes);
        return QByteArray(bytes, 4);
    };
    const struct {
        const char* what;
        QByteArray plain;
        int messagesBefore;
    } rows[] = {
        {"a length past the end", le(3) + "abc" + le(9) + "defg", 1},
        {"a zero length", le(0) + "abc", 0},
        {"stray bytes after the last message", le(3) + "abc" + "xy", 1},
        {"a length of 2^32 - 1", le(0xffffffffu) + "abc", 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        QByteArray plain = row.plain;
        RecordChannel::Opened opened{
            reinterpret_cast<std::uint8_t*>(plain.data()), std::size_t(plain.size()), {}, true};
        QString error;
        EXPECT_EQ(int(split(opened, &error).size()), row.messagesBefore);
        EXPECT_FALSE(error.isEmpty());
    }
}

} // namespace

// The records are the wire's, whoever seals them: libsodium's AEAD with the same key, nonce
// and head opens what a channel seals, and a channel opens what libsodium seals, at sizes
// around the cipher's blocks and the largest message, and past the first nonce.
TEST(RecordChannel, RecordsMatchLibsodium)
{
    for (const RecordCipher cipher : ciphers()) {
        SCOPED_TRACE(CipherName(cipher).toStdString());
        Pair pair(cipher);
        const bool aes = cipher == RecordCipher::Aes256Gcm;
        std::uint64_t sequence = 0;
        for (const std::size_t size : {std::size_t(1), std::size_t(15), std::size_t(16), std::size_t(17),
                                       std::size_t(64), std::size_t(2060), RecordChannel::kMaxPlain}) {
            SCOPED_TRACE(size);
            QByteArray message(qsizetype(size), '\0');
            randombytes_buf(message.data(), size);
            std::uint8_t nonce[12] = {};
            qToLittleEndian(sequence, nonce + 4);

            // Sealed by the channel, opened by libsodium.
            nonce[0] = 1;
            const QByteArray sealed = pair.client->Seal(message);
            const auto* head = reinterpret_cast<const std::uint8_t*>(sealed.constData());
            QByteArray plain(message.size(), '\0');
            auto* out = reinterpret_cast<std::uint8_t*>(plain.data());
            const int opened =
                aes ? crypto_aead_aes256gcm_decrypt_detached(out, nullptr, head + 16, size, head + 16 + size, head, 16,
                                                             nonce, pair.up.data())
                    : crypto_aead_chacha20poly1305_ietf_decrypt_detached(
                        out, nullptr, head + 16, size, head + 16 + size, head, 16, nonce, pair.up.data());
            EXPECT_EQ(opened, 0);
            EXPECT_EQ(plain, message);

            // Sealed by libsodium, opened by the channel.
            nonce[0] = 2;
            QByteArray record(qsizetype(RecordChannel::kOverhead + size), '\0');
            auto* bytes = reinterpret_cast<std::uint8_t*>(record.data());
            qToLittleEndian(std::uint32_t(35), bytes);
            qToLittleEndian(sequence, bytes + 8);
            std::memcpy(bytes + 16, message.constData(), size);
            if (aes)
                crypto_aead_aes256gcm_encrypt_detached(bytes + 16, bytes + 16 + size, nullptr, bytes + 16, size, bytes,
                                                       16, nullptr, nonce, pair.down.data());
            else
                crypto_aead_chacha20poly1305_ietf_encrypt_detached(bytes + 16, bytes + 16 + size, nullptr, bytes + 16,
                                                                   size, bytes, 16, nullptr, nonce, pair.down.data());
            const auto back = open(*pair.client, record);
            ASSERT_TRUE(back.ok()) << back.error.toStdString();
            EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(back.data), qsizetype(back.size)), message);
            ++sequence;
        }
    }
}
