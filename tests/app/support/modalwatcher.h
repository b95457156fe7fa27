#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <functional>

// Hands each modal window that comes up while it lives to `act`, once, e.g. to look at a
// dialog opened by a handler and close it.
class ModalWatcher : public QObject {
public:
    explicit ModalWatcher(std::function<void(QWidget*)> act, QObject* parent = nullptr);

private:
    void check();

    std::function<void(QWidget*)> m_act;
    QPointer<QWidget> m_last;
    QTimer m_timer;
};
