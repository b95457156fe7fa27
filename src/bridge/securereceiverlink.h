#pragma once

#include "bridge/sealingsink.h"
#include "secure/recordchannel.h"
#include "secure/serverhandshake.h"

#include <QString>

#include <functional>
#include <memory>

class TrustedDevices;

// The receiving server's end of one client's copy, between the endpoint and the receiving
// engine. A copy that starts with a Hello runs the secure handshake; after it every message
// must be the client's next sealed record, opened in place and handed to the engine, and
// the engine's answers go back sealed (Answers()). A copy in plain messages (a client of an
// earlier build) is handed on as it is when the policy is open, and refused otherwise. A
// refusal or a record that does not open ends the copy: Failed is told once, and nothing
// more of this client reaches the engine.
class SecureReceiverLink {
public:
    using Deliver = std::function<void(void* data, qsizetype size)>;
    using Report = std::function<void(const QString& line)>;

    // `trusted` (may be null) gains the client after a pairing and notes when it was seen.
    SecureReceiverLink(ServerHandshake::Setup setup, TrustedDevices* trusted, MessageSink& raw, Deliver deliver);
    ~SecureReceiverLink();

    // Lines for the user: a copy secured, a device paired. Failed: why the copy ends.
    void SetReport(Report report) { m_report = std::move(report); }
    void SetFailed(Report failed) { m_failed = std::move(failed); }
    // Told once, before the first message is delivered: true when the handshake has ended
    // and records follow, false when the client copies in plain messages.
    void SetEstablished(std::function<void(bool secure)> established) { m_established = std::move(established); }

    // One message from the client, as the endpoint hands it over (opened in place).
    void Incoming(void* data, qsizetype size);
    // Where the engine's answers go: sealed in a secure copy, plain otherwise.
    MessageSink& Answers() { return m_answers; }

    bool Secure() const { return m_channel != nullptr; }
    bool Ended() const { return m_ended; }
    const ServerHandshake& Handshake() const { return m_handshake; }

private:
    void fail(const QString& reason);
    void handshakeDone();

    ServerHandshake m_handshake;
    AcceptPolicy m_policy;
    TrustedDevices* m_trusted;
    MessageSink& m_raw;
    SealingSink m_answers;
    Deliver m_deliver;
    Report m_report;
    Report m_failed;
    std::function<void(bool secure)> m_established;
    std::unique_ptr<RecordChannel> m_channel;
    bool m_started = false;
    bool m_plain = false;
    bool m_ended = false;
    // Gone with the link: a delivery may end the copy, and the link with it, before the rest
    // of a group is delivered.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};
