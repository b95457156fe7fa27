#pragma once

#include "transfer/transferview.h"

// What the sending engine reports to besides the common progress panel.
class SendingView : public TransferView {
public:
    virtual void ShowSentPackets(qint64 count) = 0;    // PacksSent
    virtual void ShowCaption(const QString& text) = 0; // the window's title bar
    // Lets the user interface handle what is pending; the copy itself blocks the caller.
    virtual void ProcessEvents() {}
};
