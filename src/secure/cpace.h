#pragma once

#include "secure/securemessages.h"

#include <QByteArray>
#include <QByteArrayView>

#include <initializer_list>
#include <optional>

// One party's run of CPace over ristretto255 with SHA-512, the balanced password-
// authenticated key exchange: both ends derive a generator from the pairing code, a
// channel identifier and a session id, send one share each, and end with the same
// intermediate session key (ISK) only when they used the same code. An attacker in the
// middle gets one guess per run and nothing to test offline. Composed of libsodium's
// ristretto255 and SHA-512 exactly in the steps CPace defines; nothing of our own.
class CPace {
public:
    static constexpr char kDsi[] = "CPaceRistretto255";

    // Picks this party's secret scalar and computes its share from the generator.
    CPace(QByteArrayView code, QByteArrayView channel, QByteArrayView sessionId);
    ~CPace();
    CPace(const CPace&) = delete;
    CPace& operator=(const CPace&) = delete;

    const Bytes32& share() const { return m_share; }

    // The ISK from the other party's share, with each party's associated data in the
    // initiator-responder order (the initiator's share first). nullopt when that share is
    // no valid point or yields the identity element: the run is then abandoned.
    std::optional<Bytes64> sessionKey(const Bytes32& peerShare, QByteArrayView ownData, QByteArrayView peerData,
                                      bool initiator) const;

    // lv_cat: each part preceded by its length in LEB128.
    static QByteArray LvCat(std::initializer_list<QByteArrayView> parts);
    // The string the generator is hashed from: lv_cat(DSI, code, zero padding, channel,
    // session id), padded so that DSI and code fill SHA-512's first block.
    static QByteArray GeneratorString(QByteArrayView code, QByteArrayView channel, QByteArrayView sessionId);

private:
    QByteArray m_sessionId;
    std::array<std::uint8_t, 32> m_scalar{};
    Bytes32 m_share{};
};
