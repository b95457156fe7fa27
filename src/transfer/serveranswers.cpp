#include "transfer/serveranswers.h"

#include "platform/apperror.h"
#include "text/printable.h"
#include "transfer/sendingview.h"

#include <QFile>
#include <QtEndian>

namespace {

QString refusedReason(std::uint8_t detail)
{
    switch (static_cast<RefusedWhy>(detail)) {
    case RefusedWhy::UnsafeName:
        return QStringLiteral("the server refuses its name");
    case RefusedWhy::CannotCreate:
        return QStringLiteral("the server cannot create it");
    case RefusedWhy::NoSpace:
        return QStringLiteral("not enough free space on the server");
    case RefusedWhy::TooLarge:
        return QStringLiteral("too large for the server");
    }
    return QString();
}

QString discardedReason(const Receipt& receipt)
{
    switch (static_cast<DiscardedWhy>(receipt.detail)) {
    case DiscardedWhy::CorruptBlocks:
        return receipt.corruptBlocks == 1 ? QStringLiteral("1 corrupt block")
                                          : QStringLiteral("%1 corrupt blocks").arg(receipt.corruptBlocks);
    case DiscardedWhy::CutOff:
        return QStringLiteral("cut off after %1 of %2 bytes").arg(receipt.received).arg(receipt.size);
    case DiscardedWhy::WriteFailed:
        return QStringLiteral("the server could not write it");
    case DiscardedWhy::NoSpace:
        return QStringLiteral("the server's disk is full");
    case DiscardedWhy::Mismatch:
        return QStringLiteral("what arrived does not match the file here");
    case DiscardedWhy::PacketDropped:
        return QStringLiteral("the server dropped one of its data packets");
    }
    return QString();
}

// Why the entry was not stored, with the server's own words, or an empty text when it was
// (or was skipped).
QString problemOf(const Receipt& receipt)
{
    QString reason;
    if (receipt.outcome == Outcome::Refused)
        reason = refusedReason(receipt.detail);
    else if (receipt.outcome == Outcome::Discarded)
        reason = discardedReason(receipt);
    if (!reason.isEmpty() && !receipt.note.isEmpty())
        reason += QStringLiteral(" (%1)").arg(Printable(QString::fromUtf8(receipt.note)));
    return reason;
}

} // namespace

void ServerAnswers::Begin(bool keepStored, std::uint32_t files)
{
    m_waiting.clear();
    m_firstWaiting = 1;
    m_notStored.clear();
    m_summary.reset();
    m_problems.clear();
    m_currentEntry = 0;
    m_alreadyThereEntry = 0;
    m_alreadyThere = 0;
    m_keepStored = keepStored;
    m_stored.Clear();
    if (keepStored)
        m_stored.Reserve(files);
    m_filesStored = 0;
    m_bytesStored = 0;
    m_abandonFile = false;
    m_connectionLost = false;
    ExpectOffer(0, 0);
}

void ServerAnswers::ExpectOffer(std::uint32_t entry, qint64 size)
{
    m_offerEntry = entry;
    m_offerSize = size;
    m_offer.reset();
}

std::optional<ResumeOffer> ServerAnswers::TakeOffer()
{
    m_offerEntry = 0;
    return std::exchange(m_offer, std::nullopt);
}

void ServerAnswers::SetCurrentEntry(std::uint32_t entry, const QByteArray& name, bool folder)
{
    // Entries go out one after the other, from 1.
    if (m_waiting.empty())
        m_firstWaiting = entry;
    else if (entry != m_firstWaiting + m_waiting.size())
        throw AppError(QStringLiteral("Entry %1 sent out of turn").arg(entry));
    m_currentEntry = entry;
    m_waiting.push_back({name, folder, false, 0, 0});
}

void ServerAnswers::SetCurrentFile(qint64 size, qint64 modifiedNs)
{
    if (Waiting* current = waiting(m_currentEntry)) {
        current->size = size;
        current->modifiedNs = modifiedNs;
    }
}

ServerAnswers::Waiting* ServerAnswers::waiting(std::uint32_t entry)
{
    if (entry < m_firstWaiting || entry - m_firstWaiting >= m_waiting.size())
        return nullptr;
    Waiting& found = m_waiting[entry - m_firstWaiting];
    return found.answered ? nullptr : &found;
}

bool ServerAnswers::Answered(std::uint32_t entry) const
{
    if (entry < 1 || entry > m_currentEntry)
        return false;
    return entry < m_firstWaiting || entry - m_firstWaiting >= m_waiting.size()
           || m_waiting[entry - m_firstWaiting].answered;
}

void ServerAnswers::noteOffer(const ResumeOffer& offer)
{
    const qint64 chunk = std::max<qint64>(1, offer.chunkSize);
    const qint64 chunks = (m_offerSize + chunk - 1) / chunk;
    if (m_offerEntry == 0 || offer.entry != m_offerEntry || m_offer
        || qint64(offer.chunkSize) != ChunkSizeFor(m_offerSize)
        || (!offer.chunks.empty() && qint64(offer.chunks.back().index) >= chunks)) {
        answerLine(QStringLiteral("Message dropped: a resume offer for entry %1 that does not fit").arg(offer.entry),
                   true);
        return;
    }
    m_offer = offer;
}

const QList<EntryProblem>& ServerAnswers::CollectProblems()
{
    // In the order of the entries: those not stored, and those never answered for.
    auto notStored = m_notStored.cbegin();
    for (std::size_t i = 0; i < m_waiting.size(); ++i) {
        if (m_waiting[i].answered)
            continue;
        const std::uint32_t entry = m_firstWaiting + std::uint32_t(i);
        for (; notStored != m_notStored.cend() && notStored->first < entry; ++notStored)
            m_problems.append(notStored->second);
        m_problems.append({Printable(QFile::decodeName(m_waiting[i].name)), QStringLiteral("no word from the server")});
    }
    for (; notStored != m_notStored.cend(); ++notStored)
        m_problems.append(notStored->second);
    return m_problems;
}

void ServerAnswers::WaitForSummary(int timeoutMs)
{
    m_lastAnswer.start();
    while (!m_summary) {
        if (m_connectionLost)
            throw AppError(QStringLiteral("The connection to the server was lost before it confirmed the copy"));
        const qint64 left = timeoutMs - m_lastAnswer.elapsed();
        if (left <= 0)
            throw AppError(QStringLiteral("The server did not confirm the copy within %1 s of its last "
                                          "word; it may not have stored every file")
                               .arg(timeoutMs / 1000.0));
        m_view.WaitForAnswers(static_cast<int>(left), [this] { return m_summary || m_connectionLost; });
    }
}

void ServerAnswers::Handle(const void* data, qsizetype size, bool expected)
{
    const QByteArrayView bytes(static_cast<const char*>(data), size);
    const std::uint32_t type = size >= 4 ? qFromLittleEndian<std::uint32_t>(data) : 0;
    if (!expected
        || (type != static_cast<std::uint32_t>(ExtensionType::Receipt)
            && type != static_cast<std::uint32_t>(ExtensionType::Summary)
            && type != static_cast<std::uint32_t>(ExtensionType::ResumeOffer))) {
        answerLine(
            QStringLiteral("Message dropped: the server sent a message of type %1 and %2 bytes").arg(type).arg(size),
            true);
        return;
    }
    const ExtensionMessage message = DecodeExtensionMessage(bytes);
    if (const auto* rejected = std::get_if<RejectedMessage>(&message)) {
        answerLine(QStringLiteral("Message dropped: ") + rejected->reason, true);
        return;
    }
    if (const auto* receipt = std::get_if<Receipt>(&message)) {
        noteReceipt(*receipt);
        return;
    }
    if (const auto* offer = std::get_if<ResumeOffer>(&message)) {
        noteOffer(*offer);
        return;
    }
    const auto& summary = std::get<CopySummary>(message);
    if (m_summary) {
        answerLine(QStringLiteral("Message dropped: a second summary of the copy"), true);
        return;
    }
    m_summary = summary;
    answerLine(QStringLiteral("The server stored %1 files (%2 bytes), skipped %3 and did not store %4; "
                              "folders: %5 made, %6 not made")
                   .arg(summary.filesStored)
                   .arg(summary.bytesStored)
                   .arg(summary.filesSkipped)
                   .arg(summary.filesNotStored)
                   .arg(summary.foldersMade)
                   .arg(summary.foldersNotMade),
               false);
}

void ServerAnswers::OpenLine(const QString& text)
{
    m_view.LogMessage(text);
    m_lineOpen = true;
}

void ServerAnswers::CloseLine()
{
    m_view.LogAppend(QStringLiteral("Done"));
    m_lineOpen = false;
    const auto held = std::exchange(m_heldLines, {});
    for (const auto& [text, error] : held)
        answerLine(text, error);
}

void ServerAnswers::answerLine(const QString& text, bool error)
{
    if (m_lineOpen)
        m_heldLines.append({text, error});
    else if (error)
        m_view.LogError(text);
    else
        m_view.LogMessage(text);
}

void ServerAnswers::noteReceipt(const Receipt& receipt)
{
    // Only entries already sent can have an outcome.
    if (receipt.entry > m_currentEntry || receipt.entry == 0) {
        answerLine(QStringLiteral("Message dropped: a receipt for entry %1, which was not sent").arg(receipt.entry),
                   true);
        return;
    }
    Waiting* found = waiting(receipt.entry);
    if (!found) {
        answerLine(QStringLiteral("Message dropped: a second receipt for entry %1").arg(receipt.entry), true);
        return;
    }
    const Waiting entry = std::exchange(*found, {QByteArray(), false, true, 0, 0});
    const QString name = Printable(QFile::decodeName(entry.name));
    if ((receipt.kind == EntryKind::Folder) != entry.folder) {
        *found = entry;
        answerLine(QStringLiteral("Message dropped: a receipt that does not fit \"%1\"").arg(name), true);
        return;
    }
    while (!m_waiting.empty() && m_waiting.front().answered) {
        m_waiting.pop_front();
        ++m_firstWaiting;
    }
    m_lastAnswer.start();
    const QString problem = problemOf(receipt);
    if (receipt.outcome == Outcome::Stored || receipt.outcome == Outcome::Skipped) {
        if (!entry.folder) {
            ++m_filesStored;
            m_bytesStored += entry.size;
            if (m_keepStored)
                m_stored.Add(StoredFiles::Key(entry.name, entry.size, entry.modifiedNs));
        }
    } else if (!problem.isEmpty()) {
        m_notStored[receipt.entry] = {name, problem};
    }
    if (entry.folder) {
        if (!problem.isEmpty())
            answerLine(QStringLiteral("Folder \"%1\" not made: %2").arg(name, problem), true);
        else if (receipt.detail == static_cast<std::uint8_t>(StoredHow::FolderExisted))
            answerLine(QStringLiteral("Folder \"%1\" was there already").arg(name), false);
        else
            answerLine(QStringLiteral("Folder \"%1\" made").arg(name), false);
        return;
    }
    const bool alreadyThere =
        receipt.outcome == Outcome::Stored && receipt.detail == static_cast<std::uint8_t>(StoredHow::AlreadyThere);
    // Refused, skipped, or discarded while it still arrives, or there already: the rest would
    // go nowhere.
    if (receipt.entry == m_currentEntry && (receipt.outcome != Outcome::Stored || alreadyThere))
        m_abandonFile = true;
    switch (receipt.outcome) {
    case Outcome::Stored:
        if (alreadyThere) {
            ++m_alreadyThere;
            m_alreadyThereEntry = receipt.entry;
            answerLine(QStringLiteral("\"%1\": already there, unchanged").arg(name), false);
        } else if (receipt.detail == static_cast<std::uint8_t>(StoredHow::Renamed))
            answerLine(QStringLiteral("Stored \"%1\" as \"%2\" (%3 bytes): the server has a file of that name")
                           .arg(name, Printable(QFile::decodeName(receipt.storedAs)))
                           .arg(receipt.size),
                       false);
        else if (receipt.detail == static_cast<std::uint8_t>(StoredHow::Replaced))
            answerLine(QStringLiteral("Stored \"%1\" (%2 bytes), replacing the server's file of that name")
                           .arg(name)
                           .arg(receipt.size),
                       false);
        else
            // The line of almost every file: built in one go rather than argument by argument.
            answerLine(QStringLiteral("Stored \"") + name + QStringLiteral("\" (") + QString::number(receipt.size)
                           + QStringLiteral(" bytes)"),
                       false);
        return;
    case Outcome::Skipped:
        answerLine(QStringLiteral("Skipped \"%1\": the server keeps its file of that name").arg(name), false);
        return;
    case Outcome::Refused:
        answerLine(QStringLiteral("Refused \"%1\": %2").arg(name, problem), true);
        return;
    case Outcome::Discarded:
        answerLine(QStringLiteral("Discarded \"%1\": %2").arg(name, problem), true);
        return;
    }
}
