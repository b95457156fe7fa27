// The secure handshake on arbitrary bytes. The first byte picks the end that listens (bit 0:
// 0 the server, 1 the sender), the server's policy (bits 1..2) and whether the sender gives
// a code (bit 3); then come messages, each a u16 little-endian length and that many bytes.
// Every message is decoded on its own (what is accepted encodes back to the very same
// bytes), fed to the end's state machine, and tried as a sealed record. Nothing made of
// arbitrary bytes may finish a handshake, open a record or leave an answer that is not a
// well-formed handshake message.

#include "fuzzcheck.h"

#include "secure/clienthandshake.h"
#include "secure/recordchannel.h"
#include "secure/serverhandshake.h"

#include <QtEndian>

#include <cstdint>
#include <cstring>

namespace {

const QByteArray kInstance(16, '\x5a');

void checkDecoder(const QByteArray& bytes)
{
    const HandshakeMessage message = DecodeHandshakeMessage(bytes);
    QByteArray encoded;
    if (const auto* hello = std::get_if<SecureHello>(&message)) {
        FUZZ_CHECK(!hello->name.isEmpty() && hello->name.size() <= kMaxDeviceNameBytes);
        encoded = EncodeSecureHello(*hello);
    } else if (const auto* reply = std::get_if<SecureReply>(&message)) {
        FUZZ_CHECK(!reply->name.isEmpty() && reply->name.size() <= kMaxDeviceNameBytes);
        encoded = EncodeSecureReply(*reply);
    } else if (const auto* confirm = std::get_if<SecureConfirm>(&message)) {
        encoded = EncodeSecureConfirm(*confirm);
    } else if (const auto* refusal = std::get_if<SecureRefusalMessage>(&message)) {
        FUZZ_CHECK(refusal->text.size() <= kMaxRefusalTextBytes);
        encoded = EncodeSecureRefusal(*refusal);
    } else {
        FUZZ_CHECK(!std::get<MalformedHandshake>(message).reason.isEmpty());
        return;
    }
    FUZZ_CHECK(encoded == bytes);
}

void checkAnswer(const QByteArray& answer)
{
    if (answer.isEmpty())
        return;
    FUZZ_CHECK(!std::holds_alternative<MalformedHandshake>(DecodeHandshakeMessage(answer)));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    static const Identity identity = Identity::Generate();
    const bool listenAsClient = data[0] & 1;
    const auto policy = static_cast<AcceptPolicy>(((data[0] >> 1) & 3) % 3);
    const bool withCode = data[0] & 8;
    CodeGuard codes;
    ServerHandshake server({kInstance, identity, "server", policy, &codes, nullptr, false});
    ClientHandshake client(
        {kInstance, identity, "client", withCode ? std::optional(codes.code()) : std::nullopt, nullptr, false});
    Bytes32 key{};
    RecordChannel records(RecordCipher::ChaCha20Poly1305,
                          listenAsClient ? RecordChannel::Side::Client : RecordChannel::Side::Server, key, key);

    std::size_t at = 1;
    while (at + 2 <= size) {
        const std::size_t length = qFromLittleEndian<std::uint16_t>(data + at);
        at += 2;
        const std::size_t take = std::min(length, size - at);
        const QByteArray message(reinterpret_cast<const char*>(data + at), qsizetype(take));
        at += take;
        checkDecoder(message);
        const QByteArray answer = listenAsClient ? client.feed(message) : server.feed(message);
        checkAnswer(answer);
        FUZZ_CHECK(client.state() != HandshakeState::Done && server.state() != HandshakeState::Done);
        if (server.state() == HandshakeState::Refused)
            FUZZ_CHECK(!server.refusalText().isEmpty());
        if (client.state() == HandshakeState::Refused)
            FUZZ_CHECK(!client.refusalText().isEmpty());
        QByteArray record = message;
        const auto opened =
            records.OpenInPlace(reinterpret_cast<std::uint8_t*>(record.data()), std::size_t(record.size()));
        FUZZ_CHECK(!opened.ok());
    }
    return 0;
}
