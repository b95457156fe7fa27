#include "platform/apperror.h"
#include "support/copysequence.h"
#include "support/recordingviews.h"
#include "support/testdata.h"
#include "transfer/messages.h"
#include "transfer/sendingengine.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtEndian>

#include <unistd.h>

namespace {

std::int32_t i32At(const QByteArray& message, qsizetype offset)
{
    return qFromLittleEndian<std::int32_t>(message.constData() + offset);
}

int openDescriptors()
{
    return static_cast<int>(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files).size());
}

class SendingEngineTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    RecordingSink sink;
    RecordingView view;
    std::uint16_t nextKey = 0xBEEF;
    SendingEngine engine{sink, view, [this] { return nextKey; }};

    QString file(const QString& name, const QByteArray& bytes)
    {
        const QString path = dir.filePath(name);
        QDir().mkpath(QFileInfo(path).path());
        QFile out(path);
        EXPECT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(bytes);
        return path;
    }
};

TEST_F(SendingEngineTest, WorkedExample)
{
    engine.StartCopy({file(QStringLiteral("a.txt"), "abc")});

    EXPECT_EQ(view.log, QStringList({"Filelist contains 1 files", "Protocol: TCP/IP; BlockSize: 2048",
                                     "Sending Session Data...Done", "Transmitting file \"a.txt\"...Done"}));
    EXPECT_EQ(view.sentPackets, 1);
    EXPECT_EQ(view.fileCounter, "File 1/1");
    EXPECT_EQ(view.fileName, "a.txt");
    EXPECT_EQ(view.status, " Client Sending...");
    EXPECT_EQ(view.caption, "Transmission complete!");
    EXPECT_EQ(view.processEvents, 2);
    EXPECT_EQ(sink.sent, BuildCopySequence({{"a.txt", "abc"}}, 2048, std::nullopt));
}

TEST_F(SendingEngineTest, CompleteOnlyOnceTheReceiverConfirmedEverything)
{
    const QStringList paths = {file(QStringLiteral("a.txt"), "abc"), file(QStringLiteral("b.txt"), "bee")};
    engine.StartCopy(paths);
    EXPECT_EQ(sink.sentAtFinish, 5) << "after the last message";
    EXPECT_EQ(view.caption, "Transmission complete!");

    view.caption.clear();
    engine.FilesToSend().clear();
    sink.finish = [] { throw AppError(QStringLiteral("The server did not confirm")); };
    try {
        engine.StartCopy(paths);
        FAIL() << "no error";
    } catch (const AppError& error) {
        EXPECT_EQ(error.message(), "The server did not confirm");
    }
    EXPECT_EQ(view.caption, "") << "never reported complete";
}

TEST_F(SendingEngineTest, OutputEqualsTheCopySequence)
{
    const QByteArray big = RandomBytes((1 << 20) + 5000, 1); // crosses the read chunks
    const std::vector<CopyFile> files = {
        {"empty", ""},           {"three", "abc"},   {"block", big.left(2048)}, {"two blocks", big.left(4096)},
        {"odd", big.left(5000)}, {"big name ü", big}};
    QStringList paths;
    for (const CopyFile& f : files)
        paths.append(file(QStringLiteral("sub/") + QString::fromUtf8(f.name), f.bytes));
    // Files are opened by their full path, wherever the current directory is.
    const QString previous = QDir::currentPath();
    QDir::setCurrent(QDir::rootPath());

    // Packets built in the engine's own buffer, and in room the sink offers.
    for (const bool room : {false, true}) {
        sink.offerRoom = room;
        for (const std::int16_t blockSize : {2048, 1024, 576}) {
            for (const bool encrypt : {false, true}) {
                sink.sent.clear();
                engine.FilesToSend().clear();
                engine.SetBlocksize(blockSize);
                engine.SetEncrypt(encrypt);
                engine.StartCopy(paths);
                const auto expected =
                    BuildCopySequence(files, blockSize, encrypt ? std::optional<std::uint16_t>(nextKey) : std::nullopt);
                ASSERT_EQ(sink.sent.size(), expected.size()) << blockSize << " " << encrypt << " " << room;
                for (std::size_t i = 0; i < expected.size(); ++i)
                    ASSERT_EQ(sink.sent[i], expected[i]) << "message " << i << ", block size " << blockSize
                                                         << ", encrypt " << encrypt << ", room " << room;
                EXPECT_EQ(view.sentPackets, static_cast<qint64>(expected.size() - 1 - files.size()));
            }
        }
    }
    EXPECT_EQ(sink.cancelled, 0);
    QDir::setCurrent(previous);
}

TEST_F(SendingEngineTest, EachEncryptedCopyGetsAFreshKey)
{
    const QString path = file(QStringLiteral("f"), "abc");
    const struct {
        bool encrypt;
        std::uint16_t source;
        std::uint16_t wireKey;
        std::uint16_t sessionKey;
    } rows[] = {{true, 1, 1, 1}, {true, 2, 2, 2}, {false, 3, 0, 2}};
    for (const auto& row : rows) {
        sink.sent.clear();
        engine.FilesToSend() = QStringList({path});
        engine.SetEncrypt(row.encrypt);
        nextKey = row.source;
        engine.SendAllFiles();
        EXPECT_EQ(qFromLittleEndian<std::uint16_t>(sink.sent[0].constData() + 16), row.wireKey);
        EXPECT_EQ(sink.sent[0][14], row.encrypt ? 1 : 0);
        EXPECT_EQ(engine.SessionKey(), row.sessionKey);
    }
}

TEST_F(SendingEngineTest, CountersAndBarsRestartWithEachCopy)
{
    // 150 full blocks per file: the file step is 1 and the total step 3.
    const QByteArray bytes = RandomBytes(150 * 1024, 2);
    const QStringList paths = {file(QStringLiteral("one"), bytes), file(QStringLiteral("two"), bytes)};
    engine.SetBlocksize(1024);
    const QList<int> fileBarOfOneFile = Ramp(100);
    for (int copy = 1; copy <= 2; ++copy) {
        view.fileBar.clear();
        view.totalBar.clear();
        engine.FilesToSend().clear();
        engine.StartCopy(paths);
        EXPECT_EQ(view.sentPackets, 302) << "copy " << copy;
        EXPECT_EQ(view.totalBar, Ramp(302 / 3)) << "copy " << copy;
        EXPECT_EQ(view.fileBar, fileBarOfOneFile + fileBarOfOneFile) << "copy " << copy;
        EXPECT_EQ(view.fileCounter, "File 2/2");
        EXPECT_EQ(Bytes(view.progress), (std::vector<qint64>{2, 2, 150 * 1024, 150 * 1024, 300 * 1024, 300 * 1024}));
    }
}

TEST_F(SendingEngineTest, FileOf2GiBIsRefusedBeforeAnythingIsSent)
{
    const QString small = file(QStringLiteral("small"), "abc");
    const QString huge = file(QStringLiteral("huge"), "");
    ASSERT_EQ(::truncate(QFile::encodeName(huge).constData(), qint64(1) << 31), 0); // sparse
    try {
        engine.StartCopy({small, huge});
        FAIL() << "no error";
    } catch (const AppError& error) {
        EXPECT_EQ(error.message(),
                  huge + QStringLiteral(" is 2147483648 bytes long; files of 2 GiB or more cannot be sent"));
    }
    EXPECT_TRUE(sink.sent.empty());
    EXPECT_TRUE(view.caption.isEmpty());
}

TEST_F(SendingEngineTest, FileThatCannotBeMeasuredOrOpened)
{
    const QString present = file(QStringLiteral("present"), "abc");
    const QString missing = dir.filePath(QStringLiteral("missing"));
    try {
        engine.StartCopy({present, missing});
        FAIL() << "no error";
    } catch (const AppError& error) {
        EXPECT_EQ(error.message(), QStringLiteral("Datei %1 kann nicht geöffnet werden").arg(missing));
    }
    EXPECT_EQ(view.errors, QStringList({"Datei nicht gefunden oder von anderem Programm geöffnet!"}));
    ASSERT_EQ(sink.sent.size(), 3u);
    EXPECT_EQ(i32At(sink.sent[0], 8), 3 - 1) << "an unmeasured file adds -1 to the total";
    EXPECT_EQ(view.log.last(), "Transmitting file \"missing\"...");
    EXPECT_TRUE(view.caption.isEmpty());
}

TEST_F(SendingEngineTest, SourceFileIsClosedWhenTheCopyFails)
{
    const QString path = file(QStringLiteral("f"), RandomBytes(100000, 3));
    const struct {
        const char* what;
        std::function<void(const QByteArray&)> before;
        QString error;
    } rows[] = {
        {"send fails",
         [&](const QByteArray&) {
             if (sink.sent.size() == 5)
                 throw AppError(QStringLiteral("SendEx: session lost"));
         },
         QStringLiteral("SendEx: session lost")},
        {"file shrinks",
         [&](const QByteArray& message) {
             if (message.size() == kFileHeaderSize)
                 QFile::resize(path, 10);
         },
         path + QStringLiteral(" became shorter while it was being sent")},
    };
    for (const bool room : {false, true}) {
        sink.offerRoom = room;
        for (const auto& row : rows) {
            QFile::resize(path, 100000);
            const int before = openDescriptors();
            const int cancelled = sink.cancelled;
            sink.sent.clear();
            sink.before = row.before;
            engine.FilesToSend().clear();
            try {
                engine.StartCopy({path});
                FAIL() << row.what << ": no error";
            } catch (const AppError& error) {
                EXPECT_EQ(error.message(), row.error) << row.what;
            }
            EXPECT_EQ(openDescriptors(), before) << row.what;
            EXPECT_TRUE(view.caption.isEmpty()) << row.what;
            // A batch that could not be read whole is given back, never sent in part.
            const bool shrinks = row.error.endsWith(QStringLiteral("became shorter while it was being sent"));
            EXPECT_EQ(sink.cancelled - cancelled, room && shrinks ? 1 : 0) << row.what;
            if (shrinks) {
                EXPECT_EQ(sink.sent.size(), 2u) << row.what << ": session data and header only";
            }
        }
    }
}

TEST_F(SendingEngineTest, BlockSizeOutsideTheRangeIsRefused)
{
    const QString path = file(QStringLiteral("f"), "abc");
    for (const std::int16_t blockSize : {0, -1, 2049}) {
        engine.SetBlocksize(blockSize);
        engine.FilesToSend() = QStringList({path});
        EXPECT_THROW(engine.SendAllFiles(), AppError) << blockSize;
        EXPECT_TRUE(sink.sent.empty()) << blockSize;
    }
}

} // namespace
