#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QObject>
#include <QStringList>
#include <QTimer>

// Answers every modal message box that opens while it lives: records its text and presses
// OK, so that a test can drive code that asks the user.
class BoxCatcher : public QObject {
public:
    explicit BoxCatcher(QObject* parent = nullptr) : QObject(parent)
    {
        m_timer.setInterval(5);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                texts << box->text();
                box->accept();
            }
        });
        m_timer.start();
    }
    QStringList texts;

private:
    QTimer m_timer;
};
