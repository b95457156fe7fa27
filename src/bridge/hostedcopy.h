#pragma once

#include "transfer/existingfiles.h"

#include <QString>

#include <cstdint>
#include <memory>

class MessageSink;
class ReceivingEngine;
class ReceivingView;
class SessionRoles;

// What a server is asked to host: the descriptor's parts and what to do with a file whose
// name is taken. With an empty label and directory the default label and `selectedFolder`
// (the folder chosen in the window) are announced.
struct HostOptions {
    QString label;
    QString directory;
    QString selectedFolder;
    ExistingFiles existing = ExistingFiles::Overwrite;
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
// engine; the engine's answers go out through the sink made in makeAnswerSink(). A layer that
// wraps every message (a record layer) wraps those two places; an exchange that must run
// before the engine sees the client's first message (a handshake) belongs in deliver(),
// which then holds the client's messages back until it is done.
class HostedCopy final {
public:
    HostedCopy(SessionRoles& roles, ReceivingView& view);
    ~HostedCopy();

    HostedCopy(const HostedCopy&) = delete;
    HostedCopy& operator=(const HostedCopy&) = delete;

    // Builds the engine (receive directory, transport, extension offer, answers), tells the
    // session's searchers the offer and hosts the session; once hosted, the temporary files
    // an earlier run left behind are removed, and partial files too old or too many. False when hosting failed (the log says why);
    // the engine then stays, unused, until End.
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

private:
    void hook();
    void unhook();
    // One message from the client, as the endpoint delivered it.
    void deliver(void* data, qsizetype size);
    void systemMessage(std::uint32_t type);
    std::unique_ptr<MessageSink> makeAnswerSink();

    SessionRoles& m_roles;
    ReceivingView& m_view;
    std::unique_ptr<MessageSink> m_answers;
    std::unique_ptr<ReceivingEngine> m_engine;
    bool m_serving = false;
};
