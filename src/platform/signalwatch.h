#pragma once

#include <QObject>

#include <csignal>
#include <memory>

class QSocketNotifier;

// Turns SIGINT, SIGTERM and SIGHUP (the terminal closed) into an event of the event loop,
// so that a front end ends a run properly: the log closed, the session left. SIGPIPE and
// SIGXFSZ are ignored while it lives: a reader of stdout that went away, or a file size
// limit that a received file runs into (its write then fails and is reported), must not
// end a server. One at a time per process; the signals take their default action again
// when it is destroyed.
class SignalWatch final : public QObject {
    Q_OBJECT

public:
    SignalWatch();
    ~SignalWatch() override;

    SignalWatch(const SignalWatch&) = delete;
    SignalWatch& operator=(const SignalWatch&) = delete;

    // Whether one of the signals has arrived; safe to ask from anywhere, e.g. per packet.
    static bool Interrupted() { return s_interrupted != 0; }

signals:
    // On the event loop, once per signal.
    void Raised();

private:
    static void onSignal(int);

    static inline volatile std::sig_atomic_t s_interrupted = 0;
    static inline int s_pipe[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> m_notifier;
};
