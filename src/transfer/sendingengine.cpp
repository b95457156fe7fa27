#include "transfer/sendingengine.h"

#include "platform/apperror.h"
#include "transfer/brcmath.h"
#include "transfer/crc32.h"
#include "transfer/messages.h"
#include "transfer/messagesink.h"
#include "transfer/resumeplan.h"
#include "transfer/sendingview.h"
#include "text/printable.h"

#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <cerrno>
#include <cstring>
#include <climits>
#include <fcntl.h>
#include <sys/uio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qint64 kLargestFile = 0x7FFFFFFF; // the wire's size field is signed 32-bit

AppError tooLarge(const QString& path, qint64 size)
{
    return AppError(QStringLiteral("%1 is %2 bytes long; files of 2 GiB or more cannot be sent")
                        .arg(path)
                        .arg(size));
}

// Opens a regular file for reading; -1 when it is missing, unreadable or not a file.
int openRegular(const QString& path, qint64* size)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return -1;
    }
    *size = static_cast<qint64>(info.st_size);
    return fd;
}

} // namespace

SendingEngine::SendingEngine(MessageSink& sink, SendingView& view, KeySource keySource)
    : m_sink(sink),
      m_view(view),
      m_keySource(keySource ? std::move(keySource) : KeySource(MakeRandomKey)),
      m_progress(view, [&view](qint64 packets) { view.ShowSentPackets(packets); }),
      m_packets(std::make_unique<std::uint8_t[]>(kBatch * kDataPacketSize))
{
}

SendingEngine::~SendingEngine()
{
    CloseCurrentFile();
}

void SendingEngine::StartCopy(const QStringList& selected)
{
    m_entries.clear();
    prepareCopy(selected);
    SendAllFiles();
}

void SendingEngine::StartCopy(const QList<SendEntry>& entries)
{
    QStringList files;
    bool folders = false;
    for (const SendEntry& entry : entries) {
        if (entry.folder)
            folders = true;
        else
            files << entry.path;
    }
    if (folders && m_extension == 0)
        throw AppError(QStringLiteral("The server takes files only: it does not offer the extended protocol "
                                      "that carries folders"));
    // Files already listed (by the wizard) go first, under their bare names.
    m_entries.clear();
    for (const QString& path : std::as_const(m_filesToSend))
        m_entries.append(bareEntry(path));
    m_entries += entries;
    prepareCopy(files);
    SendAllFiles();
}

QString SendingEngine::OlderProtocolNotice()
{
    return QStringLiteral("The server speaks the older protocol: no receipts, no folders, no encryption");
}

void SendingEngine::prepareCopy(const QStringList& selected)
{
    m_view.ProcessEvents();
    if (m_extension != 0)
        m_view.LogMessage(QStringLiteral("Extended protocol %1: the server answers for every file").arg(m_extension));
    else if (m_serverOffer == 0)
        m_view.LogMessage(OlderProtocolNotice());
    m_view.LogMessage(QStringLiteral("Filelist contains %1 files").arg(selected.size()));
    m_view.ShowFileCounter(QStringLiteral("File 1/%1").arg(selected.size()));
    m_filesToSend += selected;
    m_view.LogMessage(
        QStringLiteral("Protocol: %1; BlockSize: %2").arg(m_transportName).arg(m_blocksize));
    if (m_encrypt)
        m_view.LogAppend(QStringLiteral("; Using Encryption"));
    m_view.ShowStatus(QStringLiteral(" Client Sending..."));
    m_view.ProcessEvents();
    m_view.ShowFileName(m_filesToSend.value(0));
}

void SendingEngine::SendAllFiles()
{
    if (m_blocksize < 1 || m_blocksize > kMaxBlockSize)
        throw AppError(QStringLiteral("Block size %1 is outside 1 to %2")
                           .arg(m_blocksize)
                           .arg(kMaxBlockSize));
    if (m_extension != 0) {
        sendExtended();
        return;
    }
    m_progress.RestartCopy();

    SendSessionData();
    const auto count = static_cast<int>(m_filesToSend.size());
    for (int i = 1; i <= count; ++i) {
        m_view.ShowFileCounter(QStringLiteral("File %1/%2").arg(i).arg(count));
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
        if (size > kLargestFile)
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
    qint64 size = 0;
    const int fd = openRegular(path, &size);
    if (fd < 0) {
        m_view.ShowError(QStringLiteral("Datei nicht gefunden oder von anderem Programm geöffnet!"));
        return -1;
    }
    ::close(fd);
    return size;
}

void SendingEngine::SendFile(const QString& path)
{
    const QString name = QFileInfo(path).fileName();
    m_view.LogMessage(QStringLiteral("Transmitting file \"") + name + QStringLiteral("\"..."));
    CloseCurrentFile();
    qint64 size = 0;
    m_fd = openRegular(path, &size);
    if (m_fd < 0)
        throw AppError(QStringLiteral("Datei %1 kann nicht geöffnet werden").arg(path));
    try {
        if (size > kLargestFile)
            throw tooLarge(path, size);
        ::posix_fadvise(m_fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        m_currentPath = path;
        m_currentFileSize = size;
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
    const QByteArray message = EncodeFileHeader({QFile::encodeName(name),
                                                 static_cast<std::int32_t>(m_currentFileSize),
                                                 m_currentFileNumber});
    sendMessage(message);
    m_view.LogAppend(QStringLiteral("Done"));
}

// Reads exactly the bytes `iov` asks for; throws when the file cannot be read or ends
// first (it became shorter since its size was announced).
void SendingEngine::readFully(iovec* iov, int count)
{
    while (count > 0) {
        const ssize_t n = ::readv(m_fd, iov, std::min(count, IOV_MAX));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw readError();
        }
        if (n == 0)
            throw AppError(QStringLiteral("%1 became shorter while it was being sent").arg(m_currentPath));
        auto left = static_cast<std::size_t>(n);
        while (count > 0 && left >= iov->iov_len) {
            left -= iov->iov_len;
            ++iov;
            --count;
        }
        if (count > 0) {
            iov->iov_base = static_cast<std::uint8_t*>(iov->iov_base) + left;
            iov->iov_len -= left;
        }
    }
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
        if (m_abandonFile)
            return; // the server gave the file up: whatever is left would be discarded there
        const auto n = static_cast<std::size_t>(std::min<qint64>(packets, kBatch));
        std::int32_t counts[kBatch];
        for (std::size_t i = 0; i < n; ++i) {
            counts[i] = static_cast<std::int32_t>(std::min(blockSize, remaining));
            remaining -= counts[i];
        }
        MessageSink::Room room = m_sink.Reserve(kToAllPlayers, kSendGuaranteed,
                                                std::uint32_t(kDataPacketSize), std::uint32_t(n));
        const bool ownRoom = room.base == nullptr;
        if (ownRoom)
            room = {m_packets.get(), std::size_t(kDataPacketSize)};
        try {
            buildPackets(room.base, room.stride, counts, n);
        } catch (...) {
            if (!ownRoom)
                m_sink.CancelReserved();
            throw;
        }
        if (ownRoom) {
            for (std::size_t i = 0; i < n; ++i)
                sendMessage(room.base + i * room.stride, kDataPacketSize);
        } else {
            m_sink.SendReserved();
        }
        for (std::size_t i = 0; i < n; ++i)
            packetSent(counts[i]);
        m_progress.Show();
        packets -= qint64(n);
    }
}

// Data packet i of the batch at base + i * stride: its data area read from the file (zero
// past its count), checksummed, enciphered when the copy is, and its fields set.
void SendingEngine::buildPackets(std::uint8_t* base, std::size_t stride, const std::int32_t* counts,
                                 std::size_t n)
{
    std::uint8_t* areas[kBatch];
    std::size_t sizes[kBatch];
    std::uint32_t checksums[kBatch];
    iovec iov[kBatch];
    int reads = 0;
    for (std::size_t i = 0; i < n; ++i) {
        areas[i] = base + i * stride + kDataAreaOffset;
        sizes[i] = static_cast<std::size_t>(counts[i]);
        if (sizes[i] > 0)
            iov[reads++] = {areas[i], sizes[i]};
        if (sizes[i] < std::size_t(kDataAreaSize))
            std::memset(areas[i] + sizes[i], 0, std::size_t(kDataAreaSize) - sizes[i]);
    }
    readFully(iov, reads);
    if (m_hashing) {
        for (std::size_t i = 0; i < n; ++i)
            m_digests.Add(areas[i], sizes[i]);
    }
    // Checksums and cipher run over the batch at once; the multi-block forms interleave blocks.
    BlockChecksums(kChecksumStart, areas, sizes, checksums, n);
    if (m_encrypt)
        EncryptBlocksInPlace(areas, n, kDataAreaSize, m_sessionKey);
    for (std::size_t i = 0; i < n; ++i)
        EncodeDataPacketFields(base + i * stride, counts[i], checksums[i]);
}

bool SendingEngine::SendDataPacket(const std::uint8_t* block, std::int32_t count,
                                   std::uint32_t checksum)
{
    std::uint8_t message[kDataPacketSize];
    EncodeDataPacket(message, block, count, checksum);
    sendMessage(message, kDataPacketSize);
    packetSent(count);
    m_progress.Show();
    return true;
}

void SendingEngine::sendMessage(const std::uint8_t* message, std::uint32_t size)
{
    m_sink.Send(kToAllPlayers, kSendGuaranteed, message, size);
}

void SendingEngine::sendMessage(const QByteArray& message)
{
    sendMessage(reinterpret_cast<const std::uint8_t*>(message.constData()),
                static_cast<std::uint32_t>(message.size()));
}

AppError SendingEngine::readError() const
{
    return AppError(QStringLiteral("Cannot read %1: %2")
                        .arg(m_currentPath, QString::fromLocal8Bit(std::strerror(errno))));
}

void SendingEngine::seekTo(qint64 offset)
{
    if (::lseek(m_fd, offset, SEEK_SET) < 0)
        throw readError();
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
    if (m_fd < 0)
        return;
    ::close(m_fd);
    m_fd = -1;
}

// ---- the extension -----------------------------------------------------------------------

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
    case DiscardedWhy::PacketDropped:
        return QStringLiteral("the server dropped one of its data packets");
    case DiscardedWhy::Mismatch:
        return QStringLiteral("what arrived does not match the file here");
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

qint64 alignDown(qint64 offset, qint64 block)
{
    return offset / block * block;
}

} // namespace

QString SendingEngine::entryName(std::uint32_t entry) const
{
    return QFile::decodeName(m_entries.at(static_cast<qsizetype>(entry) - 1).name);
}

void SendingEngine::sendExtended()
{
    m_progress.RestartCopy();
    if (m_entries.isEmpty()) {
        for (const QString& path : std::as_const(m_filesToSend))
            m_entries.append(bareEntry(path));
    }
    m_receipts.assign(static_cast<std::size_t>(m_entries.size()), std::nullopt);
    m_summary.reset();
    m_problems.clear();
    m_currentEntry = 0;
    m_connectionLost = false;
    m_bytesKept = 0;
    m_bytesSent = 0;
    m_answersLetIn.start();

    openLine(QStringLiteral("Sending Session Data..."));
    CopyStart start;
    start.version = m_extension;
    start.blockSize = m_blocksize;
    start.encrypted = m_encrypt;
    if (m_encrypt) {
        m_sessionKey = m_keySource();
        start.key = m_sessionKey;
    }
    for (const SendEntry& entry : std::as_const(m_entries)) {
        if (entry.folder) {
            ++start.folders;
            continue;
        }
        ++start.files;
        start.totalSize += static_cast<std::uint64_t>(std::max<qint64>(0, GetFileSize(entry.path)));
    }
    const int fileCount = static_cast<int>(start.files);
    m_progress.SetCopy(fileCount, static_cast<qint64>(start.totalSize), m_blocksize);
    const QByteArray startMessage = EncodeCopyStart(start);
    sendMessage(startMessage);
    closeLine();

    int fileNumber = 0;
    for (qsizetype i = 0; i < m_entries.size(); ++i) {
        const SendEntry& entry = m_entries[i];
        m_currentEntry = static_cast<std::uint32_t>(i + 1);
        if (entry.folder) {
            openLine(QStringLiteral("Sending folder \"%1\"...").arg(QFile::decodeName(entry.name)));
            if (CarriesResume(m_extension) && !entry.path.isEmpty())
                sendAttributes(entry.path, -1);
            const QByteArray message = EncodeFolderEntry({m_currentEntry, entry.name});
            sendMessage(message);
            closeLine();
        } else {
            m_view.ShowFileCounter(QStringLiteral("File %1/%2").arg(++fileNumber).arg(fileCount));
            m_currentFileNumber = fileNumber;
            sendEntryFile(entry);
        }
        // The answers so far, a few times a second, so that they neither pile up nor wait for
        // the end.
        if (m_answersLetIn.elapsed() >= 20) {
            m_view.WaitForAnswers(0, [] { return true; });
            m_answersLetIn.start();
        }
    }
    const QByteArray end = EncodeCopyEnd({static_cast<std::uint32_t>(m_entries.size())});
    sendMessage(end);
    waitForSummary();
    m_sink.Finish();

    for (qsizetype i = 0; i < m_entries.size(); ++i) {
        const auto& receipt = m_receipts[static_cast<std::size_t>(i)];
        const QString reason = receipt ? problemOf(*receipt) : QStringLiteral("no word from the server");
        if (!reason.isEmpty())
            m_problems.append({Printable(QFile::decodeName(m_entries[i].name)), reason});
    }
    if (m_problems.isEmpty())
        m_view.ShowCaption(QStringLiteral("Transmission complete!"));
}

void SendingEngine::sendEntryFile(const SendEntry& entry)
{
    const QString name = QFile::decodeName(entry.name);
    openLine(QStringLiteral("Transmitting file \"") + name + QStringLiteral("\"..."));
    CloseCurrentFile();
    qint64 size = 0;
    m_fd = openRegular(entry.path, &size);
    if (m_fd < 0)
        throw AppError(QStringLiteral("Datei %1 kann nicht geöffnet werden").arg(entry.path));
    try {
        ::posix_fadvise(m_fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        m_currentPath = entry.path;
        m_currentFileSize = size;
        m_progress.RestartFile(m_currentFileNumber, size);
        m_view.ShowFileName(name);
        m_progress.SetFileStep(m_blocksize);
        m_abandonFile = false; // the answer to this header may come at once
        const bool resume = CarriesResume(m_extension);
        if (resume)
            sendAttributes(entry.path, m_fd);
        // The offer may come as soon as the header is out.
        m_offer.reset();
        m_awaitingOffer = resume && size >= kResumeFrom;
        const QByteArray header =
            EncodeFileEntry({m_currentEntry, static_cast<std::uint64_t>(size), entry.name});
        sendMessage(header);
        closeLine();
        m_digests.Restart(size);
        m_hashing = resume;
        const std::optional<ResumeOffer> offer =
            resume && size >= kResumeFrom ? waitForOffer() : std::nullopt;
        if (offer && !offer->chunks.empty())
            sendResumed(*offer);
        else
            sendSparseFileData();
        m_hashing = false;
        if (resume && !m_abandonFile)
            sendMessage(EncodeFileEnd({m_currentEntry, m_digests.FileDigest()}));
        m_abandonFile = false;
    } catch (...) {
        m_abandonFile = false;
        m_hashing = false;
        m_awaitingOffer = false;
        m_lineOpen = false;
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
    const qint64 size = m_currentFileSize;
    const qint64 block = m_blocksize;
    const qint64 lastBlock = size == 0 ? 0 : alignDown(size - 1, block);
    qint64 at = 0;
    while (at < lastBlock && !m_abandonFile) {
        off_t data = ::lseek(m_fd, at, SEEK_DATA);
        if (data < 0)
            data = errno == ENXIO ? size : at; // ENXIO: only a hole up to the end
        const qint64 zerosEnd = std::min(alignDown(data, block), lastBlock);
        if (zerosEnd > at) {
            const QByteArray run = EncodeZeroRun({static_cast<std::uint64_t>(zerosEnd - at)});
            sendMessage(run);
            if (m_hashing)
                m_digests.AddZeros(zerosEnd - at);
            m_progress.AddBytes(zerosEnd - at);
            m_progress.Show();
            at = zerosEnd;
            continue;
        }
        off_t hole = ::lseek(m_fd, at, SEEK_HOLE);
        if (hole < 0)
            hole = size;
        const qint64 dataEnd = alignDown(std::max<qint64>(hole, at + 1) + block - 1, block);
        if (dataEnd >= lastBlock)
            break;
        seekTo(at);
        sendFileData(dataEnd - at, false);
        at = dataEnd;
    }
    if (m_abandonFile)
        return;
    seekTo(at);
    sendFileData(size - at, true);
}

void SendingEngine::waitForSummary()
{
    m_lastAnswer.start();
    while (!m_summary) {
        if (m_connectionLost)
            throw AppError(QStringLiteral("The connection to the server was lost before it confirmed the copy"));
        const qint64 left = m_answerTimeout - m_lastAnswer.elapsed();
        if (left <= 0)
            throw AppError(QStringLiteral("The server did not confirm the copy within %1 s of its last "
                                          "word; it may not have stored every file")
                               .arg(m_answerTimeout / 1000.0));
        m_view.WaitForAnswers(static_cast<int>(left), [this] { return m_summary || m_connectionLost; });
    }
}

void SendingEngine::HandleAnswer(const void* data, qsizetype size)
{
    const QByteArrayView bytes(static_cast<const char*>(data), size);
    const std::uint32_t type = size >= 4 ? qFromLittleEndian<std::uint32_t>(data) : 0;
    if (m_extension == 0 || m_entries.isEmpty()
        || (type != static_cast<std::uint32_t>(ExtensionType::Receipt)
            && type != static_cast<std::uint32_t>(ExtensionType::Summary)
            && !(CarriesResume(m_extension) && type == static_cast<std::uint32_t>(ExtensionType::ResumeOffer)))) {
        answerLine(QStringLiteral("Message dropped: the server sent a message of type %1 and %2 bytes")
                       .arg(type)
                       .arg(size),
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

void SendingEngine::openLine(const QString& text)
{
    m_view.LogMessage(text);
    m_lineOpen = true;
}

void SendingEngine::closeLine()
{
    m_view.LogAppend(QStringLiteral("Done"));
    m_lineOpen = false;
    const auto held = std::exchange(m_heldLines, {});
    for (const auto& [text, error] : held)
        answerLine(text, error);
}

void SendingEngine::answerLine(const QString& text, bool error)
{
    if (m_lineOpen)
        m_heldLines.append({text, error});
    else if (error)
        m_view.LogError(text);
    else
        m_view.LogMessage(text);
}

void SendingEngine::noteReceipt(const Receipt& receipt)
{
    // Only entries already sent can have an outcome.
    if (receipt.entry > m_currentEntry || receipt.entry > m_receipts.size()) {
        answerLine(QStringLiteral("Message dropped: a receipt for entry %1, which was not sent").arg(receipt.entry),
                   true);
        return;
    }
    const SendEntry& entry = m_entries.at(static_cast<qsizetype>(receipt.entry) - 1);
    auto& slot = m_receipts[receipt.entry - 1];
    const QString name = Printable(entryName(receipt.entry));
    if ((receipt.kind == EntryKind::Folder) != entry.folder || slot) {
        answerLine(QStringLiteral("Message dropped: a receipt that does not fit \"%1\"").arg(name), true);
        return;
    }
    slot = receipt;
    m_lastAnswer.start();
    const QString problem = problemOf(receipt);
    if (entry.folder) {
        if (!problem.isEmpty())
            answerLine(QStringLiteral("Folder \"%1\" not made: %2").arg(name, problem), true);
        else if (receipt.detail == static_cast<std::uint8_t>(StoredHow::FolderExisted))
            answerLine(QStringLiteral("Folder \"%1\" was there already").arg(name), false);
        else
            answerLine(QStringLiteral("Folder \"%1\" made").arg(name), false);
        return;
    }
    // Refused, skipped, or discarded while it still arrives: the rest would go nowhere.
    if (receipt.entry == m_currentEntry && receipt.outcome != Outcome::Stored)
        m_abandonFile = true;
    switch (receipt.outcome) {
    case Outcome::Stored:
        if (receipt.detail == static_cast<std::uint8_t>(StoredHow::Renamed))
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
            answerLine(QStringLiteral("Stored \"%1\" (%2 bytes)").arg(name).arg(receipt.size), false);
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

void SendingEngine::sendAttributes(const QString& path, int fd)
{
    struct stat info {};
    const int result = fd >= 0 ? ::fstat(fd, &info) : ::stat(QFile::encodeName(path).constData(), &info);
    if (result != 0)
        return; // it goes without: the server leaves its own time and mode
    Attributes attributes;
    attributes.entry = m_currentEntry;
    attributes.modifiedNs = qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    attributes.mode = static_cast<std::uint32_t>(info.st_mode & 07777);
    sendMessage(EncodeAttributes(attributes));
}

QList<SendEntry> SendingEngine::Unfinished() const
{
    QList<SendEntry> left;
    for (qsizetype i = 0; i < m_entries.size(); ++i) {
        const auto& receipt = m_receipts.size() > std::size_t(i) ? m_receipts[std::size_t(i)] : std::nullopt;
        const bool done = receipt && (receipt->outcome == Outcome::Stored || receipt->outcome == Outcome::Skipped);
        // Folders go again, so that their times are set at the end of the copy that ends.
        if (!done || m_entries[i].folder)
            left.append(m_entries[i]);
    }
    return left;
}

std::optional<ResumeOffer> SendingEngine::waitForOffer()
{
    const auto answered = [this] {
        return m_offer || m_receipts[m_currentEntry - 1] || m_connectionLost;
    };
    // The server may first read back what it kept after it was stopped: a longer wait.
    const qint64 limit = qint64(m_answerTimeout) * 5;
    QElapsedTimer waited;
    waited.start();
    while (!answered()) {
        const qint64 left = limit - waited.elapsed();
        if (left <= 0) {
            m_awaitingOffer = false;
            throw AppError(QStringLiteral("The server did not answer for \"%1\" within %2 s")
                               .arg(entryName(m_currentEntry))
                               .arg(limit / 1000.0));
        }
        m_view.WaitForAnswers(static_cast<int>(left), answered);
    }
    m_awaitingOffer = false;
    if (m_connectionLost && !m_offer && !m_receipts[m_currentEntry - 1])
        throw AppError(QStringLiteral("The connection to the server was lost"));
    return std::exchange(m_offer, std::nullopt);
}

void SendingEngine::noteOffer(const ResumeOffer& offer)
{
    const qint64 chunks = (m_currentFileSize + offer.chunkSize - 1) / std::max<qint64>(1, offer.chunkSize);
    if (!m_awaitingOffer || offer.entry != m_currentEntry || qint64(offer.chunkSize) != ChunkSizeFor(m_currentFileSize)
        || (!offer.chunks.empty() && qint64(offer.chunks.back().index) >= chunks)) {
        answerLine(QStringLiteral("Message dropped: a resume offer for entry %1 that does not fit").arg(offer.entry), true);
        return;
    }
    m_offer = offer;
}

void SendingEngine::sendResumed(const ResumeOffer& offer)
{
    std::vector<ResumeRange> ranges;
    qint64 kept = 0;
    if (!PlanResume(m_fd, m_currentFileSize, offer, &ranges, &kept))
        throw readError();
    if (kept > 0)
        m_view.LogMessage(QStringLiteral("Resuming \"%1\": %2 bytes already there")
                              .arg(entryName(m_currentEntry), grouped(kept)));
    m_bytesKept += kept;
    for (const ResumeRange& range : ranges) {
        if (m_abandonFile)
            return;
        if (range.keep) {
            sendMessage(EncodeKeep({static_cast<std::uint64_t>(range.length)}));
            for (const Digest& digest : range.digests)
                m_digests.AddChunk(digest);
            m_progress.AddBytes(range.length);
            m_progress.Show();
            continue;
        }
        seekTo(range.offset);
        // A stretch that is not a whole number of blocks ends with its short packet; the
        // file's end always comes as a data packet, as without resume.
        const bool end = range.offset + range.length == m_currentFileSize;
        sendFileData(range.length, end || range.length % m_blocksize != 0);
    }
}
