#pragma once

#include "transfer/copyprogress.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>

struct iovec;
class MessageSink;
class SendingView;

// The client's half of a copy: after the caller has joined a session, it sends the
// session data, then every file as a file header and its data packets, through the sink
// (to all players, guaranteed), and reports every step to its view. Nothing comes back.
//
// Besides the plain protocol it keeps these rules:
// - a file of 2 GiB or more is refused before anything of the copy is sent (its size does
//   not fit the wire's signed 32-bit field);
// - files are opened by their full path; the wire carries the name after the last "/";
// - exactly the size announced in a file's header is sent; a file that shrinks or cannot
//   be read while being sent ends the copy with an error instead of a short file;
// - the source file is closed when a copy ends with an error;
// - the packet count and the total bar restart with each copy, the file bar with each
//   file; the data area beyond a packet's valid bytes is zero;
// - "Transmission complete!" is shown only once the sink has confirmed that the receiver
//   read everything (MessageSink::Finish); otherwise the copy ends with an error.
class SendingEngine {
public:
    using KeySource = std::function<std::uint16_t()>;

    // `keySource` makes the key of each encrypted copy (MakeRandomKey unless a test fixes it).
    SendingEngine(MessageSink& sink, SendingView& view, KeySource keySource = {});
    ~SendingEngine();

    SendingEngine(const SendingEngine&) = delete;
    SendingEngine& operator=(const SendingEngine&) = delete;

    // The settings a copy uses: bytes per block (1 to 2048), encryption, and the transport's
    // name ("TCP/IP" or "IPX") for the log.
    void SetBlocksize(std::int16_t blocksize) { m_blocksize = blocksize; }
    void SetEncrypt(bool encrypt) { m_encrypt = encrypt; }
    void SetTransportName(const QString& name) { m_transportName = name; }

    // Full paths to send, in order; StartCopy appends to it, the caller empties it.
    QStringList& FilesToSend() { return m_filesToSend; }

    // Everything after the join: logs the file list and settings, appends `selected` to
    // FilesToSend and sends them all. Throws AppError when the copy fails.
    void StartCopy(const QStringList& selected);
    void SendAllFiles();
    void SendSessionData();
    // Sends the file at the full path `path`.
    void SendFile(const QString& path);
    // Sends the header of the open file under the bare `name`.
    void SendFileHeader(const QString& name);
    // Sends one data packet: `block` holds the 2048-byte data area as it goes on the wire.
    // The copy itself sends its packets a batch at a time; this is the single form.
    bool SendDataPacket(const std::uint8_t* block, std::int32_t count, std::uint32_t checksum);
    // The size of the file at `path`, or -1 (after an error box) when it cannot be opened.
    qint64 GetFileSize(const QString& path);
    void CloseCurrentFile();

    std::uint16_t SessionKey() const { return m_sessionKey; }
    qint64 SentPackets() const { return m_progress.Packets(); }

private:
    // Data packets built and sent together.
    static constexpr std::size_t kBatch = 64;

    void sendFileData();
    void buildPackets(std::uint8_t* base, std::size_t stride, const std::int32_t* counts,
                      std::size_t n);
    void readFully(struct iovec* iov, int count);
    void sendMessage(const std::uint8_t* message, std::uint32_t size);
    void packetSent(std::int32_t count);

    MessageSink& m_sink;
    SendingView& m_view;
    KeySource m_keySource;
    std::int16_t m_blocksize = 2048;
    bool m_encrypt = false;
    QString m_transportName = QStringLiteral("TCP/IP");

    QStringList m_filesToSend;
    std::uint16_t m_sessionKey = 0;
    int m_currentFileNumber = 0;
    int m_fd = -1;
    QString m_currentPath;
    qint64 m_currentFileSize = 0;

    CopyProgress m_progress;

    // A batch of data packets, where the sink offers no room of its own.
    std::unique_ptr<std::uint8_t[]> m_packets;
};
