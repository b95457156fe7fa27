#pragma once

#include "platform/dplay/dplay.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

class AutoResetEvent;
class TDPReceiveThread;
struct ReceivedMessages;

// The program's session endpoint: one session object, at most one local player in one
// session, and a receive thread that hands every incoming message to the main thread,
// where it is routed by its sender to OnUserMsg (application messages) or OnSystemMsg
// (the service's system messages). At most one endpoint may exist under one owner.
//
// Handlers run on the main thread, one at a time, in arrival order. While a handler runs,
// ReceiveBuffer() holds ReceiveSize() bytes of its message, sent by FromId() to ToId();
// a system message has FromId() 0 and begins with its 32-bit dwType. The bytes belong to
// the batch the message came in: a handler may change them in place, and they stay where
// they are until OnBatchDelivered has run (or the endpoint is destroyed), so a handler may
// gather messages and finish them there.
class TDPlayer final : public QObject {
    Q_OBJECT

public:
    using TNotifyEvent = std::function<void(TDPlayer* sender)>;

    // Raises AppError("Nur eine TDPlayer-Komponente pro Anwendung!") when `owner` already
    // has an endpoint; nothing is created then.
    explicit TDPlayer(QObject* owner);
    // Stops and joins the receive thread, then releases the session object, which leaves
    // the session. Safe from inside a handler.
    ~TDPlayer() override;

    // Creates the local player, giving the session service ReceiveEvent. Returns
    // CreatePlayer's result; only on success are SessionDesc, PlayerName and Connected set.
    // Raises "TDPlayer: already connected" on a connected endpoint.
    HRESULT Connect(const QString& playerName, void* data, DWORD dataSize, DWORD flags);

    // Sends from PlayerId; returns the message id. DPERR_PENDING counts as accepted; any
    // other failure raises "SendEx: " + the result text.
    // Waits for room while the service's send queue is full; room comes from the peer
    // reading. A process never hosts and sends at once, so the copy may send on the main
    // thread; whoever holds both ends in one process must send on a thread other than the
    // one that delivers the host's messages, or the two wait for each other.
    DWORD Send(DPID toId, DWORD flags, const void* data, DWORD dataSize);
    // Host: ends the connection of a client's player (IDirectPlay4A::DropPlayer); false when
    // that cannot be done.
    bool DropPlayer(DPID id) { return DirectPlay && SUCCEEDED(DirectPlay->DropPlayer(id)); }
    // Room in the send queue for `count` messages of `dataSize` bytes each to `toId`, from
    // PlayerId: message i is filled at base + i * stride, and all are sent with SendReserved
    // (or given back with CancelReserved). A null base when the session object offers no
    // room; Send each message then. Waits for room like Send; failures raise like Send's.
    struct SendRoom {
        std::uint8_t* base = nullptr;
        std::size_t stride = 0;
    };
    SendRoom ReserveSend(DPID toId, DWORD flags, DWORD dataSize, DWORD count);
    void SendReserved();
    void CancelReserved();

    // Leaves the session once every message sent has reached the other side: waits until
    // the peer has read all of it and closed its end. Raises "Close: " + the result text
    // when that cannot be confirmed (the peer went away first or stopped reading). Sends
    // fail afterwards; messages that arrived are still delivered.
    void Close();

    // Routes the message in the buffer: sender 0 to OnSystemMsg, any other to OnUserMsg.
    // An unassigned handler drops the message.
    void DeliverMessage();

    DPID PlayerId() const { return m_playerId; }
    bool Connected() const { return m_connected; }
    const QString& PlayerName() const { return m_playerName; }
    DPID FromId() const { return m_fromId; }
    DPID ToId() const { return m_toId; }
    std::uint8_t* ReceiveBuffer() const { return m_receiveBuffer; }
    // True while a batch is being delivered (from its first handler to OnBatchDelivered).
    bool Delivering() const { return m_deliveryAlive != nullptr; }
    DWORD ReceiveSize() const { return m_receiveSize; }
    const std::shared_ptr<AutoResetEvent>& ReceiveEvent() const { return m_receiveEvent; }

    TNotifyEvent OnUserMsg;
    TNotifyEvent OnSystemMsg;
    // After the last message of each batch the receive thread handed over: handlers that
    // gather messages (the receiving side checks packets several at a time) finish here.
    TNotifyEvent OnBatchDelivered;
    // Told the message of an exception that escaped a handler; the endpoint goes on with
    // the next message. Unassigned, the message goes to the warning log.
    std::function<void(const QString& message)> OnHandlerError;

    WORD SendPriority = 0;
    DWORD SendTimeout = 0;
    // Attached by the owner right after construction; released with the endpoint.
    std::shared_ptr<IDirectPlay4A> DirectPlay;
    // Filled by the owner before Open; after Connect, the session's current description
    // (its text pointers are null: only numbers and GUIDs are kept).
    DPSESSIONDESC2 SessionDesc{};

private:
    friend class TDPReceiveThread;

    // Runs on the main thread while the receive thread waits: delivers every message of
    // the batch in order. Returns false when a handler destroyed the endpoint.
    bool DeliverBatch(const ReceivedMessages& batch);
    // Runs one handler, reporting what escapes it; false when the handler destroyed the
    // endpoint (`alive` cleared).
    bool RunHandler(const std::function<void()>& handler, const bool& alive);
    void ReportHandlerError(const QString& message);

    DPID m_playerId = 0;
    bool m_connected = false;
    QString m_playerName;
    DPID m_fromId = 0;
    DPID m_toId = 0;
    std::uint8_t* m_receiveBuffer = nullptr;
    DWORD m_receiveSize = 0;
    std::shared_ptr<AutoResetEvent> m_receiveEvent;
    std::unique_ptr<TDPReceiveThread> m_receiveThread;
    bool* m_deliveryAlive = nullptr; // set while DeliverBatch runs
};
