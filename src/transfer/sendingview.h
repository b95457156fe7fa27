#pragma once

#include "transfer/transferview.h"

#include <QThread>

#include <functional>

// What the sending engine reports to besides the common progress panel.
class SendingView : public TransferView {
public:
    virtual void ShowSentPackets(qint64 count) = 0;    // PacksSent
    virtual void ShowCaption(const QString& text) = 0; // the window's title bar
    // File `number` of `count` begins: "File n/N" on the file counter. A view without a
    // counter skips the text, which would otherwise be built for every file.
    virtual void ShowFileNumber(int number, int count)
    {
        ShowFileCounter(QStringLiteral("File %1/%2").arg(number).arg(count));
    }
    // Lets the user interface handle what is pending; the copy itself blocks the caller.
    virtual void ProcessEvents() {}
    // Lets the server's answers in (the endpoint hands them over on this thread) until
    // `done` holds or `milliseconds` have passed. A view without an event loop just waits a
    // moment.
    virtual void WaitForAnswers(int milliseconds, const std::function<bool()>& done)
    {
        if (!done())
            QThread::msleep(static_cast<unsigned long>(qBound(0, milliseconds, 10)));
    }
};
