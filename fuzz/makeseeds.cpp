// Writes the fuzz targets' seed corpora from real copies: small files sent by the sending
// engine, their messages recorded as they go to the endpoint, and the datagrams and frames
// the session service makes for such a copy.
//
//   fuzz-makeseeds CORPUS_DIR      (CORPUS_DIR/<target>/ is filled; existing seeds stay)

#include "engineinput.h"
#include "seedguids.h"

#include "platform/dplay/discoverymessage.h"
#include "platform/dplay/framecodec.h"
#include "platform/apperror.h"
#include "transfer/extensionmessages.h"
#include "transfer/messages.h"
#include "transfer/messagesink.h"
#include "transfer/sendingengine.h"
#include "transfer/sendingview.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <vector>

namespace {

class QuietView final : public SendingView {
public:
    void LogMessage(const QString&) override {}
    void LogAppend(const QString&) override {}
    void ShowFileName(const QString&) override {}
    void ShowFileCounter(const QString&) override {}
    void ShowStatus(const QString&) override {}
    void SetFileProgress(int) override {}
    void SetTotalProgress(int) override {}
    void ShowMessage(const QString&) override {}
    void ShowError(const QString&) override {}
    void ShowSentPackets(qint64) override {}
    void ShowCaption(const QString&) override {}
};

class Recorder final : public MessageSink {
public:
    std::vector<QByteArray> sent;
    void Send(std::uint32_t, std::uint32_t, const void* data, std::uint32_t size) override
    {
        sent.emplace_back(static_cast<const char*>(data), qsizetype(size));
    }
};

struct Copy {
    const char* name;
    std::int16_t blockSize;
    bool encrypt;
    std::vector<std::pair<QString, QByteArray>> files; // a name ending in "/" is a folder
    bool extended = false;
};

// The messages of one copy, as the sending engine sends them.
std::vector<QByteArray> send(const Copy& copy)
{
    QTemporaryDir dir;
    QList<SendEntry> entries;
    for (const auto& [name, bytes] : copy.files) {
        if (name.endsWith(QLatin1Char('/'))) {
            entries.append({QString(), QFile::encodeName(name.chopped(1)), true});
            continue;
        }
        QDir().mkpath(QFileInfo(dir.filePath(name)).path());
        QFile file(dir.filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(file.fileName()));
        entries.append({file.fileName(), QFile::encodeName(name), false});
    }
    Recorder sink;
    QuietView view;
    SendingEngine engine(sink, view, [] { return std::uint16_t(0x5A17); });
    engine.SetBlocksize(copy.blockSize);
    engine.SetEncrypt(copy.encrypt);
    engine.SetExtension(copy.extended ? kExtensionVersion : 0);
    // Nobody answers here: the wait for the server's summary ends at once.
    engine.SetAnswerTimeout(0);
    try {
        engine.StartCopy(entries);
    } catch (const AppError&) {
        if (!copy.extended)
            throw;
    }
    return sink.sent;
}

void write(const QString& directory, const QString& name, const QByteArray& bytes)
{
    QDir().mkpath(directory);
    QFile file(directory + QLatin1Char('/') + name);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(file.fileName()));
}

QByteArray bytesOf(const std::vector<unsigned char>& v)
{
    return QByteArray(reinterpret_cast<const char*>(v.data()), qsizetype(v.size()));
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
        return 2;
    }
    const QString corpus = QString::fromLocal8Bit(argv[1]);

    const QByteArray text = "Ferrowarden copies files between PCs on a local network.\n";
    QByteArray binary;
    for (int i = 0; i < 300; ++i)
        binary.append(char(i * 37 + 11));
    const std::vector<Copy> copies = {
        {"one-file", 2048, false, {{"notes.txt", text}}},
        {"small-blocks-encrypted", 16, true, {{"a.bin", binary.left(40)}, {"b.txt", text.left(20)}}},
        {"empty-and-exact", 8, false, {{"empty", {}}, {"eight", "01234567"}, {"name ü.txt", "x"}}},
        {"extended-tree",
         16,
         true,
         {{"docs/", {}}, {"docs/notes.txt", text}, {"docs/empty/", {}}, {"b.bin", binary.left(50)}},
         true},
    };

    std::vector<QByteArray> everyMessage;
    for (const Copy& copy : copies) {
        const std::vector<QByteArray> messages = send(copy);
        everyMessage.insert(everyMessage.end(), messages.begin(), messages.end());

        // The receiver's input: the whole copy, the endpoint's batch ending after each file.
        QByteArray records;
        for (const QByteArray& message : messages) {
            records += EncodeEngineMessage(message);
            if (message.startsWith(char(2)) || message.startsWith(char(17)))
                records += EncodeEngineFlush();
        }
        write(corpus + QStringLiteral("/receivingengine"), QLatin1String(copy.name), records);

        // Both directions of the copy's connection, as the session service frames them.
        const DPID host = 0x2A5C0001, client = 0x2A5C0002;
        FrameCodec::Buffer up{0x00};
        FrameCodec::AppendJoin(up, kSeedInstance);
        FrameCodec::AppendCreatePlayer(up, 1, "FerrowardenClient");
        for (const QByteArray& message : messages)
            FrameCodec::AppendData(up, client, DPID_ALLPLAYERS, message.constData(), std::uint32_t(message.size()));
        FrameCodec::AppendPing(up);
        write(corpus + QStringLiteral("/framecodec"), QLatin1String(copy.name) + QStringLiteral("-client"),
              bytesOf(up));
        FrameCodec::Buffer down{0x35};
        FrameCodec::AppendJoined(down, {kSeedInstance, kSeedApplication,
                                        DPSESSION_KEEPALIVE | DPSESSION_DIRECTPLAYPROTOCOL, 2, 2, "Lab PC#/srv/in"});
        FrameCodec::AppendPlayerCreated(down, {1, DP_OK, client});
        FrameCodec::AppendData(down, host, client, "bye!", 4);
        FrameCodec::AppendRefused(down, DPERR_INVALIDPASSWORD);
        write(corpus + QStringLiteral("/framecodec"), QLatin1String(copy.name) + QStringLiteral("-host"),
              bytesOf(down));
    }

    // The server's answers and a run of zeros, which the copies above do not show.
    everyMessage.push_back(
        EncodeReceipt({2, EntryKind::File, Outcome::Stored, 2, 70, 70, 0, "docs/notes (1).txt", {}}));
    everyMessage.push_back(
        EncodeReceipt({3, EntryKind::Folder, Outcome::Refused, 2, 0, 0, 0, {}, "Read-only file system"}));
    everyMessage.push_back(EncodeSummary({1, 0, 1, 1, 1, 70}));
    everyMessage.push_back(EncodeZeroRun({4096}));

    // One seed per kind of message (and per size of packet) met in the copies.
    for (const QByteArray& message : everyMessage) {
        const QByteArray hash = QCryptographicHash::hash(message, QCryptographicHash::Sha1).toHex().left(16);
        write(corpus + QStringLiteral("/messages"), QString::fromLatin1(hash), message);
    }

    DiscoveryMessage request;
    request.kind = DiscoveryMessage::Kind::Request;
    request.application = kSeedApplication;
    write(corpus + QStringLiteral("/discovery"), QStringLiteral("request"), bytesOf(request.Encode()));
    DiscoveryMessage reply;
    reply.kind = DiscoveryMessage::Kind::Reply;
    reply.instance = kSeedInstance;
    reply.application = kSeedApplication;
    reply.tcpPort = 40123;
    reply.sessionFlags = DPSESSION_KEEPALIVE | DPSESSION_DIRECTPLAYPROTOCOL;
    reply.maxPlayers = 2;
    reply.currentPlayers = 1;
    reply.name = "Lab PC#/srv/in";
    write(corpus + QStringLiteral("/discovery"), QStringLiteral("reply"), bytesOf(reply.Encode()));
    reply.user = std::array<std::uint32_t, 4>{ExtensionOffer(), 0, 0, 0};
    write(corpus + QStringLiteral("/discovery"), QStringLiteral("reply-offering"), bytesOf(reply.Encode()));
    return 0;
}
