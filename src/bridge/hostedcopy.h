#pragma once

#include "secure/acceptpolicy.h"
#include "secure/pairingcode.h"
#include "transfer/existingfiles.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

class CodeGuard;
class Identity;
class MessageSink;
class ReceivingEngine;
class SecureReceiverLink;
class TrustedDevices;
class ReceivingView;
class SessionRoles;
struct SessionEvent;

// What a server is asked to host: the descriptor's parts and what to do with a file whose
// name is taken. With an empty label and directory the default label and `selectedFolder`
// (the folder chosen in the window) are announced.
struct HostOptions {
    QString label;
    QString directory;
    QString selectedFolder;
    ExistingFiles existing = ExistingFiles::Overwrite;
    // Who may send (secure copies). Paired shows a pairing code: `codeShown` hears the
    // first when hosting starts and each new one after three wrong attempts.
    AcceptPolicy accept = AcceptPolicy::Open;
    std::function<void(const PairingCode&)> codeShown{};
    // The first code (policy paired) when the user was shown one before hosting started;
    // a fresh one when empty.
    std::optional<PairingCode> firstCode{};
    bool keepPartials = true; // a file cut off is kept, for the next copy of it to go on
};

// The server's side of copies, for both front ends: hosts a session through the roles, owns
// the receiving engine and the sink its answers go out by, hands it every message the
// session delivers, and closes its file when the client leaves or the session is lost.
//
// Lifetime: Host() makes a new engine (the previous one's file is closed first), End() tears
// the session down before the engine whose handlers it calls. The engine stays readable
// (Summary, CopySucceeded) until the next Host or the copy's destruction.
//
// The path of a message: the endpoint hands each one to deliver(), which gives it to the
// engine; the engine's answers go out through the sink made in makeAnswerSink(). With the
// extension each client gets a secure link in between (SecureReceiverLink): it runs the
// handshake, opens the client's sealed records for the engine and seals its answers, and
// refuses what the policy does not accept; a client whose copy ends badly reaches the engine
// no more, and its open file is discarded.
class HostedCopy final {
public:
    HostedCopy(SessionRoles& roles, ReceivingView& view);
    ~HostedCopy();

    HostedCopy(const HostedCopy&) = delete;
    HostedCopy& operator=(const HostedCopy&) = delete;

    // Builds the engine (receive directory, transport, extension offer, answers), tells the
    // session's searchers the offer and hosts the session; once hosted, the temporary files
    // an earlier run left behind are removed, and partial files too old or too many. False when hosting failed (the log
    // says why); the engine then stays, unused, until End.
    bool Host(const HostOptions& options);
    // Leaves the session (the endpoint is freed: the caller brings networking up again)
    // and closes the open file: a complete one stays, a cut-off one is discarded.
    void End();

    // Between Host and End.
    bool Serving() const { return m_serving; }
    // The engine of the latest Host, or null before it.
    ReceivingEngine* Engine() const { return m_engine.get(); }
    // Where files go for `options`: the named directory, or the selected folder ("?": none
    // chosen, the current directory), ending in "/" unless empty.
    static QString ReceiveDirectory(const HostOptions& options);
    // The pairing code shown now (policy paired, while serving), or nullopt.
    std::optional<PairingCode> CurrentCode() const;
    // This device's fingerprint, once Host has loaded its identity (empty before).
    QString Fingerprint() const;

private:
    void hook();
    void unhook();
    // One message from the client, as the endpoint delivered it.
    void deliver(void* data, qsizetype size);
    void sessionEvent(const SessionEvent& event);
    std::unique_ptr<MessageSink> makeAnswerSink();
    // Loads this device's identity and trusted devices and makes the code the policy needs.
    void prepareSecurity(const HostOptions& options);
    std::unique_ptr<SecureReceiverLink> makeLink();
    void endLink();

    SessionRoles& m_roles;
    ReceivingView& m_view;
    std::unique_ptr<MessageSink> m_answers;
    std::unique_ptr<ReceivingEngine> m_engine;
    bool m_serving = false;
    bool m_secure = false; // secure copies offered (the extension is on)
    AcceptPolicy m_policy = AcceptPolicy::Open;
    std::unique_ptr<Identity> m_identity;
    std::unique_ptr<TrustedDevices> m_trusted;
    std::unique_ptr<CodeGuard> m_codes;
    std::unique_ptr<SecureReceiverLink> m_link;
    QByteArray m_instance;
};
