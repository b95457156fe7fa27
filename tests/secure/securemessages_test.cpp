// The handshake's messages byte by byte and what their decoder refuses.
#include "secure/securemessages.h"

#include <gtest/gtest.h>

namespace {

Bytes32 filled32(std::uint8_t value)
{
    Bytes32 bytes;
    bytes.fill(value);
    return bytes;
}

Bytes64 filled64(std::uint8_t value)
{
    Bytes64 bytes;
    bytes.fill(value);
    return bytes;
}

QByteArray repeat(const char* hexByte, int count)
{
    return QByteArray::fromHex(QByteArray(hexByte).repeated(count));
}

TEST(SecureMessages, LayoutsByteByByte)
{
    const SecureHello hello{true, true, filled32(1), filled32(2), filled32(3), "pc", true};
    const SecureReply reply{true,        false, true,        filled32(4), filled32(5),
                            filled32(6), "srv", filled32(7), filled64(8), true};
    const struct {
        const char* what;
        QByteArray encoded;
        QByteArray expected;
    } rows[] = {
        {"hello", EncodeSecureHello(hello),
         QByteArray::fromHex("15000000"
                             "0200"
                             "0700")
             + repeat("01", 32) + repeat("02", 32) + repeat("03", 32)
             + QByteArray::fromHex("0200"
                                   "0000")
             + "pc"},
        {"reply", EncodeSecureReply(reply),
         QByteArray::fromHex("22000000"
                             "0d00"
                             "0000")
             + repeat("04", 32) + repeat("05", 32) + repeat("06", 32)
             + QByteArray::fromHex("0300"
                                   "0000")
             + "srv" + repeat("07", 32) + repeat("08", 64)},
        {"confirm", EncodeSecureConfirm({filled32(9), filled64(10)}),
         QByteArray::fromHex("16000000"
                             "00000000")
             + repeat("09", 32) + repeat("0a", 64)},
        {"refusal", EncodeSecureRefusal({HandshakeRefusal::NeedsPairing, "no"}),
         QByteArray::fromHex("24000000"
                             "03"
                             "00"
                             "0200")
             + "no"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(row.encoded.toHex(), row.expected.toHex());
        const HandshakeMessage decoded = DecodeHandshakeMessage(row.encoded);
        ASSERT_FALSE(std::holds_alternative<MalformedHandshake>(decoded))
            << std::get<MalformedHandshake>(decoded).reason.toStdString();
    }
    EXPECT_EQ(std::get<SecureHello>(DecodeHandshakeMessage(rows[0].encoded)), hello);
    EXPECT_EQ(std::get<SecureReply>(DecodeHandshakeMessage(rows[1].encoded)), reply);
    EXPECT_EQ(EncodeSecureReplyHead(reply), rows[1].encoded.left(rows[1].encoded.size() - kReplyTail));
    // A name over 255 bytes is cut on a character boundary.
    const QByteArray longName = QString(200, QChar(0x00E9)).toUtf8(); // 400 bytes of "é"
    const SecureHello cut =
        std::get<SecureHello>(DecodeHandshakeMessage(EncodeSecureHello({false, false, {}, {}, {}, longName, false})));
    EXPECT_EQ(cut.name.size(), 254);
}

TEST(SecureMessages, TheDecoderRefusesWhatDoesNotFit)
{
    const QByteArray hello = EncodeSecureHello({false, false, {}, {}, {}, "pc", false});
    const QByteArray reply = EncodeSecureReply({false, false, false, {}, {}, {}, "srv", {}, {}, false});
    const QByteArray confirm = EncodeSecureConfirm({});
    const QByteArray refusal = EncodeSecureRefusal({HandshakeRefusal::WrongCode, "wrong"});
    const auto with = [](QByteArray bytes, qsizetype at, const QByteArray& value) {
        bytes.replace(at, value.size(), value);
        return bytes;
    };
    const struct {
        const char* what;
        QByteArray bytes;
    } rows[] = {
        {"nothing", {}},
        {"a type of no handshake message", with(hello, 0, QByteArray::fromHex("17000000"))},
        {"hello of version 1", with(hello, 4, QByteArray::fromHex("0100"))},
        {"hello with an unknown flag", with(hello, 6, QByteArray::fromHex("0800"))},
        {"hello with an empty name", with(hello.left(108), 104, QByteArray::fromHex("0000"))},
        {"hello with a longer name field", with(hello, 104, QByteArray::fromHex("0300"))},
        {"hello with a byte too many", hello + "x"},
        {"hello with a non-zero field", with(hello, 106, QByteArray::fromHex("0100"))},
        {"hello cut in its keys", hello.left(60)},
        {"reply with an unknown flag", with(reply, 4, QByteArray::fromHex("1000"))},
        {"reply with a non-zero field", with(reply, 6, QByteArray::fromHex("0100"))},
        {"reply without its signature", reply.left(reply.size() - 64)},
        {"reply with a name over 255 bytes", with(reply, 104, QByteArray::fromHex("0001"))},
        {"confirm one byte short", confirm.left(103)},
        {"confirm with a non-zero field", with(confirm, 4, QByteArray::fromHex("01"))},
        {"refusal for reason 0", with(refusal, 4, QByteArray::fromHex("00"))},
        {"refusal for reason 6", with(refusal, 4, QByteArray::fromHex("06"))},
        {"refusal with a non-zero byte", with(refusal, 5, QByteArray::fromHex("01"))},
        {"refusal whose text is longer than said", refusal + "!"},
        {"refusal with a text over 1024 bytes", with(refusal, 6, QByteArray::fromHex("0104"))},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const HandshakeMessage decoded = DecodeHandshakeMessage(row.bytes);
        ASSERT_TRUE(std::holds_alternative<MalformedHandshake>(decoded));
        EXPECT_FALSE(std::get<MalformedHandshake>(decoded).reason.isEmpty());
    }
}

} // namespace

#include "secure/securityword.h"

namespace {

TEST(SecurityWordTest, PolicyCodeAndHint)
{
    const Identity identity = Identity::Generate();
    const SecurityWord word{AcceptPolicy::Paired, true, SecurityWord::HintOf(identity.publicKey())};
    EXPECT_EQ(SecurityWord::Decode(word.Encode()), word);
    EXPECT_EQ(word.Encode() & 0xFFu, 0x05u);
    EXPECT_EQ(QString::number(word.fingerprintHint, 16).rightJustified(6, '0'),
              identity.fingerprint().remove(' ').left(6));
    EXPECT_FALSE(SecurityWord::Decode(3)) << "no fourth policy";
    EXPECT_FALSE(SecurityWord::Decode(0x08)) << "a reserved bit";
    EXPECT_EQ(SecurityWord::Decode(0)->policy, AcceptPolicy::Open);
    EXPECT_EQ(ParseAcceptPolicy("Paired"), AcceptPolicy::Paired);
    EXPECT_FALSE(ParseAcceptPolicy("closed"));
}

} // namespace
