#pragma once

#include "secure/pairingcode.h"

#include <QString>
#include <QtGlobal>

#include <cstdint>
#include <memory>
#include <optional>

class CutCopyMarker;
class MessageSink;
class SecureSenderLink;
class TrustedDevices;
class SendingEngine;
class SendingView;
class SessionRoles;
struct SessionEvent;

// The client's side of one copy, for both front ends: joins a session of the latest search,
// builds the sink into the session and the sending engine, speaks the extension the host
// offers (unless this end keeps to the protocol of earlier versions), and routes the
// server's answers and a lost session to the engine.
//
// Use: Join, then Start, then the engine's StartCopy. The copy's handlers are unhooked when
// it is destroyed; the networking stays up (leaving the session is the caller's, after the
// copy, so that what is queued still goes out).
//
// The path of a message: the engine sends through the sink made in makeSink(); the server's
// messages come in through deliver(). With a host that offers secure copies, Start() first
// runs the handshake (SecureSenderLink, waiting with the view's WaitForAnswers while
// deliver() hands it the server's messages); then the engine's messages go out sealed and
// the server's are opened before the engine sees them. A copy given a pairing code, or to a
// host trusted here, never falls back to a copy in plain.
class OutgoingCopy final {
public:
    OutgoingCopy(SessionRoles& roles, SendingView& view);
    ~OutgoingCopy();

    OutgoingCopy(const OutgoingCopy&) = delete;
    OutgoingCopy& operator=(const OutgoingCopy&) = delete;

    // Joins the session of row `row` of the latest search as the client. False, silently,
    // when there is no such row; throws JoinError when joining fails.
    bool Join(int row);
    // The extension version this copy speaks, once joined: the host's offer, at most this
    // build's, and 0 when either end keeps to the protocol of earlier versions.
    std::uint16_t Extension() const;
    // The code the user gave to pair with the server (send --code, the window's dialog).
    void SetPairingCode(std::optional<PairingCode> code) { m_code = std::move(code); }
    // True when the joined host offers secure copies and this end speaks the extension.
    bool Secure() const;
    // What the joined host's session says of it (its security word), for a front end that
    // asks for a code: true when the host shows a pairing code now.
    bool HostShowsCode() const;
    // True when the host's fingerprint hint matches a device trusted here: the handshake
    // will then most likely need no code (it still proves the key).
    bool HostLooksTrusted() const;
    // Builds the sink and the engine for the joined session with the negotiated extension,
    // the block size and encryption given and the transport's name; from now on the
    // server's answers and a lost session reach the engine. With secure copies the handshake
    // runs first (the design's cipher is left off: the records encrypt). AppError in plain
    // words when the server refuses the copy, cannot prove the code or the key trusted here,
    // or offers no secure copies while a code was given or the host is trusted here.
    SendingEngine& Start(std::int16_t blocksize, bool encrypt);

    // Once the engine has ended its copy: forgets the marker of a cut copy to this server when
    // the copy ran through to its end (the server confirmed it), so that the next copy to it
    // goes as usual. The destructor does the same.
    void Finished();

    // The engine once started, or null.
    SendingEngine* Engine() const { return m_engine.get(); }

private:
    // One message from the server, as the endpoint delivered it.
    void deliver(void* data, qsizetype size);
    void sessionEvent(const SessionEvent& event);
    std::unique_ptr<MessageSink> makeSink();
    // Runs the handshake and returns the sink that seals.
    MessageSink& secure();
    // Refuses a copy in plain to a host that should prove itself.
    void refusePlain() const;
    // A copy of version 2 notes that it started; after a copy to this server that was cut
    // off, this one goes carefully.
    void noteStart(bool secure);

    SessionRoles& m_roles;
    SendingView& m_view;
    std::unique_ptr<MessageSink> m_sink;
    std::unique_ptr<TrustedDevices> m_trusted;
    std::unique_ptr<SecureSenderLink> m_link;
    std::unique_ptr<SendingEngine> m_engine;
    std::unique_ptr<CutCopyMarker> m_marker;
    std::optional<PairingCode> m_code;
    QString m_label; // the joined session's label
    bool m_lost = false;
};
