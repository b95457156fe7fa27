#pragma once

#include "net/tobjectlist.h"
#include "platform/dplay/dplay.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

// True while any enumerator's poll is inside EnumSessions; a poll that finds it set is
// skipped, so polls never nest.
extern bool PollBusy;

// Finds the sessions hosted on the network for one application. A search asks the session
// object six times, once at Start and then on a timer spread over the time the service
// provider names as its timeout; every poll rebuilds SessionList from scratch and a
// successful one calls OnEnumerated. Everything runs on the main thread.
class TSessionEnumerator final : public QObject {
    Q_OBJECT

public:
    using TNotifyEvent = std::function<void(TSessionEnumerator* sender)>;
    using TErrorEvent = std::function<void(TSessionEnumerator* sender, const QString& text)>;

    static constexpr int kAttempts = 5; // polls after the first
    // Used when the provider names no usable timeout (GetCaps failing, or under 5 ms).
    static constexpr DWORD kFallbackTimeout = 1000;

    explicit TSessionEnumerator(QObject* owner);
    ~TSessionEnumerator() override; // stops the search first

    // Starts a search and runs the first poll at once. Raises "Initialize DPObject first!"
    // when DirectPlay is not set.
    void Start();
    // Ends a running search: cancels the background requests and releases DirectPlay. Does
    // nothing once the search is over.
    void Stop();
    // One poll; also what each timer tick runs.
    void Poll();

    int Attempts() const { return m_attempts; }
    bool Finished() const { return m_finished; }
    DWORD EnumFlags() const { return m_enumFlags; }
    const QTimer& Timer() const { return m_timer; }

    GUID ApplicationGuid = GUID_NULL;
    QString Password;
    // Receives the sessions found: name, with the session's 16-byte guidInstance attached.
    // The owner may put its own list in place before Start.
    std::shared_ptr<TObjectList> SessionList = std::make_shared<TObjectList>();
    std::shared_ptr<IDirectPlay4A> DirectPlay;
    DPSESSIONDESC2 SessionDesc{};

    // After every successful poll.
    TNotifyEvent OnEnumerated;
    // A poll failed and the search stopped; `text` is the result text for the user.
    // Unassigned, it goes to the warning log.
    TErrorEvent OnError;
    // The search ended by itself: after its last poll (successful or not) or when a poll
    // failed. Not raised after Stop. Lets the owner leave its searching state even when no
    // final OnEnumerated comes.
    TNotifyEvent OnSearchEnded;

    static BOOL EnumSessionsCallback(LPCDPSESSIONDESC2 lpThisSD, DWORD* lpdwTimeOut, DWORD dwFlags, void* lpContext);

private:
    // Runs `event`; false when the enumerator was destroyed by it.
    bool Raise(const std::function<void()>& event);

    QTimer m_timer;
    int m_attempts = 0;
    bool m_finished = false;
    DWORD m_enumFlags = 0;
    QByteArray m_password; // what SessionDesc.lpszPasswordA points to
    bool* m_alive = nullptr;
};
