#pragma once

// A bad link of our own between a `send` and a `serve` on loopback (the kernels here have no
// netem). It answers searches in the server's name, its replies naming its own TCP port, and
// relays every connection in pieces of random size (down to single bytes), with delays,
// stalls and cuts on demand. It runs on a thread of its own and never blocks on either end.

#include <QByteArray>

#include <atomic>
#include <functional>
#include <vector>
#include <cstdint>
#include <mutex>
#include <thread>

class FlakyProxy {
public:
    struct Shape {
        int maxPiece = 1 << 16;    // each write carries 1 to maxPiece bytes, at random
        int delayMicroseconds = 0; // slept before about one piece in eight
    };

    // Searches reach the proxy at `discoveryPort` (on 127.0.0.1); it asks the server at
    // `serverDiscoveryPort`.
    FlakyProxy(std::uint16_t discoveryPort, std::uint16_t serverDiscoveryPort, std::uint32_t seed);
    ~FlakyProxy();
    FlakyProxy(const FlakyProxy&) = delete;
    FlakyProxy& operator=(const FlakyProxy&) = delete;

    bool Listening() const { return m_listenFd >= 0 && m_udpFd >= 0; }
    void SetShape(Shape shape);
    // While stalled, nothing moves in either direction; connections stay open.
    void Stall(bool stalled) { m_stalled = stalled; }
    // Resets every relayed connection on both sides, as a link that breaks.
    void Cut() { m_cut = true; }
    // Sends the `number`th data packet (counted from 1; in a secure copy, the sealed record)
    // of each connection accepted from now on to the server twice in a row, as a link that
    // delivers a frame again; 0 for none.
    // Such connections are relayed frame by frame (docs/session-protocol.md).
    void DuplicateDataPacket(int number) { m_duplicatePacket = number; }
    // Hands every transfer message a client sends in a data frame (on connections accepted
    // from now on) to `edit`, numbered from 0, and passes on what it returns in its place:
    // nothing drops it, two messages replay one. Such connections are relayed frame by frame.
    using Edit = std::function<std::vector<QByteArray>(int index, const QByteArray& message)>;
    void EditMessages(Edit edit);
    // Replies to searches lose the session's user fields (the extension's offer and the
    // security word read zero), as an attacker on the link could make them.
    void StripOffer(bool strip) { m_stripOffer = strip; }
    // Data packets sent twice so far.
    int Duplicated() const { return m_duplicated; }
    // Bytes relayed from clients to the server so far.
    std::int64_t Relayed() const { return m_relayed; }
    // Connections accepted so far.
    int Accepted() const { return m_accepted; }

private:
    void run();

    std::uint16_t m_serverDiscoveryPort;
    int m_udpFd = -1;
    int m_listenFd = -1;
    std::uint16_t m_tcpPort = 0;
    std::uint32_t m_seed;
    std::mutex m_shapeMutex;
    Shape m_shape;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_stalled{false};
    std::atomic<bool> m_cut{false};
    std::atomic<std::int64_t> m_relayed{0};
    std::atomic<int> m_accepted{0};
    std::atomic<int> m_duplicatePacket{0};
    std::atomic<int> m_duplicated{0};
    std::atomic<bool> m_stripOffer{false};
    Edit m_edit; // under m_shapeMutex
    std::thread m_thread;
};
