#include "transfer/sendingengine.h"

#include "transfer/resumeplan.h"

#include "platform/apperror.h"
#include "transfer/cipher.h"
#include "transfer/filetimes.h"
#include "transfer/listentrysource.h"
#include "transfer/messages.h"
#include "transfer/messagesink.h"
#include "transfer/sendingview.h"

#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace {

AppError tooLarge(const QString& path, qint64 size)
{
    return AppError(QStringLiteral("%1 is %2 bytes long; files of 2 GiB or more cannot be sent").arg(path).arg(size));
}

} // namespace

SendingEngine::SendingEngine(MessageSink& sink, SendingView& view, KeySource keySource)
    : m_sink(sink),
      m_view(view),
      m_keySource(keySource ? std::move(keySource) : KeySource(MakeRandomKey)),
      m_progress(view, [&view](qint64 packets) { view.ShowSentPackets(packets); }),
      m_packets(std::make_unique<std::uint8_t[]>(kBatch * kDataPacketSize)),
      m_answers(view)
{
}

SendingEngine::~SendingEngine()
{
    CloseCurrentFile();
}

void SendingEngine::StartCopy(const QStringList& selected)
{
    m_source = nullptr;
    m_answersExpected = false;
    prepareCopy(static_cast<int>(selected.size()), m_filesToSend.isEmpty() ? selected.value(0) : m_filesToSend[0]);
    m_filesToSend += selected;
    SendAllFiles();
}

void SendingEngine::StartCopy(const QList<SendEntry>& entries)
{
    ListEntrySource source(entries);
    StartCopy(source);
}

void SendingEngine::StartCopy(EntrySource& source)
{
    m_source = &source;
    m_answersExpected = false;
    const auto forget = qScopeGuard([this] { m_source = nullptr; });
    if (m_extension == 0) {
        // The design's messages go through the list of files.
        QStringList files;
        SendEntry entry;
        source.Rewind();
        while (source.Next(entry)) {
            if (entry.folder)
                throw AppError(QStringLiteral("The server takes files only: it does not offer the extended "
                                              "protocol that carries folders"));
            files << entry.path;
        }
        prepareCopy(static_cast<int>(files.size()), m_filesToSend.isEmpty() ? files.value(0) : m_filesToSend[0]);
        m_filesToSend += files;
        SendAllFiles();
        return;
    }
    m_counts = countEntries();
    prepareCopy(static_cast<int>(m_counts.files), m_counts.firstFile);
    SendAllFiles();
}

EntryCounts SendingEngine::countEntries()
{
    m_listedNext = 0;
    if (const std::optional<EntryCounts> known = m_source ? m_source->Counts() : std::nullopt;
        known && m_filesToSend.isEmpty())
        return *known;
    EntryCounts counts;
    SendEntry entry;
    rewindEntries();
    while (nextEntry(entry)) {
        if (entry.folder) {
            ++counts.folders;
            continue;
        }
        if (counts.files++ == 0)
            counts.firstFile = entry.path;
        // The size the caller found when it checked the file; the file's header has its size
        // when it is sent.
        const qint64 size = entry.size >= 0 ? entry.size : GetFileSize(entry.path);
        counts.bytes += static_cast<std::uint64_t>(std::max<qint64>(0, size));
    }
    rewindEntries();
    return counts;
}

bool SendingEngine::nextEntry(SendEntry& entry)
{
    if (m_listedNext < m_filesToSend.size()) {
        entry = bareEntry(m_filesToSend.at(m_listedNext++));
        return true;
    }
    return m_source && m_source->Next(entry);
}

void SendingEngine::rewindEntries()
{
    m_listedNext = 0;
    if (m_source)
        m_source->Rewind();
}

QString SendingEngine::OlderProtocolNotice()
{
    return QStringLiteral("The server speaks the older protocol: no receipts, no folders, no encryption");
}

void SendingEngine::prepareCopy(int fileCount, const QString& firstFile)
{
    m_view.ProcessEvents();
    if (m_extension != 0)
        m_view.LogMessage(QStringLiteral("Extended protocol %1: the server answers for every file").arg(m_extension));
    else if (m_serverOffer == 0)
        m_view.LogMessage(OlderProtocolNotice());
    m_view.LogMessage(QStringLiteral("Filelist contains %1 files").arg(fileCount));
    m_view.ShowFileCounter(QStringLiteral("File 1/%1").arg(fileCount));
    m_view.LogMessage(QStringLiteral("Protocol: %1; BlockSize: %2").arg(m_transportName).arg(m_blocksize));
    if (m_encrypt)
        m_view.LogAppend(QStringLiteral("; Using Encryption"));
    m_view.ShowStatus(QStringLiteral(" Client Sending..."));
    m_view.ProcessEvents();
    m_view.ShowFileName(firstFile);
}

void SendingEngine::SendAllFiles()
{
    if (m_blocksize < 1 || m_blocksize > kMaxBlockSize)
        throw AppError(QStringLiteral("Block size %1 is outside 1 to %2").arg(m_blocksize).arg(kMaxBlockSize));
    if (m_extension != 0) {
        try {
            sendExtended();
        } catch (...) {
            // The copy stops here: what the sink still holds goes on to the server, which
            // stores the files that arrived whole (a file cut short is discarded there).
            try {
                m_sink.Flush();
            } catch (...) {
            }
            throw;
        }
        return;
    }
    m_progress.RestartCopy();

    SendSessionData();
    const auto count = static_cast<int>(m_filesToSend.size());
    for (int i = 1; i <= count; ++i) {
        m_view.ShowFileNumber(i, count);
        m_currentFileNumber = i;
        SendFile(m_filesToSend[i - 1]);
    }
    // Sent is not arrived: the copy is complete once the server has read all of it.
    m_sink.Finish();
    m_view.ShowCaption(QStringLiteral("Transmission complete!"));
}

void SendingEngine::SendSessionData()
{
    m_view.LogMessage(QStringLiteral("Sending Session Data..."));
    SessionData session;
    session.fileCount = static_cast<std::int32_t>(m_filesToSend.size());
    session.blockSize = m_blocksize;
    session.encrypted = m_encrypt;
    if (m_encrypt) {
        m_sessionKey = m_keySource();
        session.key = m_sessionKey;
    }
    // The wire's total wraps at 32 bits; the bar runs on the true total.
    std::uint32_t wireTotal = 0;
    qint64 totalSize = 0;
    for (const QString& path : std::as_const(m_filesToSend)) {
        const qint64 size = GetFileSize(path);
        if (size > kLargestPlainFile)
            throw tooLarge(path, size);
        wireTotal += static_cast<std::uint32_t>(size);
        totalSize += size;
    }
    session.totalSize = static_cast<std::int32_t>(wireTotal);
    m_progress.SetCopy(session.fileCount, totalSize, m_blocksize);
    const QByteArray message = EncodeSessionData(session);
    sendMessage(message);
    m_view.LogAppend(QStringLiteral("Done"));
}

qint64 SendingEngine::GetFileSize(const QString& path)
{
    const qint64 size = BlockReader::SizeOf(path);
    if (size < 0)
        m_view.ShowError(QStringLiteral("Datei nicht gefunden oder von anderem Programm geöffnet!"));
    return size;
}

void SendingEngine::SendFile(const QString& path)
{
    const QString name = QFileInfo(path).fileName();
    m_view.LogMessage(QStringLiteral("Transmitting file \"") + name + QStringLiteral("\"..."));
    if (!m_reader.Open(path))
        throw AppError(QStringLiteral("Datei %1 kann nicht geöffnet werden").arg(path));
    const qint64 size = m_reader.Size();
    try {
        if (size > kLargestPlainFile)
            throw tooLarge(path, size);
        m_progress.RestartFile(m_currentFileNumber, size);
        SendFileHeader(name);
        sendFileData(size, true);
    } catch (...) {
        CloseCurrentFile();
        throw;
    }
    CloseCurrentFile();
}

void SendingEngine::SendFileHeader(const QString& name)
{
    m_view.ShowFileName(name);
    m_progress.SetFileStep(m_blocksize);
    const QByteArray message =
        EncodeFileHeader({QFile::encodeName(name), static_cast<std::int32_t>(m_reader.Size()), m_currentFileNumber});
    sendMessage(message);
    m_view.LogAppend(QStringLiteral("Done"));
}

// A file of S bytes goes as S / B full packets and one last packet of S mod B bytes (0
// when B divides S), a batch at a time: `length` bytes from the current position, the file's
// last ones when `last`, otherwise a whole number of blocks with more of the file after them.
// Each batch is built where it will be sent from: in the sink's own room when it offers one
// (the connection's send queue), else in a buffer of the engine's. The file is read straight
// into the packets' data areas.
void SendingEngine::sendFileData(qint64 length, bool last)
{
    const auto blockSize = static_cast<qint64>(m_blocksize);
    qint64 remaining = length;
    qint64 packets = length / blockSize + (last ? 1 : 0);
    while (packets > 0) {
        if (m_answers.FileAbandoned())
            return; // the server gave the file up: whatever is left would be discarded there
        const auto n = static_cast<std::size_t>(std::min<qint64>(packets, kBatch));
        std::int32_t counts[kBatch];
        for (std::size_t i = 0; i < n; ++i) {
            counts[i] = static_cast<std::int32_t>(std::min(blockSize, remaining));
            remaining -= counts[i];
        }
        MessageSink::Room room =
            m_sink.Reserve(kToAllPlayers, kSendGuaranteed, std::uint32_t(kDataPacketSize), std::uint32_t(n));
        const bool ownRoom = room.base == nullptr;
        if (ownRoom)
            room = {m_packets.get(), std::size_t(kDataPacketSize)};
        try {
            m_reader.BuildPackets(room, counts, n,
                                  m_encrypt ? std::optional<std::uint16_t>(m_sessionKey) : std::nullopt);
        } catch (...) {
            if (!ownRoom)
                m_sink.CancelReserved();
            throw;
        }
        if (ownRoom) {
            for (std::size_t i = 0; i < n; ++i)
                sendMessage(room.At(i), kDataPacketSize);
        } else {
            m_sink.SendReserved();
        }
        for (std::size_t i = 0; i < n; ++i)
            packetSent(counts[i]);
        m_progress.Show();
        packets -= qint64(n);
    }
}

void SendingEngine::sendMessage(const std::uint8_t* message, std::uint32_t size)
{
    m_sink.Send(kToAllPlayers, kSendGuaranteed, message, size);
}

void SendingEngine::sendMessage(const QByteArray& message)
{
    sendMessage(reinterpret_cast<const std::uint8_t*>(message.constData()), static_cast<std::uint32_t>(message.size()));
}

SendEntry SendingEngine::bareEntry(const QString& path)
{
    return {path, QFile::encodeName(QFileInfo(path).fileName()), false};
}

void SendingEngine::packetSent(std::int32_t count)
{
    m_bytesSent += count;
    m_progress.CountPacket();
    m_progress.AddBytes(count);
}

void SendingEngine::CloseCurrentFile()
{
    m_reader.Close();
}

void SendingEngine::HandleAnswer(const void* data, qsizetype size)
{
    m_answers.Handle(data, size, m_extension != 0 && m_answersExpected);
}

// ---- the extension -----------------------------------------------------------------------

namespace {

qint64 alignDown(qint64 offset, qint64 block)
{
    return offset / block * block;
}

} // namespace

void SendingEngine::sendExtended()
{
    m_progress.RestartCopy();
    // A copy of the files listed alone (StartCopy of paths) counts them here.
    if (!m_source)
        m_counts = countEntries();
    rewindEntries();
    m_answers.Begin(CarriesResume(m_extension), m_counts.files);
    m_answersExpected = m_counts.files + m_counts.folders > 0;
    m_answersLetIn.start();
    m_bytesKept = 0;
    m_bytesSent = 0;

    m_answers.OpenLine(QStringLiteral("Sending Session Data..."));
    CopyStart start;
    start.version = m_extension;
    start.blockSize = m_blocksize;
    start.encrypted = m_encrypt;
    if (m_encrypt) {
        m_sessionKey = m_keySource();
        start.key = m_sessionKey;
    }
    start.files = m_counts.files;
    start.folders = m_counts.folders;
    start.totalSize = m_counts.bytes;
    const int fileCount = static_cast<int>(start.files);
    m_progress.SetCopy(fileCount, static_cast<qint64>(start.totalSize), m_blocksize);
    const QByteArray startMessage = EncodeCopyStart(start);
    sendMessage(startMessage);
    m_answers.CloseLine();

    int fileNumber = 0;
    std::uint32_t number = 0;
    SendEntry entry;
    const auto forget = qScopeGuard([this] { m_current = nullptr; });
    while (nextEntry(entry)) {
        m_current = &entry;
        ++number;
        m_answers.SetCurrentEntry(number, entry.name, entry.folder);
        if (entry.folder) {
            m_answers.OpenLine(QStringLiteral("Sending folder \"%1\"...").arg(QFile::decodeName(entry.name)));
            if (CarriesResume(m_extension) && !entry.path.isEmpty())
                sendFolderAttributes(number, entry.path);
            const QByteArray message = EncodeFolderEntry({number, entry.name});
            sendMessage(message);
            m_answers.CloseLine();
        } else {
            m_view.ShowFileNumber(++fileNumber, fileCount);
            m_currentFileNumber = fileNumber;
            sendEntryFile(number, entry);
        }
        // The answers so far, a few times a second, so that they neither pile up nor wait for
        // the end.
        if (m_answersLetIn.elapsed() >= 20) {
            m_view.WaitForAnswers(0, [] { return true; });
            m_answersLetIn.start();
        }
    }
    const QByteArray end = EncodeCopyEnd({number});
    sendMessage(end);
    m_sink.Flush();
    m_answers.WaitForSummary(m_answerTimeout);
    m_sink.Finish();

    if (m_answers.CollectProblems().isEmpty())
        m_view.ShowCaption(QStringLiteral("Transmission complete!"));
}

void SendingEngine::sendEntryFile(std::uint32_t number, const SendEntry& entry)
{
    const QString name = QFile::decodeName(entry.name);
    m_answers.OpenLine(QStringLiteral("Transmitting file \"") + name + QStringLiteral("\"..."));
    if (!m_reader.Open(entry.path))
        throw AppError(QStringLiteral("Datei %1 kann nicht geöffnet werden").arg(entry.path));
    const qint64 size = m_reader.Size();
    m_answers.SetCurrentFile(size, m_reader.ModifiedNs());
    try {
        m_progress.RestartFile(m_currentFileNumber, size);
        m_view.ShowFileName(name);
        m_progress.SetFileStep(m_blocksize);
        m_answers.ClearAbandoned(); // the answer to this header may come at once
        const bool resume = CarriesResume(m_extension);
        // In a careful copy every file waits for the server's word (it may have the file).
        const bool asked = resume && m_careful;
        if (resume)
            sendMessage(EncodeAttributes(
                {number, m_reader.ModifiedNs(), m_reader.Mode(), asked ? kCarefulEntry : std::uint32_t(0)}));
        // The offer may come as soon as the header is out.
        const bool waits = resume && (size >= kResumeFrom || asked);
        if (waits)
            m_answers.ExpectOffer(number, size);
        const QByteArray header = EncodeFileEntry({number, static_cast<std::uint64_t>(size), entry.name});
        sendMessage(header);
        m_answers.CloseLine();
        m_digests.Restart(size);
        m_reader.SetDigests(resume ? &m_digests : nullptr);
        const std::optional<ResumeOffer> offer = waits ? waitForOffer(number) : std::nullopt;
        if (waits && m_answers.AlreadyThere(number))
            m_progress.AddBytes(size); // done: the server has it
        if (offer && !offer->chunks.empty())
            sendResumed(*offer);
        else
            sendSparseFileData();
        m_reader.SetDigests(nullptr);
        if (resume && !m_answers.FileAbandoned())
            sendMessage(EncodeFileEnd({number, m_digests.FileDigest()}));
        m_answers.ClearAbandoned();
    } catch (...) {
        m_reader.SetDigests(nullptr);
        m_answers.ExpectOffer(0, 0);
        m_answers.ClearAbandoned();
        m_answers.DropLine();
        CloseCurrentFile();
        throw;
    }
    CloseCurrentFile();
}

// The holes of a sparse file travel as runs of zeros, a whole number of blocks each; its
// last block always travels as data, so that the server writes the file's full length and
// the file ends on a data packet as ever.
void SendingEngine::sendSparseFileData()
{
    const qint64 size = m_reader.Size();
    const qint64 block = m_blocksize;
    const qint64 lastBlock = size == 0 ? 0 : alignDown(size - 1, block);
    qint64 at = 0;
    // A file with every block on the disk has no holes to look for.
    while (!m_reader.Dense() && at < lastBlock && !m_answers.FileAbandoned()) {
        const qint64 data = m_reader.NextData(at);
        const qint64 zerosEnd = std::min(alignDown(data, block), lastBlock);
        if (zerosEnd > at) {
            const QByteArray run = EncodeZeroRun({static_cast<std::uint64_t>(zerosEnd - at)});
            sendMessage(run);
            if (CarriesResume(m_extension))
                m_digests.AddZeros(zerosEnd - at);
            m_progress.AddBytes(zerosEnd - at);
            m_progress.Show();
            at = zerosEnd;
            continue;
        }
        const qint64 hole = m_reader.NextHole(at);
        const qint64 dataEnd = alignDown(std::max<qint64>(hole, at + 1) + block - 1, block);
        if (dataEnd >= lastBlock)
            break;
        m_reader.SeekTo(at);
        sendFileData(dataEnd - at, false);
        at = dataEnd;
    }
    if (m_answers.FileAbandoned())
        return;
    m_reader.SeekTo(at);
    sendFileData(size - at, true);
}

// ---- version 2 -----------------------------------------------------------------------------

namespace {

// "1,234,567" for a count of bytes.
QString grouped(qint64 value)
{
    QString digits = QString::number(value);
    for (qsizetype at = digits.size() - 3; at > 0; at -= 3)
        digits.insert(at, QLatin1Char(','));
    return digits;
}

} // namespace

void SendingEngine::sendFolderAttributes(std::uint32_t entry, const QString& path)
{
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return; // it goes without: the server leaves its own time and mode
    Attributes attributes;
    attributes.entry = entry;
    attributes.modifiedNs = ModifiedNsOf(info);
    attributes.mode = static_cast<std::uint32_t>(info.st_mode & 07777);
    sendMessage(EncodeAttributes(attributes));
}

std::optional<ResumeOffer> SendingEngine::waitForOffer(std::uint32_t entry)
{
    const auto answered = [this, entry] { return m_answers.OfferArrived() || m_answers.Answered(entry); };
    // The server may first read back what it kept after it was stopped: a longer wait.
    const qint64 limit = qint64(m_answerTimeout) * 5;
    QElapsedTimer waited;
    waited.start();
    m_sink.Flush();
    while (!answered() && !m_answers.ConnectionWasLost()) {
        const qint64 left = limit - waited.elapsed();
        if (left <= 0) {
            m_answers.ExpectOffer(0, 0);
            throw AppError(QStringLiteral("The server did not answer for \"%1\" within %2 s")
                               .arg(QFile::decodeName(m_current->name))
                               .arg(limit / 1000.0));
        }
        m_view.WaitForAnswers(static_cast<int>(left),
                              [this, &answered] { return answered() || m_answers.ConnectionWasLost(); });
    }
    if (!answered())
        throw AppError(QStringLiteral("The connection to the server was lost"));
    return m_answers.TakeOffer();
}

void SendingEngine::sendResumed(const ResumeOffer& offer)
{
    std::vector<ResumeRange> ranges;
    qint64 kept = 0;
    const qint64 size = m_reader.Size();
    if (!PlanResume(m_reader.Descriptor(), size, offer, &ranges, &kept))
        throw AppError(
            QStringLiteral("Cannot read %1: %2").arg(m_reader.Path(), QString::fromLocal8Bit(std::strerror(errno))));
    if (kept > 0)
        m_view.LogMessage(QStringLiteral("Resuming \"%1\": %2 bytes already there")
                              .arg(QFile::decodeName(m_current->name), grouped(kept)));
    m_bytesKept += kept;
    for (const ResumeRange& range : ranges) {
        if (m_answers.FileAbandoned())
            return;
        if (range.keep) {
            sendMessage(EncodeKeep({static_cast<std::uint64_t>(range.length)}));
            for (const Digest& digest : range.digests)
                m_digests.AddChunk(digest);
            m_progress.AddBytes(range.length);
            m_progress.Show();
            continue;
        }
        m_reader.SeekTo(range.offset);
        // A stretch that is not a whole number of blocks ends with its short packet; the
        // file's end always comes as a data packet, as without resume.
        const bool end = range.offset + range.length == size;
        sendFileData(range.length, end || range.length % m_blocksize != 0);
    }
}
