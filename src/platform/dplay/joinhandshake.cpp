#include "platform/dplay/joinhandshake.h"

#include "platform/dplay/socketutil.h"
#include "platform/logging.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

JoinAnswer ReadJoinAnswer(const unsigned char* data, std::size_t size, const GUID& instance)
{
    JoinAnswer answer;
    FrameCodec::View v;
    std::size_t consumed = 0;
    const auto status = FrameCodec::Next(data, size, v, consumed);
    if (status == FrameCodec::Status::NeedMore)
        return answer;
    answer.outcome = JoinAnswer::Outcome::Refused;
    answer.result = DPERR_NOCONNECTION;
    if (status == FrameCodec::Status::Malformed)
        return answer;
    if (v.type == FrameCodec::Refused) {
        // Only a failure is a refusal; a "refusal" that claims success joins nothing.
        const auto result = FrameCodec::DecodeRefused(v);
        if (result && FAILED(*result))
            answer.result = *result;
        return answer;
    }
    if (v.type != FrameCodec::Joined)
        return answer;
    auto joined = FrameCodec::DecodeJoined(v);
    if (!joined || joined->instance != instance)
        return answer;
    answer.outcome = JoinAnswer::Outcome::Joined;
    answer.result = DP_OK;
    answer.session = std::move(*joined);
    answer.consumed = consumed;
    return answer;
}

JoinResult JoinHost(const sockaddr_in& host, const GUID& instance, ReadBuffer& received,
                    std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    JoinResult out;
    int fd = ConnectTcp(host);
    if (fd < 0) {
        qCDebug(lcDplay, "%s: join failed: cannot connect", AddressText(host).c_str());
        return out;
    }

    FrameCodec::Buffer join;
    FrameCodec::AppendJoin(join, instance);
    // SendAll waits for the connection to complete before its first write succeeds.
    if (!SendAll(fd, join.data(), join.size(), deadline)) {
        qCDebug(lcDplay, "%s: join failed: cannot reach the host", AddressText(host).c_str());
        CloseFd(fd);
        return out;
    }

    JoinAnswer answer;
    for (;;) {
        answer = ReadJoinAnswer(received.bytes.data(), received.end, instance);
        if (answer.outcome != JoinAnswer::Outcome::NeedMore)
            break;
        if (std::chrono::steady_clock::now() >= deadline) {
            qCDebug(lcDplay, "%s: join failed: no answer in time", AddressText(host).c_str());
            out.result = DPERR_TIMEOUT;
            CloseFd(fd);
            return out;
        }
        if (!WaitReadable(fd, deadline))
            continue;
        const ssize_t n = ::recv(fd, received.bytes.data() + received.end, received.bytes.size() - received.end, 0);
        if (n > 0)
            received.end += std::size_t(n);
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            break;
    }
    if (answer.outcome != JoinAnswer::Outcome::Joined) {
        if (answer.outcome == JoinAnswer::Outcome::Refused)
            out.result = answer.result;
        qCDebug(lcDplay, "%s: join failed: %s (%08X)", AddressText(host).c_str(),
                answer.outcome == JoinAnswer::Outcome::NeedMore ? "closed before answering"
                : answer.result == DPERR_NOCONNECTION           ? "no valid answer"
                                                                : "refused by the host",
                unsigned(out.result));
        CloseFd(fd);
        return out;
    }
    // Keep whatever followed the reply for the network thread.
    std::memmove(received.bytes.data(), received.bytes.data() + answer.consumed, received.end - answer.consumed);
    received.end -= answer.consumed;
    out.result = DP_OK;
    out.fd = fd;
    out.session = std::move(answer.session);
    return out;
}

std::optional<HRESULT> AnswerJoin(const FrameCodec::View& first, const GUID& instance, bool full)
{
    const auto asked = FrameCodec::DecodeJoin(first);
    if (!asked)
        return std::nullopt;
    if (*asked != instance)
        return DPERR_NOSESSIONS;
    return full ? DPERR_ACCESSDENIED : DP_OK;
}
