// The receiving engine, offering the extended protocol, fed arbitrary message sequences (see
// engineinput.h) into a fresh receive directory inside a scratch directory of its own. After
// every input it checks that nothing appeared in the scratch directory outside the receive
// directory, that nothing inside it is a link or a temporary file that outlived the session,
// that no file name holds a control character and that no label or log line holds one
// either (nor a mark that reorders text); every answer the engine sends is a receipt or a
// summary that decodes. The receive directory is emptied for the next input.

#include "engineinput.h"
#include "fuzzcheck.h"

#include "transfer/extensionmessages.h"
#include "transfer/messagesink.h"
#include "transfer/receivingengine.h"
#include "transfer/receivingview.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <filesystem>
#include <memory>
#include <string>

namespace {

// What text/printable.h escapes: control characters and the marks that reorder text.
bool unsafeOnTerminal(const QString& text)
{
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 || (u >= 0x7F && u <= 0x9F) || u == 0x200E || u == 0x200F || (u >= 0x202A && u <= 0x202E)
            || (u >= 0x2066 && u <= 0x2069))
            return true;
    }
    return false;
}

bool hasControlCharacter(const std::string& bytes)
{
    for (const unsigned char c : bytes)
        if (c < 0x20 || c == 0x7F)
            return true;
    return false;
}

// Every line and label must be safe to put on a terminal or into the log file.
class CheckingView final : public ReceivingView {
public:
    void LogMessage(const QString& text) override { check(text); }
    void LogAppend(const QString& text) override { check(text); }
    void ShowFileName(const QString& text) override { check(text); }
    void ShowFileCounter(const QString& text) override { check(text); }
    void ShowStatus(const QString& text) override { check(text); }
    void SetFileProgress(int percent) override { FUZZ_CHECK(percent >= 0 && percent <= 100); }
    void SetTotalProgress(int percent) override { FUZZ_CHECK(percent >= 0 && percent <= 100); }
    void ShowMessage(const QString& text) override { check(text); }
    void ShowError(const QString& text) override { check(text); }
    void ShowReceivedPackets(qint64 count) override { FUZZ_CHECK(count >= 0); }

private:
    static void check(const QString& text) { FUZZ_CHECK(!unsafeOnTerminal(text)); }
};

// The engine's answers must be answers, well formed.
class CheckingSink final : public MessageSink {
public:
    void Send(std::uint32_t, std::uint32_t, const void* data, std::uint32_t size) override
    {
        const ExtensionMessage answer =
            DecodeExtensionMessage(QByteArrayView(static_cast<const char*>(data), qsizetype(size)));
        FUZZ_CHECK(std::holds_alternative<Receipt>(answer) || std::holds_alternative<CopySummary>(answer)
                   || std::holds_alternative<ResumeOffer>(answer));
    }
};

struct Scratch {
    QTemporaryDir root;
    std::filesystem::path base;
    std::filesystem::path receive;
    std::filesystem::path sibling;

    Scratch()
    {
        FUZZ_CHECK(root.isValid());
        base = std::filesystem::path(root.path().toStdString());
        receive = base / "in";
        sibling = base / "in-sibling";
        std::filesystem::create_directory(receive);
        std::filesystem::create_directory(sibling);
    }
};

Scratch& scratch()
{
    static Scratch s;
    return s;
}

// Checks what the input left behind and removes it.
void checkAndClear(const Scratch& s)
{
    std::size_t top = 0;
    for (const auto& entry : std::filesystem::directory_iterator(s.base)) {
        ++top;
        FUZZ_CHECK(entry.path() == s.receive || entry.path() == s.sibling);
    }
    FUZZ_CHECK(top == 2);
    FUZZ_CHECK(std::filesystem::is_empty(s.sibling));
    for (const auto& entry : std::filesystem::recursive_directory_iterator(s.receive)) {
        const std::string name = entry.path().filename().string();
        FUZZ_CHECK(!entry.is_symlink());
        // The temporary files are gone (RemoveLeftovers would take these for leftovers).
        FUZZ_CHECK(!(name.starts_with(".ferrowarden-") && name.ends_with(".part")));
        FUZZ_CHECK(!hasControlCharacter(name));
    }
    for (const auto& entry : std::filesystem::directory_iterator(s.receive))
        std::filesystem::remove_all(entry.path());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Scratch& s = scratch();
    {
        CheckingView view;
        CheckingSink answers;
        ReceivingEngine engine(view);
        engine.SetReceiveDirectory(QString::fromStdString(s.receive.string()) + QLatin1Char('/'));
        engine.SetExtensionOffered(true);
        engine.SetAnswerSink(&answers);
        // The engine deciphers data packets where they lie and writes them from there at
        // the next flush: the messages stay alive until the engine is done.
        std::vector<EngineStep> steps = DecodeEngineInput(data, size);
        for (EngineStep& step : steps) {
            switch (step.op) {
            case EngineStep::Op::Message:
                engine.HandleTransferMessage(step.message.data(), step.message.size());
                break;
            case EngineStep::Op::Flush:
                engine.Flush();
                break;
            case EngineStep::Op::Close:
                engine.CloseCurrentFile();
                break;
            }
        }
        // The session ends: whatever is still open is discarded.
        engine.CloseCurrentFile();
        FUZZ_CHECK(!engine.FileOpen());
    }
    checkAndClear(s);
    return 0;
}
