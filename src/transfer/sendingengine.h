#pragma once

#include "transfer/blockreader.h"
#include "transfer/chunkdigests.h"
#include "transfer/copyprogress.h"
#include "transfer/entrysource.h"
#include "transfer/extensionmessages.h"
#include "transfer/sendentry.h"
#include "transfer/serveranswers.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

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
//
// With the extension (SetExtension, when the host offers it) a copy goes as the
// extension's messages (extensionmessages.h): 64-bit sizes, relative paths and folders, and
// runs of zeros where the file has holes; then it waits, bounded, for the server's summary.
// The server's answers come in through HandleAnswer (ServerAnswers): each is logged, a file
// refused while it is being sent is not sent further, and "Transmission complete!" is shown
// only when every file was stored (Problems() lists the others). The files are read by a
// BlockReader.
//
// In a copy of version 2 (CarriesResume) every file and folder goes with its modification
// time and permission bits, and every file ends with its digest (ChunkDigests). For a file of
// kResumeFrom bytes or more the sender waits for the server's resume offer before the data:
// the chunks the server holds that match this file's are kept (one line says how many bytes),
// only the others are sent.
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
    // The messages go out in sealed records, which authenticate every byte: the block
    // checksum is left 0 instead of computed.
    void SetAuthenticated(bool authenticated) { m_reader.SetChecksummed(!authenticated); }
    void SetTransportName(const QString& name) { m_transportName = name; }

    // The version of the extension to speak (the host's offer), or 0 for the design's
    // messages only.
    void SetExtension(std::uint16_t version) { m_extension = version; }
    std::uint16_t Extension() const { return m_extension; }
    // The version of the extension the host offers, 0 for none. A copy to a host that offers
    // none says so (OlderProtocolNotice) before it starts; without this call it says nothing.
    void SetServerOffer(std::uint16_t version) { m_serverOffer = version; }
    // The line that tells the user a copy goes without what only the extension carries.
    static QString OlderProtocolNotice();
    // A careful copy (the last copy to this server was cut off, and the server answers every
    // file): every file waits for the server's word before its data, so that the server can
    // say it has the file already, unchanged, and nothing of it is sent.
    void SetCareful(bool careful) { m_careful = careful; }
    // Files of the last copy the server had already, unchanged; whether the server confirmed
    // the last copy with its summary (the copy ran through to its end).
    int FilesAlreadyThere() const { return m_answers.FilesAlreadyThere(); }
    bool CopyConfirmed() const { return m_answers.SummaryArrived(); }
    // How long to wait for the server's next answer once everything is sent.
    void SetAnswerTimeout(int milliseconds) { m_answerTimeout = milliseconds; }

    // Full paths to send, in order; StartCopy appends to it, the caller empties it.
    QStringList& FilesToSend() { return m_filesToSend; }

    // Everything after the join: logs the file list and settings, appends `selected` to
    // FilesToSend and sends them all. Throws AppError when the copy fails.
    void StartCopy(const QStringList& selected);
    // The same for entries with relative paths; folders need the extension.
    void StartCopy(const QList<SendEntry>& entries);
    // The same for entries pulled one at a time from `source` (which the engine uses until
    // the copy ends): only the entries in flight are held, whatever the number of files.
    void StartCopy(EntrySource& source);
    void SendAllFiles();
    void SendSessionData();
    // Sends the file at the full path `path`.
    void SendFile(const QString& path);
    // Sends the header of the open file under the bare `name`.
    void SendFileHeader(const QString& name);
    // The size of the file at `path`, or -1 (after an error box) when it cannot be opened.
    qint64 GetFileSize(const QString& path);
    void CloseCurrentFile();

    std::uint16_t SessionKey() const { return m_sessionKey; }

    // One message from the server (a receipt or the summary); anything else is dropped
    // with a log line.
    void HandleAnswer(const void* data, qsizetype size);
    // The session is gone: a wait for answers ends.
    void ConnectionLost() { m_answers.ConnectionLost(); }
    // After an extended copy: the entries the server did not store (refused, discarded, or
    // never answered for). Skipped files count as stored: the server keeps its own.
    const QList<EntryProblem>& Problems() const { return m_answers.Problems(); }
    // Bytes of the last copy that the server held already, and were not sent again; bytes
    // that went out in data packets.
    qint64 BytesKept() const { return m_bytesKept; }
    qint64 BytesSent() const { return m_bytesSent; }
    // The connection was lost during the last copy (ConnectionLost, or a send that failed).
    bool ConnectionWasLost() const { return m_answers.ConnectionWasLost(); }
    // After an extended copy of version 2 that was cut off: the files the server stored (or
    // skipped), which need not go again (every folder goes again, so that its time is set at
    // the end of the copy that ends). A source made with them leaves them out.
    const StoredFiles& Stored() const { return m_answers.Stored(); }
    // How many files of the last copy the server stored or skipped, and their bytes.
    int FilesStored() const { return m_answers.FilesStored(); }
    qint64 BytesStored() const { return m_answers.BytesStored(); }

private:
    // Data packets built and sent together: rooms of about half a megabyte. Against rooms of
    // 64 packets they hand a quarter as many batches to the network thread, and took 15 to
    // 25% less CPU per GiB on each side; 512 packets gained nothing more.
    static constexpr std::size_t kBatch = 256;
    static_assert(kBatch <= BlockReader::kMaxBatch);

    // The lines and bars before a copy of `fileCount` files; `firstFile` is shown first.
    void prepareCopy(int fileCount, const QString& firstFile);
    void sendExtended();
    // The next entry of the extended copy: the files listed before (under their bare names),
    // then the source's.
    bool nextEntry(SendEntry& entry);
    void rewindEntries();
    // The counts of the copy's entries: the source's own, or found in a pass over them.
    EntryCounts countEntries();
    void sendEntryFile(std::uint32_t number, const SendEntry& entry);
    void sendSparseFileData();
    void sendFileData(qint64 length, bool last);
    void sendMessage(const std::uint8_t* message, std::uint32_t size);
    void sendMessage(const QByteArray& message);
    // A file sent under its bare name, as the plain protocol names files.
    static SendEntry bareEntry(const QString& path);
    void packetSent(std::int32_t count);
    // Version 2.
    void sendFolderAttributes(std::uint32_t entry, const QString& path);
    // The server's resume offer for the file being sent, or nothing when it answered with a
    // receipt instead (it refused the file).
    std::optional<ResumeOffer> waitForOffer(std::uint32_t entry);
    void sendResumed(const ResumeOffer& offer);

    MessageSink& m_sink;
    SendingView& m_view;
    KeySource m_keySource;
    std::int16_t m_blocksize = 2048;
    bool m_encrypt = false;
    QString m_transportName = QStringLiteral("TCP/IP");

    QStringList m_filesToSend;
    std::uint16_t m_sessionKey = 0;
    int m_currentFileNumber = 0;
    BlockReader m_reader; // the file being sent

    CopyProgress m_progress;

    // A batch of data packets, where the sink offers no room of its own.
    std::unique_ptr<std::uint8_t[]> m_packets;

    // The extended copy.
    std::uint16_t m_extension = 0;
    std::optional<std::uint16_t> m_serverOffer; // unknown until SetServerOffer
    int m_answerTimeout = 60000;
    EntrySource* m_source = nullptr; // the copy's entries after FilesToSend's
    EntryCounts m_counts;
    qsizetype m_listedNext = 0; // the next of FilesToSend to go as an entry
    const SendEntry* m_current = nullptr;
    bool m_answersExpected = false; // an extended copy with entries was started
    ServerAnswers m_answers;
    QElapsedTimer m_answersLetIn; // between entries

    // Version 2.
    ChunkDigests m_digests;
    bool m_careful = false;
    qint64 m_bytesKept = 0;
    qint64 m_bytesSent = 0;
};
