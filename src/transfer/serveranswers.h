#pragma once

#include "transfer/extensionmessages.h"
#include "transfer/sendentry.h"
#include "transfer/storedfiles.h"

#include <QElapsedTimer>
#include <QList>
#include <QString>

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <utility>
#include <vector>

class SendingView;

// What the server answers to an extended copy: a receipt for every entry once its outcome is
// known, and a summary at the end. Each answer is checked against what was sent, logged in
// words, and kept; a file the server gives up while it is being sent is marked so that the
// rest of it is not sent. The sender's own lines ("Transmitting file ..." up to its "Done")
// are written through OpenLine and CloseLine: an answer that comes while one is open waits
// for its end.
//
// Nothing is kept for every entry of a copy: the names of the entries sent and not yet
// answered, the problems, and (for a copy that may go on after a cut) the keys of the files
// stored.
class ServerAnswers {
public:
    explicit ServerAnswers(SendingView& view) : m_view(view) {}

    // A new copy: no receipts, no summary, no problems, no lost connection. `keepStored`: the
    // keys of the files stored are kept (Stored), for about `files` files.
    void Begin(bool keepStored, std::uint32_t files = 0);
    // The entry being sent now, from 1, under `name`: receipts for later ones are dropped.
    void SetCurrentEntry(std::uint32_t entry, const QByteArray& name, bool folder);
    // The current file as it is sent: its size and modification time.
    void SetCurrentFile(qint64 size, qint64 modifiedNs);

    // One message from the server. `expected`: an extended copy is under way; otherwise
    // every message is dropped with a log line.
    void Handle(const void* data, qsizetype size, bool expected);
    // The session is gone: a wait for the summary ends.
    void ConnectionLost() { m_connectionLost = true; }
    bool ConnectionWasLost() const { return m_connectionLost; }

    // Version 2: a resume offer for file `entry` of `size` bytes may come now (entry 0: none);
    // one that does not fit it is dropped with a log line.
    void ExpectOffer(std::uint32_t entry, qint64 size);
    bool OfferArrived() const { return m_offer.has_value(); }
    std::optional<ResumeOffer> TakeOffer();
    // Whether a receipt for `entry` came.
    bool Answered(std::uint32_t entry) const;
    // The files of this copy the server stored or skipped (their keys, when Begin asked for
    // them), how many and their bytes as sent: after a cut copy, what need not go again.
    const StoredFiles& Stored() const { return m_stored; }
    int FilesStored() const { return m_filesStored; }
    qint64 BytesStored() const { return m_bytesStored; }

    void OpenLine(const QString& text);
    // Appends "Done" to the open line, then writes the answers that waited for it.
    void CloseLine();
    // The open line ends unfinished (the copy failed); nothing is appended to it.
    void DropLine() { m_lineOpen = false; }

    // The server gave up the file being sent (refused, skipped or discarded it).
    bool FileAbandoned() const { return m_abandonFile; }
    void ClearAbandoned() { m_abandonFile = false; }

    // Lets answers in until the summary has come; throws AppError when the connection is
    // lost first, or when the server says nothing for `timeoutMs`.
    void WaitForSummary(int timeoutMs);
    // The server confirmed the copy with its summary.
    bool SummaryArrived() const { return m_summary.has_value(); }
    // Files of this copy the server had already, unchanged (careful entries); whether file
    // `entry` is one of them.
    int FilesAlreadyThere() const { return m_alreadyThere; }
    bool AlreadyThere(std::uint32_t entry) const { return entry != 0 && entry == m_alreadyThereEntry; }
    // After the copy: the entries not stored (refused, discarded, or never answered for).
    // Skipped files count as stored: the server keeps its own.
    const QList<EntryProblem>& CollectProblems();
    const QList<EntryProblem>& Problems() const { return m_problems; }

private:
    void noteReceipt(const Receipt& receipt);
    void noteOffer(const ResumeOffer& offer);
    // An answer's line, held back while a line waits for its "Done".
    void answerLine(const QString& text, bool error);

    SendingView& m_view;
    // An entry sent and not yet answered.
    struct Waiting {
        QByteArray name;
        bool folder = false;
        bool answered = false;
        qint64 size = 0; // a file's, as sent
        qint64 modifiedNs = 0;
    };
    // The entry `entry` while it waits, or nullptr.
    Waiting* waiting(std::uint32_t entry);
    // From the oldest entry not yet answered (m_firstWaiting) to the current one; the answered
    // ones in between are left empty until those before them are answered.
    std::deque<Waiting> m_waiting;
    std::uint32_t m_firstWaiting = 1;
    std::map<std::uint32_t, EntryProblem> m_notStored; // by entry number
    std::optional<CopySummary> m_summary;
    QList<EntryProblem> m_problems;
    std::uint32_t m_currentEntry = 0;
    std::uint32_t m_alreadyThereEntry = 0; // the latest file answered as there already
    int m_alreadyThere = 0;
    bool m_keepStored = false;
    StoredFiles m_stored;
    int m_filesStored = 0;
    qint64 m_bytesStored = 0;
    bool m_abandonFile = false;
    bool m_connectionLost = false;
    QElapsedTimer m_lastAnswer; // the server's last word, once everything is sent
    bool m_lineOpen = false;
    QList<std::pair<QString, bool>> m_heldLines; // text, error
    std::uint32_t m_offerEntry = 0;              // the file a resume offer may come for, or 0
    qint64 m_offerSize = 0;
    std::optional<ResumeOffer> m_offer;
};
