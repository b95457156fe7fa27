#pragma once

#include <QString>

// What the session tells a front end besides the copy's own messages: a client joined (the
// server's side), a client left, or the session was lost. The log has its line already.
struct SessionEvent {
    enum class Kind { ClientJoined, ClientLeft, SessionLost };
    Kind kind;
    // ClientJoined: where the client came from ("192.168.1.20:50123"), empty when unknown.
    QString client;
};
