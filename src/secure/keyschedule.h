#pragma once

#include "secure/securemessages.h"

#include <QByteArrayView>

// The keys of one secure copy, derived from the handshake: HKDF with HMAC-SHA-512, salted
// with the hash of the transcript so far (both ends' Hello and Reply up to its tag), from
// the X25519 secret and, when a code was used, CPace's intermediate session key. Each
// direction has its own record key; each end its own confirmation key.
struct KeySchedule {
    Bytes32 clientToServer{};
    Bytes32 serverToClient{};
    Bytes32 clientConfirm{};
    Bytes32 serverConfirm{};

    static KeySchedule Derive(const Bytes32& exchanged, QByteArrayView isk, const Bytes64& transcript);
    ~KeySchedule();

    // The hash the server's tag and signature cover: the instance GUID, the Hello and the
    // Reply up to its tag. The client's cover the whole Reply instead.
    static Bytes64 TranscriptHash(QByteArrayView instance, QByteArrayView hello, QByteArrayView reply);
    // HMAC-SHA-512 cut to 256 bits over a transcript hash.
    static Bytes32 Tag(const Bytes32& key, const Bytes64& transcript);
    static bool SameTag(const Bytes32& a, const Bytes32& b);
    // What each end signs with its identity: a label for its role, then the transcript hash.
    static QByteArray SignedText(bool server, const Bytes64& transcript);
};
