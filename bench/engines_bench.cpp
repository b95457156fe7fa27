// Throughput of the sending and receiving engines without a network: the sender reads a
// file and hands its messages to a sink that drops them; the receiver is fed a prepared
// copy and writes it into a temporary directory. Plain and encrypted.
#include "support/copysequence.h"
#include "transfer/messages.h"
#include "transfer/messagesink.h"
#include "transfer/receivingengine.h"
#include "transfer/receivingview.h"
#include "transfer/sendingengine.h"
#include "transfer/sendingview.h"

#include <benchmark/benchmark.h>

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstring>
#include <optional>

namespace {

constexpr qsizetype kFileSize = 64 << 20;

class NullView : public SendingView, public ReceivingView {
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
    void ShowReceivedPackets(qint64) override {}
};

class NullSink : public MessageSink {
public:
    std::uint64_t bytes = 0;
    void Send(std::uint32_t, std::uint32_t, const void* data, std::uint32_t size) override
    {
        benchmark::DoNotOptimize(data);
        bytes += size;
    }
};

QByteArray randomBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(42);
    generator.fillRange(reinterpret_cast<quint32*>(bytes.data()), size / 4);
    return bytes;
}

void BM_SendingEngine(benchmark::State& state)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("source"));
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(randomBytes(kFileSize));
    file.close();
    NullSink sink;
    NullView view;
    SendingEngine engine(sink, view, [] { return std::uint16_t(0x1234); });
    engine.SetEncrypt(state.range(0) != 0);
    engine.FilesToSend() = QStringList({path});
    for (auto _ : state)
        engine.SendAllFiles();
    state.SetBytesProcessed(std::int64_t(state.iterations()) * kFileSize);
}

void BM_ReceivingEngine(benchmark::State& state)
{
    QTemporaryDir dir;
    const auto key = state.range(0) != 0 ? std::optional<std::uint16_t>(0x1234) : std::nullopt;
    const auto copy = BuildCopySequence({{"target", randomBytes(kFileSize)}}, 2048, key);
    NullView view;
    ReceivingEngine engine(view);
    engine.SetReceiveDirectory(dir.path() + QLatin1Char('/'));
    // Like the endpoint's batches: the messages are put into a batch (as reading the socket
    // puts them there), handled where they lie, and flushed at the end of each batch.
    constexpr std::size_t kBatch = 256;
    std::vector<char> batch(kBatch * kDataPacketSize);
    for (auto _ : state) {
        std::size_t used = 0;
        for (const QByteArray& message : copy) {
            if (used == kBatch) {
                engine.Flush();
                used = 0;
            }
            char* at = batch.data() + used++ * kDataPacketSize;
            std::memcpy(at, message.constData(), static_cast<std::size_t>(message.size()));
            engine.HandleTransferMessage(at, message.size());
        }
        engine.Flush();
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * kFileSize);
}

} // namespace

BENCHMARK(BM_SendingEngine)->Arg(0)->Arg(1)->ArgName("encrypted")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReceivingEngine)->Arg(0)->Arg(1)->ArgName("encrypted")->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
