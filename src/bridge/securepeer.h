#pragma once

#include <QString>

#include <functional>

struct SecureSession;
class TrustedDevices;

// What both ends do once a handshake is done: say who the other end proved to be (its name,
// how: paired, trusted or not authenticated, its fingerprint and the cipher), and keep it in
// `trusted` (may be null): a pairing adds it, a trusted device's copy notes when it was seen.
// `direction` is "to" or "from", as the line reads.
void NotePeer(const SecureSession& session, const QString& direction, TrustedDevices* trusted,
              const std::function<void(const QString&)>& report);
