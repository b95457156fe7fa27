#pragma once

#include "bridge/sealingsink.h"
#include "secure/clienthandshake.h"
#include "secure/recordchannel.h"

#include <QString>

#include <functional>
#include <memory>

class TrustedDevices;

// The sending client's end of a secure copy, between the endpoint and the sending engine.
// Connect runs the handshake before the engine's first message; then Sink() seals all the
// engine sends, and each message from the server must be its next sealed record, opened in
// place and handed to the engine's answers. A record that does not open ends the copy:
// Failed is told once (the engine then treats the connection as lost) and nothing more of
// the server reaches the engine.
class SecureSenderLink {
public:
    using Deliver = std::function<void(const void* data, qsizetype size)>;
    using Report = std::function<void(const QString& line)>;
    // Runs events until `done` holds or `milliseconds` pass (SendingView::WaitForAnswers).
    using Wait = std::function<void(int milliseconds, const std::function<bool()>& done)>;

    // `trusted` (may be null) gains the server after a pairing and notes when it was seen.
    SecureSenderLink(ClientHandshake::Setup setup, TrustedDevices* trusted, MessageSink& raw);

    void SetDeliver(Deliver deliver) { m_deliver = std::move(deliver); }
    void SetReport(Report report) { m_report = std::move(report); }
    void SetFailed(Report failed) { m_failed = std::move(failed); }

    // Sends the Hello and waits for the server's answer (at most `timeoutMs`, and no longer
    // than `lost` stays false), then proves this end. AppError in plain words when the
    // server refuses, cannot prove what it must, or does not answer.
    void Connect(const Wait& wait, const std::function<bool()>& lost, int timeoutMs = 15000);

    // One message from the server, as the endpoint hands it over.
    void Incoming(void* data, qsizetype size);
    MessageSink& Sink() { return m_sink; }
    const ClientHandshake& Handshake() const { return m_handshake; }
    bool Ended() const { return m_ended; }

private:
    void fail(const QString& reason);
    void handshakeDone();

    ClientHandshake m_handshake;
    TrustedDevices* m_trusted;
    MessageSink& m_raw;
    SealingSink m_sink;
    Deliver m_deliver;
    Report m_report;
    Report m_failed;
    std::unique_ptr<RecordChannel> m_channel;
    QByteArray m_answer;
    bool m_ended = false;
};
