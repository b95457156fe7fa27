#pragma once

#include <algorithm>

#include "transfer/messagesink.h"
#include "transfer/receivingview.h"
#include "transfer/sendingview.h"

#include <QByteArray>
#include <QList>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <ostream>
#include <vector>

// The bytes a copy's progress stands at, in one comparable row.
inline std::vector<qint64> Bytes(const TransferProgress& p)
{
    return {p.fileNumber, p.fileCount, p.fileBytes, p.fileSize, p.totalBytes, p.totalSize};
}

inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.left(300).toStdString() << '"';
}

// Everything an engine showed: the log as its lines read, the labels' last captions, each
// bar's every value, the message boxes.
class RecordingView : public SendingView, public ReceivingView {
public:
    QStringList log;
    QString fileName, fileCounter, status, caption;
    QList<int> fileBar, totalBar;
    qint64 sentPackets = -1, receivedPackets = -1;
    QStringList messages, errors;
    int processEvents = 0;
    TransferProgress progress; // the last one shown

    void LogMessage(const QString& text) override { log.append(text); }
    void LogAppend(const QString& text) override
    {
        if (!log.isEmpty())
            log.last() += text;
    }
    void ShowFileName(const QString& name) override { fileName = name; }
    void ShowFileCounter(const QString& text) override { fileCounter = text; }
    void ShowStatus(const QString& text) override { status = text; }
    void SetFileProgress(int percent) override { fileBar.append(percent); }
    void SetTotalProgress(int percent) override { totalBar.append(percent); }
    void ShowMessage(const QString& text) override { messages.append(text); }
    void ShowError(const QString& text) override { errors.append(text); }
    void ShowSentPackets(qint64 count) override { sentPackets = count; }
    void ShowCaption(const QString& text) override { caption = text; }
    void ProcessEvents() override { ++processEvents; }
    void ShowReceivedPackets(qint64 count) override { receivedPackets = count; }
    void ShowProgress(const TransferProgress& shown) override { progress = shown; }
};

// Keeps every message sent, as the endpoint would put it on the wire.
class RecordingSink : public MessageSink {
public:
    std::vector<QByteArray> sent;
    // Runs before each message is kept; may throw like a failing endpoint.
    std::function<void(const QByteArray&)> before;
    // Messages sent when Finish was called, or -1; `finish` may throw like an endpoint whose
    // peer did not confirm.
    int sentAtFinish = -1;
    std::function<void()> finish;

    void Finish() override
    {
        sentAtFinish = int(sent.size());
        if (finish)
            finish();
    }

    void Send(std::uint32_t to, std::uint32_t flags, const void* data, std::uint32_t size) override
    {
        const QByteArray message(static_cast<const char*>(data), static_cast<qsizetype>(size));
        if (to != kToAllPlayers || flags != kSendGuaranteed)
            throw std::logic_error("message not sent to all players, guaranteed");
        if (before)
            before(message);
        sent.push_back(message);
    }

    // With offerRoom, the sink offers room of its own, laid out like a connection's queue:
    // each message behind a header of kGap bytes, which the engine must leave alone; the
    // room starts out filled with junk, which the engine must overwrite.
    bool offerRoom = false;
    int cancelled = 0;
    static constexpr std::size_t kGap = 13;

    Room Reserve(std::uint32_t to, std::uint32_t flags, std::uint32_t size, std::uint32_t count) override
    {
        if (!offerRoom)
            return {};
        if (to != kToAllPlayers || flags != kSendGuaranteed)
            throw std::logic_error("room not reserved for all players, guaranteed");
        if (!m_room.empty())
            throw std::logic_error("a second room while one is open");
        m_size = size;
        m_count = count;
        m_room.assign(count * (kGap + size), char(0xEE));
        return {reinterpret_cast<std::uint8_t*>(m_room.data()) + kGap, kGap + size};
    }
    void SendReserved() override
    {
        const std::vector<char> room = std::move(m_room);
        m_room.clear();
        for (std::size_t i = 0; i < m_count; ++i) {
            const char* header = room.data() + i * (kGap + m_size);
            if (std::any_of(header, header + kGap, [](char c) { return c != char(0xEE); }))
                throw std::logic_error("the engine wrote outside its messages");
            Send(kToAllPlayers, kSendGuaranteed, header + kGap, m_size);
        }
    }
    void CancelReserved() override
    {
        ++cancelled;
        m_room.clear();
    }

private:
    std::vector<char> m_room;
    std::size_t m_size = 0;
    std::size_t m_count = 0;
};

// The values 0, 1, ..., last: a bar that moved point by point.
inline QList<int> Ramp(int last)
{
    QList<int> values;
    for (int i = 0; i <= last; ++i)
        values.append(i);
    return values;
}
