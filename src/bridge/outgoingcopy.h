#pragma once

#include <QtGlobal>

#include <cstdint>
#include <memory>

class MessageSink;
class SendingEngine;
class SendingView;
class SessionRoles;

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
// messages come in through deliver(). A layer that wraps every message (a record layer)
// wraps those two places; an exchange that must run between the join and the engine's first
// message (a handshake) runs at the start of Start(), sending through the sink and waiting
// with the view's WaitForAnswers while deliver() hands it the server's messages.
class OutgoingCopy final {
public:
    OutgoingCopy(SessionRoles& roles, SendingView& view);
    ~OutgoingCopy();

    OutgoingCopy(const OutgoingCopy&) = delete;
    OutgoingCopy& operator=(const OutgoingCopy&) = delete;

    // Joins the session of row `row` of the latest search as the client. False, silently,
    // when there is no such row; throws AppError (ResultError with the service's result)
    // when joining fails.
    bool Join(int row);
    // The extension version this copy speaks, once joined: the host's offer, at most this
    // build's, and 0 when either end keeps to the protocol of earlier versions.
    std::uint16_t Extension() const;
    // Builds the sink and the engine for the joined session with the negotiated extension,
    // the block size and encryption given and the transport's name; from now on the
    // server's answers and a lost session reach the engine.
    SendingEngine& Start(std::int16_t blocksize, bool encrypt);

    // The engine once started, or null.
    SendingEngine* Engine() const { return m_engine.get(); }

private:
    // One message from the server, as the endpoint delivered it.
    void deliver(void* data, qsizetype size);
    void systemMessage(std::uint32_t type);
    std::unique_ptr<MessageSink> makeSink();

    SessionRoles& m_roles;
    SendingView& m_view;
    std::unique_ptr<MessageSink> m_sink;
    std::unique_ptr<SendingEngine> m_engine;
};
