#pragma once

#include "transfer/copyprogress.h"
#include "transfer/messages.h"
#include "transfer/receivedfile.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>

class ReceivingView;

// How the current (or last) copy went, for a front end that must say whether it worked.
struct ReceiveSummary {
    int announcedFiles = 0;         // file count of the last session data message
    int completedFiles = 0;         // files written in full and put in place
    int filesWithCorruptBlocks = 0; // files discarded because blocks were corrupt
    int failedFiles = 0;            // refused, not creatable, not writable, or cut off
};

// The server's half of a copy: fed one transfer message at a time (HandleTransferMessage),
// it writes each announced file into the receive directory and reports every step to its
// view. It never answers the client.
//
// Besides the plain protocol it keeps these rules:
// - a received name that is empty, "." or "..", or holds "/", "\" or a control character
//   is refused with a log line; nothing is written outside the receive directory, and no
//   received name reaches a log line or a label unescaped;
// - a file is written into a temporary file and renamed over its name only when complete;
//   a file cut off (next header, next copy, CloseCurrentFile before the end) leaves an
//   existing file untouched and its temporary file removed;
// - a corrupt block is written and counted towards completion, so its file completes; the
//   file is then discarded, with a line that tells how many blocks were corrupt, and an
//   existing file of its name stays untouched;
// - a file that was not written (refused, not creatable, discarded) never gets the line
//   "Transmission Complete!"; one line says that its data was discarded;
// - messages shorter than their type, counts above the announced block size or above
//   what the announced file still needs, data packets before any file header, and block
//   sizes outside 1 to 2048 are dropped with a log line;
// - a file larger than the free space of the receive directory is refused like a file
//   that cannot be created;
// - a data packet count of accepted packets and the total bar restart with each session
//   data message, the file bar and its step counter with each file header.
class ReceivingEngine {
public:
    explicit ReceivingEngine(ReceivingView& view);
    ~ReceivingEngine();

    ReceivingEngine(const ReceivingEngine&) = delete;
    ReceivingEngine& operator=(const ReceivingEngine&) = delete;

    // The directory received files go into: empty (the current directory) or ending in "/".
    void SetReceiveDirectory(const QString& directory);
    // Removes, with a log line each, the temporary files that a receiver killed outright
    // left in the receive directory (none that a running receiver holds).
    void RemoveLeftovers();
    const QString& ReceiveDirectory() const { return m_receiveDirectory; }
    // How the free space of a directory is measured (statvfs unless a test fixes it): bytes,
    // or -1 when unknown.
    using FreeSpaceProbe = std::function<qint64(const QByteArray& directory)>;
    void SetFreeSpaceProbe(FreeSpaceProbe probe);
    // "TCP/IP" or "IPX", the server's own transport, for the log line of a new copy.
    void SetTransportName(const QString& name) { m_transportName = name; }

    // Handles one message as it arrived. Data packets are not copied: they wait where they
    // lie, to be deciphered there, checked several at a time (the checksum and cipher
    // interleave blocks) and written to the file straight from there, many in one go. So
    // the bytes of a data packet must stay put, and may be changed, until Flush: the
    // caller keeps them until it calls Flush, as the endpoint keeps a batch. The engine
    // flushes by itself at the end of a file, before any other message and when
    // kPendingPackets wait.
    void HandleTransferMessage(void* data, qsizetype size);
    // Checks, counts and writes the data packets still waiting; call it when the endpoint
    // has delivered what it had, and before the bytes of what it delivered go.
    void Flush();

    // Data packets that may wait for Flush.
    static constexpr std::size_t kPendingPackets = 512;

    // Ends the open file, if any: a complete file is put in place, an incomplete one is
    // discarded with a log line. Call it when the session is lost or the program closes.
    void CloseCurrentFile();

    bool FileOpen() const { return m_file.IsOpen(); }
    const ReceiveSummary& Summary() const { return m_summary; }
    // True when every announced file of the last copy was put in place without a
    // corrupt block and none is still open.
    bool CopySucceeded() const;

private:
    void sessionData(const SessionData& session);
    void fileHeader(const QByteArray& name, std::int32_t size, std::int32_t number);
    void dataPacket(std::uint8_t* p, std::int32_t count, std::uint32_t checksum);
    bool createFile(const QByteArray& name);
    void fileEnded();
    void commitFile();

    ReceivingView& m_view;
    QString m_receiveDirectory;
    QByteArray m_receiveDirectoryBytes;
    QString m_transportName = QStringLiteral("TCP/IP");
    FreeSpaceProbe m_freeSpace;

    std::int16_t m_transferBlockSize = 2048;
    bool m_transferEncrypted = false;
    std::uint16_t m_transferKey = 0;
    CopyProgress m_progress;

    // The waiting packets: their data areas where they arrived, and what they announce.
    std::uint8_t* m_areas[kPendingPackets] = {};
    std::size_t m_counts[kPendingPackets] = {};
    std::uint32_t m_checksums[kPendingPackets] = {};
    std::size_t m_pendingCount = 0;

    // Where the announced file stands.
    enum class FileState {
        None,       // no file announced in this copy yet
        Receiving,  // written into its temporary file
        Discarding, // not written (refused, cannot be created); its bytes are still counted
        Complete,   // put in place
        Failed,     // not put in place; its one line has been logged
    };
    FileState m_state = FileState::None;
    ReceivedFile m_file;
    QString m_fileName;   // as shown: escaped
    QString m_targetPath; // as shown: escaped
    int m_corruptBlocks = 0;
    bool m_writeErrorLogged = false;
    ReceiveSummary m_summary;
};
