#pragma once

#include <QEventLoop>
#include <QObject>
#include <QString>

#include <functional>

class QToolButton;
class QWidget;

// What the user may do while a copy is sent inside the Start Copy handler. The window
// repaints once a frame and takes the close request and the progress panel's Cancel, but
// no other input (every other control is disabled, and input to the rest is dropped). Both
// ask "Stop the copy?" first; the send then ends at its next frame by throwing Stopped.
class SendControl final : public QObject {
    Q_OBJECT

public:
    // Why a send stops.
    enum class Reason { None, User, Closing };
    // Thrown into the send when it is to stop.
    struct Stopped {
        Reason reason;
    };

    // `window` is the main window; input reaches only `allowed` and its children, and other
    // windows (the question box). `cancel` is the panel's close button, Cancel while a send
    // runs.
    SendControl(QWidget* window, QWidget* allowed, QToolButton* cancel);

    // The status strip's text once a send has ended.
    static QString EndStatus(Reason stopped, bool failed, bool complete);

    void Begin();
    void End();
    bool Running() const { return m_running; }
    Reason StopReason() const { return m_reason; }

    // Handles what has come in (with `flags`); throws Stopped once a stop was asked for.
    void Poll(QEventLoop::ProcessEventsFlags flags = QEventLoop::AllEvents);
    // Throws Stopped when a stop was asked for (once).
    void Check();
    // Handles what comes in until `done` or `milliseconds` have passed, painting before and
    // after; throws Stopped once a stop was asked for.
    void Wait(int milliseconds, const std::function<bool()>& done, const std::function<void()>& paint);
    // Asks the user; a stop they confirm ends the send at its next frame.
    void AskToStop(Reason reason);
    // Stops without asking (a signal closes the window).
    void Stop(Reason reason);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* m_window;
    QWidget* m_allowed;
    QToolButton* m_cancel;
    bool m_running = false;
    bool m_asking = false;
    bool m_thrown = false;
    Reason m_reason = Reason::None;
};
