#pragma once

// The join handshake on a new session connection (see framecodec.h for the frames):
//
//   client -> host   Join(instance)
//   host -> client   Joined(session description)   the connection then carries players
//                    or Refused(result)            and data; after a refusal the host closes
//
// A Refused frame whose result is not a failure code, a Joined frame for another instance,
// or any other first frame fails the join with DPERR_NOCONNECTION.

#include "platform/dplay/dplay.h"
#include "platform/dplay/framecodec.h"
#include "platform/dplay/receivequeue.h"

#include <netinet/in.h>

#include <chrono>
#include <optional>

// What the start of a host's byte stream says about a join of `instance`.
struct JoinAnswer {
    enum class Outcome { NeedMore, Joined, Refused };
    Outcome outcome = Outcome::NeedMore;
    FrameCodec::JoinedInfo session; // Joined
    std::size_t consumed = 0;       // Joined: the bytes of the reply; the rest is traffic
    HRESULT result = DP_OK;         // Refused: always a failure code
};

// Client side, pure: reads the host's answer from the first `size` bytes it sent.
JoinAnswer ReadJoinAnswer(const unsigned char* data, std::size_t size, const GUID& instance);

// What the client's join came to: on success a connected socket and the session, with the
// bytes that followed the reply left in `received`.
struct JoinResult {
    HRESULT result = DPERR_NOCONNECTION;
    int fd = -1;
    FrameCodec::JoinedInfo session;
};

// Client side: connects to `host`, asks to join `instance` and waits up to `timeout` for the
// answer. Blocks the calling thread.
JoinResult JoinHost(const sockaddr_in& host, const GUID& instance, ReadBuffer& received,
                    std::chrono::milliseconds timeout);

// Host side: the answer to a connection's first frame: DP_OK to take the peer,
// DPERR_NOSESSIONS (another session) or DPERR_ACCESSDENIED (full) to refuse it, nullopt when
// the frame is no join at all.
std::optional<HRESULT> AnswerJoin(const FrameCodec::View& first, const GUID& instance, bool full);
