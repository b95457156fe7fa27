#pragma once

#include <QApplication>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <functional>

// Hands each modal window that comes up while it lives to `act`, once, e.g. to look at a
// dialog opened by a handler and close it.
class ModalWatcher : public QObject {
public:
    explicit ModalWatcher(std::function<void(QWidget*)> act, QObject* parent = nullptr)
        : QObject(parent), m_act(std::move(act))
    {
        m_timer.setInterval(5);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (modal && modal != m_last && modal->isVisible()) {
                m_last = modal;
                m_act(modal);
            }
        });
        m_timer.start();
    }

private:
    std::function<void(QWidget*)> m_act;
    QPointer<QWidget> m_last;
    QTimer m_timer;
};
