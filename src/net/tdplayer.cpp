#include "net/tdplayer.h"

#include "net/logging.h"
#include "net/resulttext.h"
#include "net/tdpreceivethread.h"
#include "platform/apperror.h"
#include "platform/autoresetevent.h"

#include <QByteArray>
#include <QtDebug>

#include <algorithm>
#include <cstring>
#include <exception>
#include <vector>

namespace {

constexpr std::uintptr_t kSendContext = 0x11223344;

QObject* CheckedOwner(QObject* owner)
{
    if (owner && !owner->findChildren<TDPlayer*>(Qt::FindDirectChildrenOnly).isEmpty())
        throw AppError(QStringLiteral("Nur eine TDPlayer-Komponente pro Anwendung!"));
    return owner;
}

} // namespace

TDPlayer::TDPlayer(QObject* owner) : QObject(CheckedOwner(owner)), m_receiveEvent(std::make_shared<AutoResetEvent>())
{
    m_receiveThread = std::make_unique<TDPReceiveThread>(this, m_receiveEvent);
}

TDPlayer::~TDPlayer()
{
    if (m_deliveryAlive)
        *m_deliveryAlive = false;
    m_receiveThread->Stop();
    m_receiveThread->Join();
    m_receiveThread.reset();
    DirectPlay.reset();
}

HRESULT TDPlayer::Connect(const QString& playerName, void* data, DWORD dataSize, DWORD flags)
{
    if (m_connected)
        throw AppError(QStringLiteral("TDPlayer: already connected"));
    if (!DirectPlay)
        return DPERR_UNINITIALIZED;

    QByteArray shortName = playerName.toLocal8Bit();
    DPNAME name{};
    name.dwSize = DPNAME_SIZE;
    name.dwFlags = 0;
    name.lpszShortNameA = shortName.data();
    name.lpszLongNameA = nullptr;

    m_receiveThread->Attach(DirectPlay);
    DPID playerId = 0;
    const HRESULT hr = DirectPlay->CreatePlayer(&playerId, &name, m_receiveEvent, data, dataSize, flags);
    if (FAILED(hr))
        return hr;
    m_playerId = playerId;

    DWORD size = 0;
    DirectPlay->GetSessionDesc(nullptr, &size);
    if (size > 0) {
        std::vector<std::uint8_t> block(std::max<std::size_t>(size, sizeof(DPSESSIONDESC2)));
        if (SUCCEEDED(DirectPlay->GetSessionDesc(block.data(), &size))) {
            std::memcpy(&SessionDesc, block.data(), sizeof(DPSESSIONDESC2));
            // The texts lived in the block, which goes now.
            SessionDesc.lpszSessionNameA = nullptr;
            SessionDesc.lpszPasswordA = nullptr;
        }
    }
    m_playerName = playerName;
    m_connected = true;
    return hr;
}

DWORD TDPlayer::Send(DPID toId, DWORD flags, const void* data, DWORD dataSize)
{
    DWORD messageId = 0;
    const HRESULT hr =
        DirectPlay ? DirectPlay->SendEx(m_playerId, toId, flags, const_cast<void*>(data), dataSize, SendPriority,
                                        SendTimeout, reinterpret_cast<void*>(kSendContext), &messageId)
                   : DPERR_UNINITIALIZED;
    if (hr != DPERR_PENDING)
        CheckResult(hr, QStringLiteral("SendEx"));
    return messageId;
}

TDPlayer::SendRoom TDPlayer::ReserveSend(DPID toId, DWORD, DWORD dataSize, DWORD count)
{
    SendRoom room;
    const HRESULT hr = DirectPlay ? DirectPlay->ReserveSend(m_playerId, toId, dataSize, count, &room.base, &room.stride)
                                  : DPERR_UNINITIALIZED;
    if (hr == DPERR_UNSUPPORTED)
        return {};
    CheckResult(hr, QStringLiteral("SendEx"));
    return room;
}

void TDPlayer::SendReserved()
{
    CheckResult(DirectPlay ? DirectPlay->SendReserved() : DPERR_UNINITIALIZED, QStringLiteral("SendEx"));
}

void TDPlayer::CancelReserved()
{
    if (DirectPlay)
        DirectPlay->CancelReserved();
}

void TDPlayer::Close()
{
    CheckResult(DirectPlay ? DirectPlay->Close() : DPERR_UNINITIALIZED, QStringLiteral("Close"));
}

void TDPlayer::DeliverMessage()
{
    if (m_fromId != DPID_SYSMSG) {
        if (OnUserMsg)
            OnUserMsg(this);
    } else if (OnSystemMsg) {
        OnSystemMsg(this);
    }
}

bool TDPlayer::DeliverBatch(const ReceivedMessages& batch)
{
    bool alive = true;
    m_deliveryAlive = &alive;
    for (const ReceivedMessages::Message& message : batch.messages) {
        m_fromId = message.fromId;
        m_toId = message.toId;
        m_receiveBuffer = message.data;
        m_receiveSize = message.size;
        if (!RunHandler([this] { DeliverMessage(); }, alive))
            return false;
    }
    m_receiveBuffer = nullptr;
    if (OnBatchDelivered && !RunHandler([this] { OnBatchDelivered(this); }, alive))
        return false;
    m_deliveryAlive = nullptr;
    return true;
}

bool TDPlayer::RunHandler(const std::function<void()>& handler, const bool& alive)
{
    QString failure;
    try {
        handler();
    } catch (const AppError& error) {
        failure = error.message();
    } catch (const std::exception& error) {
        failure = QString::fromLocal8Bit(error.what());
    } catch (...) {
        failure = QStringLiteral("Unknown exception in a message handler");
    }
    if (!alive) {
        if (!failure.isEmpty())
            qCWarning(lcNet, "%s", qUtf8Printable(failure));
        return false;
    }
    if (!failure.isEmpty())
        ReportHandlerError(failure);
    return alive;
}

void TDPlayer::ReportHandlerError(const QString& message)
{
    if (!OnHandlerError) {
        qCWarning(lcNet, "Message handler failed: %s", qUtf8Printable(message));
        return;
    }
    try {
        OnHandlerError(message);
    } catch (...) {
        qCWarning(lcNet, "Message handler failed: %s", qUtf8Printable(message));
    }
}
