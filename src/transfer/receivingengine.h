#pragma once

#include "transfer/copyprogress.h"
#include "transfer/existingfiles.h"
#include "transfer/extendedcopy.h"
#include "transfer/extensionmessages.h"
#include "transfer/fileadmission.h"
#include "transfer/messages.h"
#include "transfer/partialfile.h"
#include "transfer/receivedfile.h"
#include "transfer/receivesummary.h"
#include "transfer/receivetree.h"
#include "transfer/resumereceiver.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

class MessageSink;
class ReceivingView;

// The server's half of a copy: fed one transfer message at a time (HandleTransferMessage),
// it writes each announced file into the receive directory and reports every step to its
// view. It answers the client only in an extended copy (below).
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
// - a file that loses a data packet (or a run of zeros) that way cannot be whole: it is
//   discarded at once, with a line that says so, and the rest of its data goes nowhere;
// - a file larger than the free space of the receive directory is refused like a file
//   that cannot be created;
// - a data packet count of accepted packets and the total bar restart with each session
//   data message, the file bar and its step counter with each file header;
// - a file larger than the process may write (RLIMIT_FSIZE) is refused like one that
//   cannot be created;
// - a file whose name is taken is dealt with as SetExistingFiles says (overwrite unless
//   told otherwise).
// The rules that let a file in (name, size, free space, size limit, a name that is taken)
// are FileAdmission's; the engine keeps the message sequences and the file's states.
//
// With the extension offered (SetExtensionOffered), a copy that starts with the extension's
// Copy start message (extensionmessages.h) may also carry 64-bit sizes, relative paths,
// folders and runs of zeros, and is answered through the answer sink: a receipt for every
// file and folder once its outcome is known, and a summary when the copy ends, after its
// last file is in place. Paths are checked part by part and followed without links
// (ReceiveTree). Without the offer the extension's messages are unknown types, as they are
// to a program of an earlier build; a copy in the design's messages is never answered.
//
// A copy of version 2 (CarriesResume) also sets every file's and folder's modification time
// and permission bits (never set-user-ID or set-group-ID; a folder that was there keeps its
// permissions; folder times are set at the copy's end, after their contents), ends every file
// with the sender's digest of it, which must match what arrived, and resumes: a file of
// kResumeFrom bytes or more is written as a partial file under ".ferrowarden-partial" (never
// under its name until complete and checked), kept there when it is cut off, and offered to
// the next copy of it from the same sender (PartialFile).
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
    // How the free space of a directory and the largest file this process may write are
    // measured (FileAdmission; statvfs and RLIMIT_FSIZE unless a test fixes them).
    using FreeSpaceProbe = FileAdmission::FreeSpaceProbe;
    void SetFreeSpaceProbe(FreeSpaceProbe probe) { m_admission.SetFreeSpaceProbe(std::move(probe)); }
    using FileSizeLimitProbe = FileAdmission::FileSizeLimitProbe;
    void SetFileSizeLimitProbe(FileSizeLimitProbe probe) { m_admission.SetFileSizeLimitProbe(std::move(probe)); }
    // "TCP/IP" or "IPX", the server's own transport, for the log line of a new copy.
    void SetTransportName(const QString& name) { m_transportName = name; }
    // Whether the extension is offered (off until set), and where its answers go.
    void SetExtensionOffered(bool offered) { m_extensionOffered = offered; }
    bool ExtensionOffered() const { return m_extensionOffered; }
    void SetAnswerSink(MessageSink* sink) { m_answers = sink; }
    // The messages arrive through sealed records, which authenticate every byte already: the
    // block checksum is then neither checked nor expected (a secure copy's sender leaves it 0).
    void SetAuthenticated(bool authenticated) { m_authenticated = authenticated; }
    void SetExistingFiles(ExistingFiles policy) { m_admission.SetExistingFiles(policy); }
    // Whether files cut off are kept for a later copy to resume (on until set), and the name
    // of the sender they are kept for (what makes a partial file its own).
    void SetKeepPartials(bool keep) { m_resume.SetKeepPartials(keep); }
    void SetSenderName(const QByteArray& name) { m_resume.SetSenderName(name); }
    // When hosting starts: removes, with a log line each, partial files too old or beyond
    // `budget` bytes in all (-1: half the room the disk would have without them).
    void RemoveOldPartials(qint64 budget = -1);

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
    // discarded with a log line. Call it when the client has left, the session is lost or
    // the program closes: nobody is left to hear about the file, so no receipt goes out.
    void CloseCurrentFile();

    bool FileOpen() const { return m_file.IsOpen(); }
    const ReceiveSummary& Summary() const { return m_summary; }
    // True when every announced file of the last copy was put in place without a
    // corrupt block and none is still open.
    bool CopySucceeded() const;

private:
    friend class ExtendedCopy;
    friend class ResumeReceiver;

    void sessionData(const SessionData& session);
    void fileHeader(const QByteArray& name, std::int32_t size, std::int32_t number);
    void dataPacket(std::uint8_t* p, std::int32_t count, std::uint32_t checksum);
    // The part of a file header both protocols share: counters, labels and log lines.
    void beginFile(const QByteArray& name, qint64 size, int number, const QString& shownSize);
    // Lets the announced file in (FileAdmission) and starts receiving it, or says why not;
    // a refusal's note is kept for the file's receipt.
    Admission admitFile(const QByteArray& target);
    // The folder part of the extended entry's path, "" or ending in "/".
    QByteArray entryFolder() const;
    void refuseFile(const Admission& admission);
    // A data packet of the open file was dropped: the file is discarded.
    void dataLost();
    void fileEnded();
    void commitFile();
    // Cuts off the open file, if any, as a new message from the client does: in an extended
    // copy its receipt goes out.
    void cutOffFile();

    // The extension: its messages are ExtendedCopy's.
    // Counts the file's outcome and, in an extended copy, sends its receipt.
    void fileOutcome(Outcome outcome, std::uint8_t detail, const QByteArray& storedAs = QByteArray());
    void answer(const QByteArray& message);
    // Version 2: its own messages are ResumeReceiver's.
    bool carriesResume() const { return m_extended && CarriesResume(m_copyVersion); }

    ReceivingView& m_view;
    QString m_receiveDirectory;
    QByteArray m_receiveDirectoryBytes;
    QString m_transportName = QStringLiteral("TCP/IP");
    FileAdmission m_admission;
    bool m_extensionOffered = false;
    bool m_authenticated = false;
    MessageSink* m_answers = nullptr;

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
        None,        // no file announced in this copy yet
        Receiving,   // written into its temporary file
        AwaitingEnd, // all its bytes are written; the sender's digest is still to come
        Discarding,  // not written (refused, cannot be created); its bytes are still counted
        Complete,    // put in place
        Failed,      // not put in place; its one line has been logged
    };
    FileState m_state = FileState::None;
    ReceivedFile m_file;
    QString m_fileName;   // as shown: escaped
    QString m_targetPath; // as shown: escaped
    int m_corruptBlocks = 0;
    bool m_writeErrorLogged = false;
    bool m_skipping = false; // the file's name is taken and the existing file stays
    QString m_note;          // the server's words on why the file failed, for its receipt
    ReceiveSummary m_summary;

    // The extended copy under way, if any.
    bool m_extended = false;
    bool m_answerFailed = false;
    ReceiveTree m_tree;
    QByteArray m_entryPath; // the current file's path as sent
    std::uint32_t m_entry = 0;
    std::uint64_t m_announcedSize = 0;
    int m_fileIndex = 0;

    // Version 2.
    std::uint16_t m_copyVersion = 1;
    ExtendedCopy m_extendedCopy;
    ResumeReceiver m_resume;
    PartialFile& m_partial; // m_resume's
};
