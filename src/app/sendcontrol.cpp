#include "app/sendcontrol.h"

#include <QCoreApplication>
#include <QEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QWidget>

SendControl::SendControl(QWidget* window, QWidget* allowed, QToolButton* cancel)
    : QObject(window), m_window(window), m_allowed(allowed), m_cancel(cancel)
{
}

QString SendControl::EndStatus(Reason stopped, bool failed, bool complete)
{
    if (stopped != Reason::None)
        return QStringLiteral(" Copy Stopped...");
    if (failed)
        return QStringLiteral(" Copy Failed...");
    return complete ? QStringLiteral(" Copy Complete...") : QStringLiteral(" Copy Ended...");
}

void SendControl::Begin()
{
    m_running = true;
    m_thrown = false;
    m_reason = Reason::None;
    QCoreApplication::instance()->installEventFilter(this);
    m_cancel->setToolTip(QStringLiteral("Stop the copy"));
    m_cancel->setAccessibleName(QStringLiteral("Cancel"));
}

void SendControl::End()
{
    m_running = false;
    QCoreApplication::instance()->removeEventFilter(this);
    m_cancel->setToolTip(QStringLiteral("Close the progress panel"));
    m_cancel->setAccessibleName(QStringLiteral("Close"));
}

void SendControl::Wait(int milliseconds, const std::function<bool()>& done, const std::function<void()>& paint)
{
    Poll();
    if (done() || milliseconds <= 0)
        return;
    paint();
    // Every answer comes as an event, and so does the end of the wait: each wakes this.
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.start(milliseconds);
    while (!done() && deadline.isActive())
        Poll(QEventLoop::WaitForMoreEvents);
    paint();
}

void SendControl::Poll(QEventLoop::ProcessEventsFlags flags)
{
    QCoreApplication::processEvents(flags);
    Check();
}

void SendControl::Check()
{
    // Once: what runs while the send unwinds (its last log lines) must not stop again.
    if (m_running && m_reason != Reason::None && !m_thrown) {
        m_thrown = true;
        throw Stopped{m_reason};
    }
}

void SendControl::AskToStop(Reason reason)
{
    if (!m_running || m_asking || m_reason != Reason::None)
        return;
    m_asking = true;
    QMessageBox box(QMessageBox::Question, QStringLiteral("Ferrowarden"), QStringLiteral("Stop the copy?"),
                    QMessageBox::NoButton, m_window);
    box.setInformativeText(QStringLiteral("The file being sent is not stored on the server."));
    QPushButton* stop = box.addButton(QStringLiteral("&Stop Copy"), QMessageBox::AcceptRole);
    box.addButton(QStringLiteral("C&ontinue"), QMessageBox::RejectRole);
    box.setDefaultButton(stop);
    box.exec();
    m_asking = false;
    // Return, the default button or an accept from elsewhere confirm.
    if (box.clickedButton() == stop || (!box.clickedButton() && box.result() == QDialog::Accepted))
        m_reason = reason;
}

void SendControl::Stop(Reason reason)
{
    if (m_running && m_reason == Reason::None)
        m_reason = reason;
}

// While a send runs, user input reaches only the progress panel and other windows.
bool SendControl::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::Wheel:
    case QEvent::Shortcut:
    case QEvent::ShortcutOverride: {
        if (!watched->isWidgetType())
            return false;
        auto* widget = static_cast<QWidget*>(watched);
        if (widget->window() != m_window)
            return false;
        return !(widget == m_allowed || m_allowed->isAncestorOf(widget));
    }
    default:
        return false;
    }
}
