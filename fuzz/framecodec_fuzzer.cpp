// The session connection's frame parser on an arbitrary byte stream, taken both in one
// piece and in pieces of varying size as reads deliver it (the connection keeps a buffer
// and asks FrameCodec::Next for the frames at its start, as here). Both ways must give the
// same frames and the same verdict; every frame lies inside the bytes given, and every
// frame its type's decoder accepts encodes back to exactly its bytes.
//
// The same stream goes through both sides of the join handshake: as a host's answer that a
// joining client reads while it arrives (ReadJoinAnswer), and as a client's first frame
// that a host judges (AnswerJoin). Each must decide as the first frame says, once for all.
//
// Input: u8 seed for the piece sizes, then the stream.

#include "fuzzcheck.h"
#include "seedguids.h"

#include "platform/dplay/framecodec.h"
#include "platform/dplay/joinhandshake.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

using Buffer = FrameCodec::Buffer;

struct Parsed {
    std::vector<Buffer> frames; // each frame's bytes, header included
    bool malformed = false;
};

// Takes the frames at the start of [p, p + avail); returns the bytes consumed.
std::size_t takeFrames(const unsigned char* p, std::size_t avail, Parsed& out)
{
    std::size_t pos = 0;
    while (!out.malformed) {
        FrameCodec::View view;
        std::size_t consumed = 0;
        const auto status = FrameCodec::Next(p + pos, avail - pos, view, consumed);
        if (status == FrameCodec::Status::NeedMore)
            break;
        if (status == FrameCodec::Status::Malformed) {
            out.malformed = true;
            break;
        }
        FUZZ_CHECK(consumed == FrameCodec::kHeader + view.size);
        FUZZ_CHECK(consumed <= avail - pos);
        FUZZ_CHECK(view.body == p + pos + FrameCodec::kHeader);
        out.frames.emplace_back(p + pos, p + pos + consumed);
        pos += consumed;
    }
    return pos;
}

// What the frame's decoder makes of it, encoded again; empty when the decoder refuses it.
Buffer reencode(const Buffer& frame)
{
    FrameCodec::View v;
    std::size_t consumed = 0;
    FUZZ_CHECK(FrameCodec::Next(frame.data(), frame.size(), v, consumed) == FrameCodec::Status::Frame);
    Buffer out;
    switch (v.type) {
    case FrameCodec::Join:
        if (const auto instance = FrameCodec::DecodeJoin(v))
            FrameCodec::AppendJoin(out, *instance);
        break;
    case FrameCodec::Joined:
        if (const auto info = FrameCodec::DecodeJoined(v)) {
            FUZZ_CHECK(info->name.size() <= FrameCodec::kMaxName);
            FrameCodec::AppendJoined(out, *info);
        }
        break;
    case FrameCodec::Refused:
        if (const auto result = FrameCodec::DecodeRefused(v))
            FrameCodec::AppendRefused(out, *result);
        break;
    case FrameCodec::CreatePlayer:
        if (const auto info = FrameCodec::DecodeCreatePlayer(v)) {
            FUZZ_CHECK(info->name.size() <= FrameCodec::kMaxName);
            FrameCodec::AppendCreatePlayer(out, info->request, info->name);
        }
        break;
    case FrameCodec::PlayerCreated:
        if (const auto info = FrameCodec::DecodePlayerCreated(v))
            FrameCodec::AppendPlayerCreated(out, *info);
        break;
    case FrameCodec::Data:
        FUZZ_CHECK(v.size >= FrameCodec::kDataHeader);
        FUZZ_CHECK(v.size - FrameCodec::kDataHeader <= FrameCodec::kMaxMessage);
        FrameCodec::AppendData(out, FrameCodec::DataFrom(v), FrameCodec::DataTo(v), v.body + FrameCodec::kDataHeader,
                               v.size - FrameCodec::kDataHeader);
        break;
    case FrameCodec::Ping:
        FrameCodec::AppendPing(out);
        break;
    default:
        FUZZ_CHECK(!"Next let a frame of unknown type through");
    }
    return out;
}

bool sameAnswer(const JoinAnswer& a, const JoinAnswer& b)
{
    return a.outcome == b.outcome && a.result == b.result && a.consumed == b.consumed
           && a.session.instance == b.session.instance && a.session.name == b.session.name
           && a.session.application == b.session.application && a.session.flags == b.session.flags
           && a.session.maxPlayers == b.session.maxPlayers && a.session.currentPlayers == b.session.currentPlayers;
}

// The client's reading of the host's answer, against what the first frame says.
void checkClientJoin(const Buffer& stream, const Parsed& whole)
{
    const JoinAnswer answer = ReadJoinAnswer(stream.data(), stream.size(), kSeedInstance);
    if (whole.frames.empty()) {
        FUZZ_CHECK(answer.outcome == (whole.malformed ? JoinAnswer::Outcome::Refused : JoinAnswer::Outcome::NeedMore));
        return;
    }
    const Buffer& first = whole.frames.front();
    FrameCodec::View v;
    std::size_t consumed = 0;
    FrameCodec::Next(first.data(), first.size(), v, consumed);
    const auto joined = FrameCodec::DecodeJoined(v);
    if (joined && joined->instance == kSeedInstance) {
        FUZZ_CHECK(answer.outcome == JoinAnswer::Outcome::Joined);
        FUZZ_CHECK(answer.result == DP_OK);
        FUZZ_CHECK(answer.consumed == first.size());
        FUZZ_CHECK(answer.session.name == joined->name);
    } else {
        FUZZ_CHECK(answer.outcome == JoinAnswer::Outcome::Refused);
        FUZZ_CHECK(FAILED(answer.result)); // a refusal claiming success joins nothing
    }
    // No decision before the first frame is whole, and bytes that arrive after it never
    // change the decision.
    for (const std::size_t part : {std::size_t(0), std::size_t(4), std::size_t(5), first.size() - 1})
        if (part < first.size())
            FUZZ_CHECK(ReadJoinAnswer(first.data(), part, kSeedInstance).outcome == JoinAnswer::Outcome::NeedMore);
    FUZZ_CHECK(sameAnswer(ReadJoinAnswer(first.data(), first.size(), kSeedInstance), answer));
}

// The host's judgement of a connection's first frame.
void checkHostJoin(const Parsed& whole)
{
    if (whole.frames.empty())
        return;
    const Buffer& first = whole.frames.front();
    FrameCodec::View v;
    std::size_t consumed = 0;
    FrameCodec::Next(first.data(), first.size(), v, consumed);
    const auto asked = FrameCodec::DecodeJoin(v);
    for (const bool full : {false, true}) {
        const std::optional<HRESULT> answer = AnswerJoin(v, kSeedInstance, full);
        FUZZ_CHECK(answer.has_value() == asked.has_value());
        if (!answer)
            continue;
        if (*asked != kSeedInstance)
            FUZZ_CHECK(*answer == DPERR_NOSESSIONS);
        else
            FUZZ_CHECK(*answer == (full ? DPERR_ACCESSDENIED : DP_OK));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    std::uint32_t seed = data[0];
    // Exactly the stream's bytes, so that a read past the end is caught.
    const Buffer stream(data + 1, data + size);

    Parsed whole;
    takeFrames(stream.data(), stream.size(), whole);

    // In pieces, with the leftover moved to the front after each read, as the connection does.
    Parsed pieces;
    Buffer rx;
    std::size_t fed = 0;
    while (fed < stream.size() && !pieces.malformed) {
        seed = seed * 1103515245u + 12345u;
        // Mostly short reads, now and then a long one.
        const std::size_t most = (seed & 0x700) == 0 ? 8192 : 97;
        const std::size_t piece = std::min<std::size_t>(1 + (seed >> 16) % most, stream.size() - fed);
        rx.insert(rx.end(), stream.begin() + std::ptrdiff_t(fed), stream.begin() + std::ptrdiff_t(fed + piece));
        fed += piece;
        const std::size_t used = takeFrames(rx.data(), rx.size(), pieces);
        rx.erase(rx.begin(), rx.begin() + std::ptrdiff_t(used));
    }

    FUZZ_CHECK(whole.malformed == pieces.malformed);
    FUZZ_CHECK(whole.frames == pieces.frames);
    for (const Buffer& frame : whole.frames) {
        const Buffer again = reencode(frame);
        FUZZ_CHECK(again.empty() || again == frame);
    }
    checkClientJoin(stream, whole);
    checkHostJoin(whole);
    return 0;
}
