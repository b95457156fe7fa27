#include "modalwatcher.h"

#include <QApplication>

ModalWatcher::ModalWatcher(std::function<void(QWidget*)> act, QObject* parent) : QObject(parent), m_act(std::move(act))
{
    m_timer.setInterval(5);
    connect(&m_timer, &QTimer::timeout, this, &ModalWatcher::check);
    m_timer.start();
}

void ModalWatcher::check()
{
    QWidget* modal = QApplication::activeModalWidget();
    if (modal && modal != m_last && modal->isVisible()) {
        m_last = modal;
        m_act(modal);
    }
}
