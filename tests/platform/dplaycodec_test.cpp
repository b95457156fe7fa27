// The session service's byte formats: frames, discovery datagrams and address blocks, with
// the malformed inputs each must refuse.

#include "platform/dplay/discoverymessage.h"
#include "platform/dplay/dplaylobby.h"
#include "platform/dplay/framecodec.h"
#include "platform/dplay/joinhandshake.h"

#include <gtest/gtest.h>

namespace {

const GUID kGuid = {0x01020304, 0x0506, 0x0708, {9, 10, 11, 12, 13, 14, 15, 16}};

using Bytes = std::vector<unsigned char>;

FrameCodec::Status Split(const Bytes& b, FrameCodec::View& v, std::size_t& consumed)
{
    return FrameCodec::Next(b.data(), b.size(), v, consumed);
}

} // namespace

TEST(DplayFrames, EveryFrameSplitsBackAndDecodes)
{
    FrameCodec::Buffer b;
    FrameCodec::AppendJoin(b, kGuid);
    FrameCodec::JoinedInfo joined{kGuid, kGuid, DPSESSION_KEEPALIVE, 2, 1, "Label#/dir"};
    FrameCodec::AppendJoined(b, joined);
    FrameCodec::AppendRefused(b, DPERR_ACCESSDENIED);
    FrameCodec::AppendCreatePlayer(b, 7, "FerrowardenClient");
    FrameCodec::AppendPlayerCreated(b, {7, DP_OK, 0x12345});
    const char payload[] = "payload";
    FrameCodec::AppendData(b, 0x12345, DPID_ALLPLAYERS, payload, sizeof payload);
    FrameCodec::AppendPing(b);

    std::vector<FrameCodec::View> views;
    std::size_t pos = 0;
    FrameCodec::View v;
    std::size_t consumed = 0;
    while (FrameCodec::Next(b.data() + pos, b.size() - pos, v, consumed) == FrameCodec::Status::Frame) {
        views.push_back(v);
        pos += consumed;
    }
    ASSERT_EQ(pos, b.size());
    ASSERT_EQ(views.size(), 7u);
    EXPECT_EQ(FrameCodec::DecodeJoin(views[0]), kGuid);
    const auto j = FrameCodec::DecodeJoined(views[1]);
    ASSERT_TRUE(j);
    EXPECT_EQ(j->name, "Label#/dir");
    EXPECT_EQ(j->maxPlayers, 2u);
    EXPECT_EQ(FrameCodec::DecodeRefused(views[2]), DPERR_ACCESSDENIED);
    EXPECT_EQ(FrameCodec::DecodeCreatePlayer(views[3])->name, "FerrowardenClient");
    EXPECT_EQ(FrameCodec::DecodePlayerCreated(views[4])->id, 0x12345u);
    EXPECT_EQ(FrameCodec::DataFrom(views[5]), 0x12345u);
    EXPECT_EQ(views[5].size, FrameCodec::kDataHeader + sizeof payload);
    EXPECT_EQ(views[6].type, FrameCodec::Ping);
}

TEST(DplayFrames, PartialAndHostileInput)
{
    FrameCodec::Buffer join;
    FrameCodec::AppendJoin(join, kGuid);
    const Bytes half(join.begin(), join.begin() + 10);
    const struct {
        const char* what;
        Bytes bytes;
        FrameCodec::Status expected;
    } cases[] = {
        {"nothing yet", {}, FrameCodec::Status::NeedMore},
        {"part of the length", {30, 0}, FrameCodec::Status::NeedMore},
        {"body still coming", half, FrameCodec::Status::NeedMore},
        {"length 0", {0, 0, 0, 0, 7}, FrameCodec::Status::Malformed},
        {"length beyond the cap, no body sent", {0xFF, 0xFF, 0xFF, 0xFF}, FrameCodec::Status::Malformed},
        {"unknown type", {1, 0, 0, 0, 42}, FrameCodec::Status::Malformed},
        {"ping with a body", {2, 0, 0, 0, 7, 0}, FrameCodec::Status::Malformed},
        {"data shorter than its ids", {5, 0, 0, 0, 6, 1, 2, 3, 4}, FrameCodec::Status::Malformed},
        {"player reply of the wrong size", {12, 0, 0, 0, 5}, FrameCodec::Status::Malformed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FrameCodec::View v;
        std::size_t consumed = 0;
        EXPECT_EQ(Split(c.bytes, v, consumed), c.expected);
    }

    // Frames whose size fits but whose content lies.
    FrameCodec::Buffer badName;
    FrameCodec::AppendCreatePlayer(badName, 1, "abc");
    badName[9] = 200; // name length beyond the body
    FrameCodec::Buffer badMagic = join;
    badMagic[6] ^= 0x55;
    for (const auto* bytes : {&badName, &badMagic}) {
        FrameCodec::View v;
        std::size_t consumed = 0;
        ASSERT_EQ(Split(*bytes, v, consumed), FrameCodec::Status::Frame);
        EXPECT_FALSE(FrameCodec::DecodeCreatePlayer(v));
        EXPECT_FALSE(FrameCodec::DecodeJoin(v));
    }
}

TEST(DplayJoin, TheHostsAnswerReadFromTheStartOfItsBytes)
{
    const GUID other = {7, 7, 7, {7, 7, 7, 7, 7, 7, 7, 7}};
    const FrameCodec::JoinedInfo session{kGuid, other, DPSESSION_KEEPALIVE, 2, 1, "Label#/dir"};
    FrameCodec::Buffer joined, joinedThenData, refusedFull, refusedClaimingSuccess, joinedElsewhere, ping;
    FrameCodec::AppendJoined(joined, session);
    joinedThenData = joined;
    FrameCodec::AppendData(joinedThenData, 5, 6, "abc", 3);
    FrameCodec::AppendRefused(refusedFull, DPERR_ACCESSDENIED);
    FrameCodec::AppendRefused(refusedClaimingSuccess, DP_OK);
    FrameCodec::AppendJoined(joinedElsewhere, {other, other, 0, 2, 1, "x"});
    FrameCodec::AppendPing(ping);
    using Outcome = JoinAnswer::Outcome;
    const struct {
        const char* what;
        Bytes bytes;
        Outcome outcome;
        HRESULT result;
        std::size_t consumed;
    } cases[] = {
        {"nothing yet", {}, Outcome::NeedMore, DP_OK, 0},
        {"half a reply", Bytes(joined.begin(), joined.begin() + 20), Outcome::NeedMore, DP_OK, 0},
        {"joined", joined, Outcome::Joined, DP_OK, joined.size()},
        {"joined, traffic follows", joinedThenData, Outcome::Joined, DP_OK, joined.size()},
        {"refused", refusedFull, Outcome::Refused, DPERR_ACCESSDENIED, 0},
        {"refusal claiming success", refusedClaimingSuccess, Outcome::Refused, DPERR_NOCONNECTION, 0},
        {"joined to another session", joinedElsewhere, Outcome::Refused, DPERR_NOCONNECTION, 0},
        {"no answer but a ping", ping, Outcome::Refused, DPERR_NOCONNECTION, 0},
        {"length beyond the cap", {0xFF, 0xFF, 0xFF, 0xFF, 2}, Outcome::Refused, DPERR_NOCONNECTION, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto answer = ReadJoinAnswer(c.bytes.data(), c.bytes.size(), kGuid);
        EXPECT_EQ(answer.outcome, c.outcome);
        EXPECT_EQ(answer.result, c.result);
        EXPECT_EQ(answer.consumed, c.consumed);
        if (answer.outcome == Outcome::Joined) {
            EXPECT_EQ(answer.session.name, "Label#/dir");
        }
    }
}

TEST(DplayJoin, TheHostTakesOnlyAJoinOfItsOwnSessionWithRoom)
{
    const GUID other = {7, 7, 7, {7, 7, 7, 7, 7, 7, 7, 7}};
    FrameCodec::Buffer ours, theirs, ping;
    FrameCodec::AppendJoin(ours, kGuid);
    FrameCodec::AppendJoin(theirs, other);
    FrameCodec::AppendPing(ping);
    const struct {
        const char* what;
        const FrameCodec::Buffer& first;
        bool full;
        std::optional<HRESULT> expected;
    } cases[] = {
        {"join with room", ours, false, DP_OK},
        {"join when full", ours, true, DPERR_ACCESSDENIED},
        {"join of another session", theirs, false, DPERR_NOSESSIONS},
        {"no join at all", ping, false, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FrameCodec::View v;
        std::size_t consumed = 0;
        ASSERT_EQ(Split(c.first, v, consumed), FrameCodec::Status::Frame);
        EXPECT_EQ(AnswerJoin(v, kGuid, c.full), c.expected);
    }
}

TEST(DplayDatagrams, RoundTripAndRefusals)
{
    DiscoveryMessage reply;
    reply.kind = DiscoveryMessage::Kind::Reply;
    reply.instance = kGuid;
    reply.application = kGuid;
    reply.tcpPort = 40001;
    reply.sessionFlags = 0x2040;
    reply.maxPlayers = 2;
    reply.currentPlayers = 1;
    reply.name = "Ferrowarden 2.0 Session on pc#?";
    const Bytes good = reply.Encode();
    const auto back = DiscoveryMessage::Decode(good.data(), good.size());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->name, reply.name);
    EXPECT_EQ(back->tcpPort, 40001);
    EXPECT_EQ(back->instance, kGuid);

    EXPECT_FALSE(back->user);

    // The user fields follow the name, only when set.
    DiscoveryMessage withUser = reply;
    withUser.user = std::array<std::uint32_t, 4>{0x01585746, 0, 7, 0xFFFFFFFF};
    const Bytes told = withUser.Encode();
    ASSERT_EQ(told.size(), good.size() + 16);
    EXPECT_TRUE(std::equal(good.begin(), good.end(), told.begin()));
    const auto toldBack = DiscoveryMessage::Decode(told.data(), told.size());
    ASSERT_TRUE(toldBack);
    EXPECT_EQ(toldBack->name, reply.name);
    EXPECT_EQ(toldBack->user, withUser.user);

    DiscoveryMessage request;
    request.application = kGuid;
    const Bytes ask = request.Encode();
    ASSERT_TRUE(DiscoveryMessage::Decode(ask.data(), ask.size()));

    auto changed = [](Bytes b, std::size_t at, unsigned char value) {
        b[at] = value;
        return b;
    };
    Bytes longer = good;
    longer.push_back(0);
    const struct {
        const char* what;
        Bytes bytes;
    } refused[] = {
        {"empty", {}},
        {"head only", Bytes(good.begin(), good.begin() + 8)},
        {"one byte short", Bytes(good.begin(), good.end() - 1)},
        {"one byte long", longer},
        {"user fields one byte short", Bytes(told.begin(), told.end() - 1)},
        {"user fields one byte long",
         [&] {
             Bytes b = told;
             b.push_back(0);
             return b;
         }()},
        {"wrong magic", changed(good, 0, 'X')},
        {"other version", changed(good, 4, 2)},
        {"unknown kind", changed(good, 5, 9)},
        {"name length past the end", changed(good, 43, 0x40)},
        {"port 0", changed(changed(good, 40, 0), 41, 0)},
        {"request with a tail",
         [&] {
             Bytes b = ask;
             b.push_back(1);
             return b;
         }()},
    };
    for (const auto& r : refused) {
        SCOPED_TRACE(r.what);
        EXPECT_FALSE(DiscoveryMessage::Decode(r.bytes.data(), r.bytes.size()));
    }
}

TEST(DplayAddress, TwoCallSizeProtocolAndParse)
{
    DirectPlayLobby lobby;
    GUID sp = DPSPGUID_TCPIP;
    char host[] = "192.168.1.5";
    WORD port = 47624;
    DPCOMPOUNDADDRESSELEMENT e[] = {
        {DPAID_ServiceProvider, sizeof(GUID), &sp}, {DPAID_INet, sizeof host, host}, {DPAID_INetPort, 2, &port}};
    DWORD size = 0;
    ASSERT_EQ(lobby.CreateCompoundAddress(e, 3, nullptr, &size), DPERR_BUFFERTOOSMALL);
    Bytes block(size);
    DWORD tooSmall = size - 1;
    EXPECT_EQ(lobby.CreateCompoundAddress(e, 3, block.data(), &tooSmall), DPERR_BUFFERTOOSMALL);
    EXPECT_EQ(tooSmall, size);
    ASSERT_EQ(lobby.CreateCompoundAddress(e, 3, block.data(), &size), DP_OK);

    const auto parsed = ParseCompoundAddress(block.data());
    ASSERT_TRUE(parsed);
    ASSERT_EQ(parsed->size(), 3u);
    EXPECT_EQ((*parsed)[0].type, DPAID_ServiceProvider);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>((*parsed)[1].data.data())), "192.168.1.5");
    EXPECT_EQ((*parsed)[2].data.size(), 2u);

    EXPECT_EQ(lobby.CreateCompoundAddress(nullptr, 0, nullptr, &size), DPERR_INVALIDPARAMS);
    Bytes cut = block;
    cut[24 + 16 + 1] = 0x10; // the first element claims more data than the block holds
    EXPECT_FALSE(ParseCompoundAddress(cut.data()));
    Bytes notAnAddress(64, 0);
    EXPECT_FALSE(ParseCompoundAddress(notAnAddress.data()));
}
